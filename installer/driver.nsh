; The optional component "TSC driver": tickmend.sys and its INF, put on the machine by
; tickmend-driver.exe as the driver of one root-enumerated device. Chosen by default where it
; can help ("tickmend-driver helps": several processors whose counters can drift, on a
; Windows that loads an unsigned driver). The uninstaller takes the device, the service and
; the driver package off again.

!define DRIVER_DIR "$INSTDIR\driver"

Var driver_result ; "" when the component was not chosen, else tickmend-driver's exit code
Var driver_note   ; the components page's word on the choice

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

; Chooses the component where the driver can help; the user may change the choice, and
; /DRIVER=1 or /DRIVER=0 on the command line makes it (for a silent setup).
; $driver_chosen and $driver_why keep the choice and tickmend-driver's reason for the pages.
Function ChooseDriver
    StrCpy $driver_chosen 0
    StrCpy $driver_why ""
    StrCpy $driver_note "The setup ticks it where it can help."
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/DRIVER=" $2
    ${IfNot} ${Errors}
        ${If} $2 == 1
            !insertmacro SelectSection ${SecDriver}
            StrCpy $driver_chosen 1
        ${EndIf}
        StrCpy $driver_note "Chosen on the command line (/DRIVER=$2)."
        Return
    ${EndIf}
    InitPluginsDir
    ${If} ${RunningX64}
!ifdef DRIVER_SETUP64
        File "/oname=$PLUGINSDIR\tickmend-driver.exe" "${DRIVER_SETUP64}"
!else
        StrCpy $driver_why "this setup has no 64-bit TSC driver"
        StrCpy $driver_note "Not ticked: $driver_why."
        Return
!endif
    ${Else}
        File "/oname=$PLUGINSDIR\tickmend-driver.exe" "${DRIVER_SETUP}"
    ${EndIf}
    StrCpy $R8 '"$PLUGINSDIR\tickmend-driver.exe" helps'
    Call RunCaptured
    ${If} $R7 == 0
        !insertmacro SelectSection ${SecDriver}
        StrCpy $driver_chosen 1
    ${EndIf}
    ; Its one line of reason.
    ClearErrors
    FileOpen $0 "$PLUGINSDIR\output.txt" r
    ${IfNot} ${Errors}
        FileRead $0 $1
        ${TrimNewLines} $1 $driver_why
        FileClose $0
    ${EndIf}
    ${If} $driver_why != ""
        StrCpy $driver_note "Ticked where it can help. On this PC: $driver_why."
    ${EndIf}
FunctionEnd

; The components page says what each component is, and why the driver is chosen or not.
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "${PRODUCT} itself: the program, tickmend-ctl and the \
uninstaller. It starts at each logon."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} "The kernel-mode TSC driver that brings the processors' \
time-stamp counters into step, for Gaming Mode and drift compensation. $driver_note"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Device, service, file and driver package off the machine, then the component's folder.
Function un.RemoveDriver
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
