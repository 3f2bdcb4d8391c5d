; tickmend-setup.exe: installs QEL Pacemill (tickmend.exe and tickmend-ctl.exe) for every
; user of the machine, starts it at each logon, and registers an uninstaller that leaves
; nothing behind. Made by the build:
;
;   makensis -DVERSION=1.1.2 -DTICKMEND_EXE=... -DCTL_EXE=... -DICON=... -DWIZARD=... -DOUTFILE=... tickmend.nsi
;
; Switches: /S silent; /D=FOLDER the install folder (last, unquoted). The uninstaller takes /S.
; Exit codes: 0 done; 1 cancelled by the user; 2 failed (a message says why, nothing new is
; left registered, and a tickmend that was running runs again).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
${UnStrStr}

!define PRODUCT "QEL Pacemill"
!define PUBLISHER "QEL"
!define CLASS "TICKMEND"                 ; the main window's class: there while an instance runs
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SETTINGS_KEY "Software\QEL\qel_pacemill"
!define END_WAIT_STEPS 60                ; times 250 ms: how long an ended instance may take
!define RELEASE_STEPS 20                 ; times 250 ms: how long its file may stay held after
!define PROCESS_QUERY_AND_READ 0x410     ; PROCESS_QUERY_INFORMATION | PROCESS_VM_READ

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

Var finish_text  ; the finish page's words: what the program does on this machine
Var start_text   ; the finish page's check box ("" for none): what starting it now does
Var start_box
Var fresh        ; 1 when no earlier installation was registered
Var old_dir      ; an earlier installation in another folder: moved here, its files removed
Var was_running  ; 1 once this run has ended a running instance: it is started again
Var ran_from     ; the executable of that instance ("" when it could not be told)

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs ${PRODUCT} ${VERSION}: Gaming Mode for machines with several \
processor nodes, switched from its icon in the notification area, and tickmend-ctl for scripts.$\r$\n$\r$\n\
Prerequisite, installed separately: the TSC driver. ${PRODUCT} does not install it. Without it, Gaming Mode \
switches the power plan only: the processors' time-stamp counters are not synchronized and the northbridge \
power management bit is left alone; on a machine of one node no drift compensation is registered.$\r$\n$\r$\n\
Click Next to continue."
; No MUI_FINISHPAGE_RUN: its check box would cut the text to four lines. FinishShow puts
; one below the text, where the machine has something to start.
!define MUI_FINISHPAGE_TEXT "$finish_text"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "OriginalFilename" "tickmend-setup.exe"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

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

; The installed program, started when the user asks for it or when an upgrade ended it.
Function StartInstalled
    StrCpy $R5 "$INSTDIR\tickmend.exe"
    Call StartProgram
FunctionEnd

Function .onInit
    Call RequireAdmin
    SetShellVarContext all
FunctionEnd

Function RemoveWrittenFiles
    Delete "$INSTDIR\tickmend.exe"
    Delete "$INSTDIR\tickmend-ctl.exe"
    Delete "$INSTDIR\uninstall.exe"
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

