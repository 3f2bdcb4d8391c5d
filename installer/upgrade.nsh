; An upgrade and a move: the installed program started again, the files this run wrote
; removed, the registered installation found where it lies in another folder, and
; everything checked and ended before a file is written.

; The installed program, started when the user asks for it or when an upgrade ended it.
Function StartInstalled
    StrCpy $R5 "$INSTDIR\tickmend.exe"
    Call StartProgram
FunctionEnd

Function RemoveWrittenFiles
    Delete "$INSTDIR\tickmend.exe"
    Delete "$INSTDIR\tickmend-ctl.exe"
    Delete "$INSTDIR\uninstall.exe"
    Delete "$INSTDIR\setup.exe"
    RMDir "$INSTDIR"
FunctionEnd

; The registered installation, when it lies in another folder than $INSTDIR (the directory
; page or /D= chose another): $old_dir, "" when there is none.
Function FindOldCopy
    StrCpy $old_dir ""
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == ""
    ${OrIfNot} ${FileExists} "$0\*.*"
        Return
    ${EndIf}
    GetFullPathName $0 $0
    GetFullPathName $1 $INSTDIR
    ${If} $0 != $1 ; compared regardless of case, as Windows compares paths
        StrCpy $old_dir $0
    ${EndIf}
FunctionEnd

; Everything before a file is written: the registered installation looked at, what a
; running instance does not hold checked, that instance ended, its file checked.
Function PrepareInstall
    StrCpy $fresh 1
    ClearErrors
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
    ${IfNot} ${Errors}
        StrCpy $fresh 0
    ${EndIf}
    Call FindOldCopy

    ; What a running instance does not hold is checked before it is ended: a file held by
    ; anything else fails the setup while the instance still runs.
    !insertmacro RequireWritable "" "$INSTDIR\tickmend-ctl.exe" "${CLIENT_IN_USE}" "the setup" 1
    !insertmacro RequireWritable "" "$INSTDIR\uninstall.exe" "${UNINSTALLER_IN_USE}" "the setup" 1
    ${If} $old_dir != ""
        !insertmacro RequireWritable "" "$old_dir\tickmend-ctl.exe" "${CLIENT_IN_USE}" "the setup" 1
        !insertmacro RequireWritable "" "$old_dir\uninstall.exe" "${UNINSTALLER_IN_USE}" "the setup" 1
    ${EndIf}

    ; The new tickmend.exe ends the old instance: "/k" is the same in every version.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\tickmend.exe" "${TICKMEND_EXE}"
    StrCpy $R0 "$PLUGINSDIR\tickmend.exe"
    Call EndInstance
    ; Its file is free once its process is gone, shortly after its window.
    !insertmacro RequireWritable "" "$INSTDIR\tickmend.exe" "${PROGRAM_IN_USE}" "the setup" ${RELEASE_STEPS}
    ${If} $old_dir != ""
        !insertmacro RequireWritable "" "$old_dir\tickmend.exe" "${PROGRAM_IN_USE}" "the setup" ${RELEASE_STEPS}
    ${EndIf}
FunctionEnd
