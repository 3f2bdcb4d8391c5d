; Files in use and the running instance, for the setup and the uninstaller alike: what holds
; a file and what to do about it, the instance ended as "/k" ends it, the program started
; with the user's rights, and a failed run that says why.

; What holds a file of ours, and what the user does about it; ${what}: "the setup" or
; "the uninstaller".
!define PROGRAM_IN_USE "${PRODUCT} still runs, most likely in another user's session, \
where it cannot be ended from here. Close it there (Exit in its tray menu) and run"
!define CLIENT_IN_USE "tickmend-ctl is running, in a script or a command prompt. Let it \
finish or close it, and run"
!define UNINSTALLER_IN_USE "the uninstaller of ${PRODUCT} is running. Let it finish, then run"

; The functions both the setup and the uninstaller use (un: "" or "un.").
!macro SharedFunctions un
; Starts the program $R5 through the shell, so that it runs with the user's own rights and
; not the setup's raised ones: an elevated instance could not be closed by the user's
; "tickmend.exe /k" (Windows keeps a program's messages from reaching a window of higher
; integrity).
Function ${un}StartProgram
    Exec '"$WINDIR\explorer.exe" "$R5"'
FunctionEnd

; Ends with exit code 2 after telling why ($R9; silently: the exit code alone). An
; instance that this run ended is started again first, from where it ran: a failed run
; leaves running what ran.
Function ${un}Fail
    ${If} $was_running == 1
        StrCpy $R5 $ran_from
        ${IfNot} ${FileExists} $R5
            StrCpy $R5 "$INSTDIR\tickmend.exe"
        ${EndIf}
        Call ${un}StartProgram
        StrCpy $R9 "$R9$\r$\n$\r$\n${PRODUCT} was started again."
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "$R9" /SD IDOK
    SetErrorLevel 2
    Quit
FunctionEnd

; Both need an administrator: the files go to Program Files, the autostart and the
; uninstall entry to HKEY_LOCAL_MACHINE.
Function ${un}RequireAdmin
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        StrCpy $R9 "${PRODUCT} needs administrator rights. Run it again as an administrator."
        Call ${un}Fail
    ${EndIf}
FunctionEnd

; Where a file of ours exists it must be writable, or the run fails and names it: $R8 the
; file, $R7 what holds it and what to do, $R6 how many times to try, 250 ms apart.
Function ${un}RequireWritable
    ${IfNot} ${FileExists} "$R8"
        Return
    ${EndIf}
    StrCpy $1 1
    ${Do}
        ClearErrors
        FileOpen $0 "$R8" a
        ${IfNot} ${Errors}
            FileClose $0
            Return
        ${EndIf}
        ${If} $1 >= $R6
            ${ExitDo}
        ${EndIf}
        IntOp $1 $1 + 1
        Sleep 250
    ${Loop}
    StrCpy $R9 "$R8 is in use: $R7$\r$\n$\r$\nNothing was changed."
    Call ${un}Fail
FunctionEnd

; Ends a running instance the way a user's "tickmend.exe /k" does, so that it turns Gaming
; Mode off, restores the power plan and stores start_mode (with none running, "/k" finishes
; what a crashed instance left), then waits (bounded) until its window is gone. $R0: the
; tickmend.exe to run with /k. Sets $was_running to 1 when it ended one (and $ran_from to
; its executable), and fails when one still runs.
Function ${un}EndInstance
    FindWindow $3 "${CLASS}"
    StrCpy $ran_from ""
    ${If} $3 != 0
        System::Call 'user32::GetWindowThreadProcessId(p r3, *i .r4)'
        System::Call 'kernel32::OpenProcess(i ${PROCESS_QUERY_AND_READ}, i 0, i r4) p .r5'
        ${If} $5 != 0
            System::Call 'psapi::GetModuleFileNameExW(p r5, p 0, w .r6, i ${NSIS_MAX_STRLEN}) i .r7'
            System::Call 'kernel32::CloseHandle(p r5)'
            ${If} $7 != 0
                StrCpy $ran_from $6
            ${EndIf}
        ${EndIf}
    ${EndIf}
    DetailPrint "Ending the running ${PRODUCT}"
    ; "/k" waits for the instance a bounded time and says with exit code 2 that one still runs.
    ExecWait '"$R0" /k' $2
    ${If} $2 == 2
        DetailPrint "The running ${PRODUCT} did not end within the time allowed"
    ${EndIf}
    StrCpy $1 0
    ${Do}
        FindWindow $0 "${CLASS}"
        ${If} $0 == 0
            ${If} $3 != 0
                StrCpy $was_running 1
            ${EndIf}
            Return
        ${EndIf}
        ${If} $1 >= ${END_WAIT_STEPS}
            ${ExitDo}
        ${EndIf}
        Sleep 250
        IntOp $1 $1 + 1
    ${Loop}
    StrCpy $R9 "The running ${PRODUCT} did not end. Close it from its tray icon (Exit) and try again.$\r$\n$\r$\n\
Nothing was changed."
    Call ${un}Fail
FunctionEnd

; Runs the command line $R8 with its output (both streams) in $PLUGINSDIR\output.txt, read
; back a line at a time: nsExec's own capture keeps only the first 1024 characters.
; $R7: its exit code ("error" when it could not be started).
Function ${un}RunCaptured
    InitPluginsDir
    Delete "$PLUGINSDIR\output.txt"
    nsExec::Exec '"$SYSDIR\cmd.exe" /c "$R8 >"$PLUGINSDIR\output.txt" 2>&1"'
    Pop $R7
FunctionEnd
!macroend
!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

!macro RequireWritable un file holder what tries
    StrCpy $R8 "${file}"
    StrCpy $R7 "${holder} ${what} again."
    StrCpy $R6 ${tries}
    Call ${un}RequireWritable
!macroend