Section "${PRODUCT}"
    Call PrepareInstall

    SetOutPath "$INSTDIR"
    SetOverwrite on
    ClearErrors
    File "/oname=tickmend.exe" "${TICKMEND_EXE}"
    File "/oname=tickmend-ctl.exe" "${CTL_EXE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        ; A new folder is emptied again; a registered installation there keeps what it has.
        ${If} $fresh == 1
        ${OrIf} $old_dir != ""
            Call RemoveWrittenFiles
        ${EndIf}
        StrCpy $R9 "The files of ${PRODUCT} could not be written to $INSTDIR. Check that the disk \
has room and that the folder may be written, and run the setup again."
        Call Fail
    ${EndIf}

    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\tickmend.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

    ; Registered last, all or nothing: the autostart of every user, then the uninstall entry.
    ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
    ClearErrors
    ; /logon: the program starts only while this user's "Start at logon" (its tray menu) is on.
    WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\tickmend.exe" /logon'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\tickmend.exe",0'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${If} ${Errors}
        ${If} $fresh == 1
            DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
            DeleteRegKey HKLM "${UNINSTALL_KEY}"
            Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
            Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
            RMDir "$SMPROGRAMS\${PRODUCT}"
            Call RemoveWrittenFiles
        ${EndIf}
        StrCpy $R9 "The autostart and the uninstall entry of ${PRODUCT} could not be registered."
        Call Fail
    ${EndIf}

    ; Moved: the old copy's files go, and its folder with them when nothing else is in it.
    ${If} $old_dir != ""
        DetailPrint "Removing the earlier installation in $old_dir"
        Delete "$old_dir\tickmend.exe"
        Delete "$old_dir\tickmend-ctl.exe"
        Delete "$old_dir\uninstall.exe"
        RMDir "$old_dir"
    ${EndIf}

    ; An upgrade leaves running what ran, silent or not.
    ${If} $was_running == 1
        Call StartInstalled
    ${EndIf}
    ${IfNot} ${Silent}
        Call SayWhatWorks
    ${EndIf}
SectionEnd

; The finish page's texts. One node or one processor: nothing stays resident, so no icon.
!define SAY_ICON "${PRODUCT} is installed for every user and starts at each logon, with its icon in \
the notification area: right-click it to switch Gaming Mode."
!define SAY_STARTED_AGAIN "${PRODUCT} is installed and was started again, with its icon in the \
notification area; it starts at each logon."
!define SAY_DRIVER_FOUND "The TSC driver answers: Gaming Mode switches the power plan, clears the \
northbridge power management bit and synchronizes the counters of all processors."
!define SAY_DRIVER_ABSENT "The TSC driver is not installed. Until it is, Gaming Mode switches the power \
plan only: the counters are not synchronized and the northbridge bit is left alone. Install the driver, \
then start ${PRODUCT} again; $\"tickmend-ctl topology$\" tells whether it is found."
!define SAY_DRIVER_REFUSING "The TSC driver is installed but does not answer: it refused to read the \
northbridge register. Until it answers, Gaming Mode switches the power plan only. Reinstall or update \
the driver, then check it with $\"tickmend-ctl topology$\"."
!define SAY_ONE_NODE "${PRODUCT} is installed. This machine has one processor node, so there is no \
Gaming Mode and no icon."
!define SAY_ONE_NODE_FOUND "At each logon ${PRODUCT} registers drift compensation with the TSC driver \
for every processor and ends; the driver then keeps the counters in step."
!define SAY_ONE_NODE_ABSENT "Its only task here, drift compensation, needs the TSC driver, which is not \
installed. Install the driver: from the next logon on, ${PRODUCT} registers drift compensation for \
every processor and ends."
!define SAY_ONE_NODE_REFUSING "Its only task here, drift compensation, needs the TSC driver, which is \
installed but does not answer: it refused to read the northbridge register. Reinstall or update the \
driver; after the next logon $\"tickmend-ctl topology$\" tells whether drift compensation was registered."
!define SAY_SINGLE "${PRODUCT} is installed, but this machine has a single processor: there are no \
counters to keep in step, so it does nothing and ends at each logon. Uninstall it from Add or Remove \
Programs if you do not need it."
!define SAY_UNKNOWN "${PRODUCT} is installed and starts at each logon. The setup could not tell what \
it can do on this machine: $\"tickmend-ctl topology$\" failed"

