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

; Chooses the component where the driver can help; the user may change the choice, and
; /DRIVER=1 or /DRIVER=0 on the command line makes it (for a silent setup).
Function ChooseDriver
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/DRIVER=" $2
    ${IfNot} ${Errors}
        ${If} $2 == 1
            !insertmacro SelectSection ${SecDriver}
        ${EndIf}
        Return
    ${EndIf}
    InitPluginsDir
    ${If} ${RunningX64}
!ifdef DRIVER_SETUP64
        File "/oname=$PLUGINSDIR\tickmend-driver.exe" "${DRIVER_SETUP64}"
!else
        Return
!endif
    ${Else}
        File "/oname=$PLUGINSDIR\tickmend-driver.exe" "${DRIVER_SETUP}"
    ${EndIf}
    nsExec::Exec '"$PLUGINSDIR\tickmend-driver.exe" helps'
    Pop $0
    ${If} $0 == 0
        !insertmacro SelectSection ${SecDriver}
    ${EndIf}
FunctionEnd

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
