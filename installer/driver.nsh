; The optional component "TSC driver": tickmend.sys and its INF, put on the machine by
; tickmend-driver.exe as the driver of one root-enumerated device. Chosen by default where it
; can help ("tickmend-driver helps": several processors whose counters can drift, on a
; Windows that loads an unsigned driver). The uninstaller takes the device, the service and
; the driver package off again.

!define DRIVER_DIR "$INSTDIR\driver"

Var driver_result ; "" when the component was not chosen, else tickmend-driver's exit code

Section /o "TSC driver" SecDriver
    StrCpy $driver_result "error"
    SetOutPath "${DRIVER_DIR}"
    ClearErrors
    ${If} ${RunningX64}
!ifdef DRIVER_SYS64
        File "/oname=tickmend.sys" "${DRIVER_SYS64}"
        File "/oname=tickmend-driver.exe" "${DRIVER_SETUP64}"
!else
        DetailPrint "This setup has no 64-bit TSC driver."
        Return
!endif
    ${Else}
        File "/oname=tickmend.sys" "${DRIVER_SYS}"
        File "/oname=tickmend-driver.exe" "${DRIVER_SETUP}"
    ${EndIf}
    File "/oname=tickmend.inf" "${DRIVER_INF}"
    ${If} ${Errors}
        DetailPrint "The TSC driver's files could not be written to ${DRIVER_DIR}."
        Return
    ${EndIf}
    DetailPrint "Installing the TSC driver"
    StrCpy $R8 '"${DRIVER_DIR}\tickmend-driver.exe" install "${DRIVER_DIR}\tickmend.inf"'
    Call RunCaptured
    StrCpy $driver_result $R7
    ${If} $R7 != 0
        DetailPrint "The TSC driver was not installed (tickmend-driver exit code $R7)."
    ${EndIf}
SectionEnd

; A setup run again (the uninstall entry's Change) with the component unticked takes the
; driver off again.
Section "-driver off"
    ${IfNot} ${SectionIsSelected} ${SecDriver}
    ${AndIf} ${FileExists} "${DRIVER_DIR}\tickmend-driver.exe"
        DetailPrint "Removing the TSC driver"
        Call RemoveDriver
    ${EndIf}
SectionEnd

; Chooses the component where the PC's answer says the driver would help and this Windows
; loads it, or where this setup installed it before; the user may change the choice, and
; /DRIVER=1 or /DRIVER=0 on the command line makes it (for a silent setup). $driver_chosen
; and $driver_note keep the choice and why, for the pages.
Function ChooseDriver
    StrCpy $driver_chosen 0
    InitPluginsDir
    File "/oname=$PLUGINSDIR\tickmend-ctl.exe" "${CTL_EXE}"
    StrCpy $R8 '"$PLUGINSDIR\tickmend-ctl.exe"'
    Call ReadThisPC
    Call SayAnswer
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/DRIVER=" $2
    ${IfNot} ${Errors}
        ${If} $2 == 1
            !insertmacro SelectSection ${SecDriver}
            StrCpy $driver_chosen 1
        ${EndIf}
        StrCpy $driver_note "chosen on the command line (/DRIVER=$2)"
        Return
    ${EndIf}
    ${If} ${FileExists} "${DRIVER_DIR}\tickmend-driver.exe"
        !insertmacro SelectSection ${SecDriver}
        StrCpy $driver_chosen 1
        StrCpy $driver_note "it is installed; untick it to remove it"
        Return
    ${EndIf}
    ${If} $R2 == 1
        StrCpy $driver_note "it would not help on this PC"
        Return
    ${ElseIf} $R2 != 2
        StrCpy $driver_note "the TSC driver answers already"
        ${If} $this_answer == ""
            StrCpy $driver_note "the setup could not tell whether it would help"
        ${EndIf}
        Return
    ${EndIf}
    ; It would help: where this Windows loads an unsigned driver.
    ${If} ${RunningX64}
!ifdef DRIVER_SETUP64
        File "/oname=$PLUGINSDIR\tickmend-driver.exe" "${DRIVER_SETUP64}"
        StrCpy $R8 '"$PLUGINSDIR\tickmend-driver.exe" helps'
        Call RunCaptured
        ClearErrors
        FileOpen $0 "$PLUGINSDIR\output.txt" r
        ${IfNot} ${Errors}
            FileRead $0 $1
            FileClose $0
            StrCpy $3 $1 6
            ${If} $3 == "64-bit"
                ${TrimNewLines} $1 $driver_note
                Return
            ${EndIf}
        ${EndIf}
!else
        StrCpy $driver_note "this setup has no 64-bit TSC driver"
        Return
!endif
    ${EndIf}
    !insertmacro SelectSection ${SecDriver}
    StrCpy $driver_chosen 1
    StrCpy $driver_note "it would help on this PC"
FunctionEnd

; The components page says what each component is, and why the driver is chosen or not.
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "${PRODUCT} itself: the program, tickmend-ctl and the \
uninstaller."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} "The TSC driver: it brings the processors' clocks \
(time-stamp counters) together for Gaming Mode, and keeps them from drifting apart on a PC of one \
processor node. Ticked where it helps; here: $driver_note."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Device, service, file and driver package off the machine, then the component's folder.
!macro RemoveDriver un
Function ${un}RemoveDriver
    ${If} ${FileExists} "$INSTDIR\driver\tickmend-driver.exe"
        nsExec::Exec '"$INSTDIR\driver\tickmend-driver.exe" remove'
        Pop $0
        ${If} $0 != 0
            DetailPrint "The TSC driver could not be removed entirely (tickmend-driver exit code $0)."
        ${EndIf}
    ${EndIf}
    Delete "$INSTDIR\driver\tickmend-driver.exe"
    Delete "$INSTDIR\driver\tickmend.sys"
    Delete "$INSTDIR\driver\tickmend.inf"
    RMDir "$INSTDIR\driver"
FunctionEnd
!macroend
!insertmacro RemoveDriver ""
!insertmacro RemoveDriver "un."
