; The uninstaller: what it removes, and what an unfinished give-back of Gaming Mode leaves
; the user to take back by hand.

Function un.onInit
    Call un.RequireAdmin
    SetShellVarContext all
FunctionEnd

; What an unfinished give-back leaves the user with, and how to take it back by hand: $R9.
; The plan's name comes from powercfg's list (Vista and later) or the scheme's key (XP).
Function un.SayWhatIsOwed
    StrCpy $R9 ""
    ReadRegStr $R1 HKCU "${SETTINGS_KEY}" "restore_scheme_guid"
    ClearErrors
    ReadRegDWORD $R2 HKCU "${SETTINGS_KEY}" "restore_scheme_index"
    ${If} $R1 != ""
        StrCpy $R3 ""
        StrCpy $R8 '"$SYSDIR\powercfg.exe" -list'
        Call un.RunCaptured
        ClearErrors
        FileOpen $0 "$PLUGINSDIR\output.txt" r
        ${IfNot} ${Errors}
            ${Do}
                FileRead $0 $1
                ${If} ${Errors}
                    ${ExitDo}
                ${EndIf}
                ${UnStrStr} $5 $1 $R1   ; "<guid>  (<name>) *"
                ${UnStrStr} $6 $5 "("
                ${UnStrStr} $7 $6 ")"
                ${If} $7 != ""
                    StrLen $8 $6
                    StrLen $9 $7
                    IntOp $8 $8 - $9
                    IntOp $8 $8 - 1
                    StrCpy $R3 $6 $8 1
                    ${ExitDo}
                ${EndIf}
            ${Loop}
            FileClose $0
        ${EndIf}
        ${If} $R3 == ""
            StrCpy $R9 "Windows still uses the power plan Gaming Mode set, and your own plan ($R1) is not in \
powercfg's list any more: pick a plan under Control Panel > Power Options."
        ${Else}
            StrCpy $R9 "Windows still uses the power plan Gaming Mode set. Your own plan is $\"$R3$\": pick it \
under Control Panel > Power Options, or run this in a command prompt:$\r$\n$\r$\n    powercfg -setactive $R1"
        ${EndIf}
    ${ElseIfNot} ${Errors}
        ReadRegStr $R3 HKCU "Control Panel\PowerCfg\PowerPolicies\$R2" "Name"
        ${If} $R3 == ""
            StrCpy $R9 "Windows still uses the power scheme Gaming Mode set, and your own scheme is gone: pick a \
scheme under Control Panel > Power Options."
        ${Else}
            StrCpy $R9 "Windows still uses the power scheme Gaming Mode set. Your own scheme is $\"$R3$\": pick \
it under Control Panel > Power Options, or run this in a command prompt:$\r$\n$\r$\n    powercfg /setactive $\"$R3$\""
        ${EndIf}
        ReadRegDWORD $4 HKCU "${SETTINGS_KEY}" "restore_temp_scheme"
        ${If} $4 == 1
            StrCpy $R9 "$R9$\r$\n$\r$\nThen delete the scheme $\"QEL Temporary Power Scheme$\" there."
        ${EndIf}
    ${EndIf}
    ReadRegDWORD $4 HKCU "${SETTINGS_KEY}" "restore_nb_nodes"
    ${If} $4 != ""
    ${AndIf} $4 != 0
        ${If} $R9 != ""
            StrCpy $R9 "$R9$\r$\n$\r$\n"
        ${EndIf}
        StrCpy $R9 "$R9The northbridge power management bit Gaming Mode cleared stays cleared."
    ${EndIf}
    StrCpy $R9 "${PRODUCT} could not give back what Gaming Mode changed.$\r$\n$\r$\n$R9$\r$\n$\r$\nWhat \
is owed stays recorded: installed and started again, ${PRODUCT} gives it back."
FunctionEnd

Section "Uninstall"
    ; The client is checked before the instance is ended, the program once it has ended.
    !insertmacro RequireWritable "un." "$INSTDIR\tickmend-ctl.exe" "${CLIENT_IN_USE}" "the uninstaller" 1
    StrCpy $R0 "$INSTDIR\tickmend.exe"
    Call un.EndInstance
    !insertmacro RequireWritable "un." "$INSTDIR\tickmend.exe" "${PROGRAM_IN_USE}" "the uninstaller" ${RELEASE_STEPS}

    ; Until here nothing is changed, so that a failed uninstaller can be run again.
    ; What tickmend-ctl put on this user's PATH comes off, exactly, while it is still here.
    nsExec::Exec '"$INSTDIR\tickmend-ctl.exe" path remove'
    Pop $0
    Call un.RemoveDriver
    Delete "$INSTDIR\tickmend.exe"
    Delete "$INSTDIR\tickmend-ctl.exe"
    Delete "$INSTDIR\uninstall.exe"
    Delete "$INSTDIR\setup.exe"
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"

    DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
    ; The settings of the user who uninstalls; an administrator's sync_interval under
    ; HKEY_LOCAL_MACHINE stays.
    ; A restore that "/k" could not finish stays owed: its record (the restore_ values)
    ; is kept for a later installation to give back, and the rest goes.
    ReadRegDWORD $3 HKCU "${SETTINGS_KEY}" "restore_pending"
    ${If} $3 == 1
        Call un.SayWhatIsOwed
        StrCpy $4 0
        ${Do}
            EnumRegValue $5 HKCU "${SETTINGS_KEY}" $4
            ${If} $5 == ""
                ${ExitDo}
            ${EndIf}
            StrCpy $6 $5 8
            ${If} $6 == "restore_"
                IntOp $4 $4 + 1
            ${Else}
                DeleteRegValue HKCU "${SETTINGS_KEY}" $5
            ${EndIf}
        ${Loop}
        MessageBox MB_OK|MB_ICONEXCLAMATION "$R9" /SD IDOK
    ${Else}
        DeleteRegKey HKCU "${SETTINGS_KEY}"
    ${EndIf}
    DeleteRegKey /ifempty HKCU "Software\QEL"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