; The finish page says what the program does on this machine, as the installed client
; finds it: the role from the node count, and the TSC driver found, absent or refusing.
Function SayWhatWorks
    StrCpy $R8 '"$INSTDIR\tickmend-ctl.exe" topology'
    Call RunCaptured
    StrCpy $2 "" ; the role: single, one or nodes
    StrCpy $3 "" ; the driver: found, absent or refusing
    ${If} $R7 == 0
        ClearErrors
        FileOpen $0 "$PLUGINSDIR\output.txt" r
        ${IfNot} ${Errors}
            ${Do}
                FileRead $0 $1
                ${If} ${Errors}
                    ${ExitDo}
                ${EndIf}
                StrCpy $4 $1 22
                StrCpy $5 $1 14
                StrCpy $6 $1 6
                StrCpy $7 $1 16
                StrCpy $8 $1 13
                ${If} $4 == "role: single processor"
                    StrCpy $2 single
                ${ElseIf} $5 == "role: one node"
                    StrCpy $2 one
                ${ElseIf} $6 == "role: "
                    StrCpy $2 nodes
                ${ElseIf} $8 == "driver: found"
                    StrCpy $3 found
                ${ElseIf} $5 == "driver: absent"
                    StrCpy $3 absent
                ${ElseIf} $7 == "driver: refusing"
                    StrCpy $3 refusing
                ${EndIf}
            ${Loop}
            FileClose $0
        ${EndIf}
    ${EndIf}

    StrCpy $start_text ""
    ${If} $2 == single
        StrCpy $finish_text "${SAY_SINGLE}"
    ${ElseIf} $2 == ""
    ${OrIf} $3 == ""
        ; A failed run, or one that did not say all: nothing is claimed.
        StrCpy $finish_text "${SAY_UNKNOWN} (exit code $R7). Run it in a command prompt in $INSTDIR to see \
the processors and whether the TSC driver is found."
        StrCpy $start_text "Start ${PRODUCT} now"
    ${ElseIf} $2 == one
        ${If} $3 == found
            StrCpy $finish_text "${SAY_ONE_NODE}$\r$\n$\r$\n${SAY_ONE_NODE_FOUND}"
            StrCpy $start_text "Register drift compensation now"
        ${ElseIf} $3 == absent
            StrCpy $finish_text "${SAY_ONE_NODE}$\r$\n$\r$\n${SAY_ONE_NODE_ABSENT}"
        ${Else}
            StrCpy $finish_text "${SAY_ONE_NODE}$\r$\n$\r$\n${SAY_ONE_NODE_REFUSING}"
        ${EndIf}
    ${Else}
        ${If} $was_running == 1
            StrCpy $finish_text "${SAY_STARTED_AGAIN}"
        ${Else}
            StrCpy $finish_text "${SAY_ICON}"
            StrCpy $start_text "Start ${PRODUCT} now"
        ${EndIf}
        ${If} $3 == found
            StrCpy $finish_text "$finish_text$\r$\n$\r$\n${SAY_DRIVER_FOUND}"
        ${ElseIf} $3 == absent
            StrCpy $finish_text "$finish_text$\r$\n$\r$\n${SAY_DRIVER_ABSENT}"
        ${Else}
            StrCpy $finish_text "$finish_text$\r$\n$\r$\n${SAY_DRIVER_REFUSING}"
        ${EndIf}
    ${EndIf}
FunctionEnd

; The check box goes below the text's full height, where the link of MUI's page would be.
Function FinishShow
    ${If} $start_text != ""
        ${NSD_CreateCheckbox} 120u 178u 195u 10u "$start_text"
        Pop $start_box
        SetCtlColors $start_box "${MUI_TEXTCOLOR}" "${MUI_BGCOLOR}"
        ${NSD_Check} $start_box
        ${NSD_SetFocus} $start_box
    ${EndIf}
FunctionEnd

Function FinishLeave
    ${If} $start_text != ""
        ${NSD_GetState} $start_box $0
        ${If} $0 == ${BST_CHECKED}
            Call StartInstalled
        ${EndIf}
    ${EndIf}
FunctionEnd

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
    Delete "$INSTDIR\tickmend.exe"
    Delete "$INSTDIR\tickmend-ctl.exe"
    Delete "$INSTDIR\uninstall.exe"
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
