; tickmend-setup.exe: installs QEL Pacemill (tickmend.exe and tickmend-ctl.exe) for every
; user of the machine, starts it at each logon, and registers an uninstaller that leaves
; nothing behind. Made by the build:
;
;   makensis -DVERSION=1.1.2 -DTICKMEND_EXE=... -DCTL_EXE=... -DICON=... -DOUTFILE=... tickmend.nsi
;
; Switches: /S silent; /D=FOLDER the install folder (last, unquoted). The uninstaller takes /S.
; Exit codes: 0 done; 1 cancelled by the user; 2 failed (a message says why, and nothing
; new is left registered).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
${StrStr}

!define PRODUCT "QEL Pacemill"
!define PUBLISHER "QEL"
!define CLASS "TICKMEND"                 ; the main window's class: there while an instance runs
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SETTINGS_KEY "Software\QEL\qel_pacemill"
!define END_WAIT_STEPS 60                ; times 250 ms: how long an ended instance may take

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

Var finish_text ; the finish page's words: with the TSC driver found, or what works without it

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs ${PRODUCT} ${VERSION}: Gaming Mode for machines with several \
processor nodes, switched from its icon in the notification area, and tickmend-ctl for scripts.$\r$\n$\r$\n\
Prerequisite, installed separately: the TSC driver. ${PRODUCT} does not install it. Without it, Gaming Mode \
switches the power plan only: the processors' time-stamp counters are not synchronized and the northbridge \
power management bit is left alone; on a machine of one node no drift compensation is registered.$\r$\n$\r$\n\
Click Next to continue."
!define MUI_FINISHPAGE_TEXT "$finish_text"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT} now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartInstalled

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
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

Var fresh ; 1 when no earlier installation was registered: a failure removes our files too

; Ends with exit code 2 after telling why (silently: the exit code alone).
!macro Fail message
    MessageBox MB_OK|MB_ICONSTOP "${message}" /SD IDOK
    SetErrorLevel 2
    Quit
!macroend

; Both need an administrator: the files go to Program Files, the autostart and the
; uninstall entry to HKEY_LOCAL_MACHINE.
!macro RequireAdmin
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        !insertmacro Fail "${PRODUCT} needs administrator rights. Run the setup again as an administrator."
    ${EndIf}
!macroend

; Ends a running instance the way a user's "tickmend.exe /k" does, so that it turns Gaming
; Mode off, restores the power plan and stores start_mode (with none running, "/k" finishes
; what a crashed instance left), then waits (bounded) until its
; process is gone and its files can be replaced. $R0: the tickmend.exe to run with /k.
; Sets $R1 to 1 when an instance still runs.
!macro EndInstance un
Function ${un}EndInstance
    StrCpy $R1 0
    ; Run even when no window is there: "/k" then gives back a power plan and northbridge
    ; setting that an instance which did not end properly left changed.
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
            Return
        ${EndIf}
        ${If} $1 >= ${END_WAIT_STEPS}
            StrCpy $R1 1
            Return
        ${EndIf}
        Sleep 250
        IntOp $1 $1 + 1
    ${Loop}
FunctionEnd
!macroend
!insertmacro EndInstance ""
!insertmacro EndInstance "un."

; Where a file of ours exists it must be writable: a tickmend.exe running in another
; session (or held by anything else) makes the setup or the uninstaller fail before it
; has changed anything.
!macro RequireWritable file what
    ${If} ${FileExists} "$INSTDIR\${file}"
        ClearErrors
        FileOpen $0 "$INSTDIR\${file}" a
        ${If} ${Errors}
            !insertmacro Fail "$INSTDIR\${file} is in use. Close ${PRODUCT} (in every session) and run ${what} again."
        ${EndIf}
        FileClose $0
    ${EndIf}
!macroend

Function .onInit
    !insertmacro RequireAdmin
    SetShellVarContext all
FunctionEnd

; Started through the shell, so that it runs with the user's own rights and not the setup's
; raised ones: an elevated instance could not be closed by the user's "tickmend.exe /k"
; (Windows keeps a program's messages from reaching a window of higher integrity).
Function StartInstalled
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\tickmend.exe"'
FunctionEnd

Function RemoveWrittenFiles
    ${If} $fresh == 1
        Delete "$INSTDIR\tickmend.exe"
        Delete "$INSTDIR\tickmend-ctl.exe"
        Delete "$INSTDIR\uninstall.exe"
        RMDir "$INSTDIR"
    ${EndIf}
FunctionEnd

Section "${PRODUCT}"
    StrCpy $fresh 1
    ClearErrors
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
    ${IfNot} ${Errors}
        StrCpy $fresh 0
    ${EndIf}

    ; The new tickmend.exe ends the old instance: "/k" is the same in every version.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\tickmend.exe" "${TICKMEND_EXE}"
    StrCpy $R0 "$PLUGINSDIR\tickmend.exe"
    Call EndInstance
    ${If} $R1 == 1
        !insertmacro Fail "The running ${PRODUCT} did not end. Close it from its tray icon and run the setup again."
    ${EndIf}
    !insertmacro RequireWritable "tickmend.exe" "the setup"
    !insertmacro RequireWritable "tickmend-ctl.exe" "the setup"
    !insertmacro RequireWritable "uninstall.exe" "the setup"

    SetOutPath "$INSTDIR"
    SetOverwrite on
    ClearErrors
    File "/oname=tickmend.exe" "${TICKMEND_EXE}"
    File "/oname=tickmend-ctl.exe" "${CTL_EXE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        Call RemoveWrittenFiles
        !insertmacro Fail "The files of ${PRODUCT} could not be written to $INSTDIR."
    ${EndIf}

    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\tickmend.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

    ; Registered last, all or nothing: the autostart of every user, then the uninstall entry.
    ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
    ClearErrors
    WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\tickmend.exe"'
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
        !insertmacro Fail "The autostart and the uninstall entry of ${PRODUCT} could not be registered."
    ${EndIf}
    Call SayWhatWorks
SectionEnd

; The finish page says whether the TSC driver is there, as the installed client finds it.
Function SayWhatWorks
    StrCpy $finish_text "${PRODUCT} is installed and starts at each logon; its icon is in the notification area. \
The TSC driver was found: Gaming Mode switches the power plan, clears the northbridge power management bit and \
synchronizes the processors' counters."
    nsExec::ExecToStack '"$INSTDIR\tickmend-ctl.exe" topology'
    Pop $0 ; the exit code
    Pop $1 ; the output
    ${StrStr} $2 $1 "driver: absent"
    ${If} $2 != ""
        StrCpy $finish_text "${PRODUCT} is installed and starts at each logon; its icon is in the notification \
area.$\r$\n$\r$\nThe TSC driver is not installed on this machine. Until it is, Gaming Mode switches the power plan \
only: it does not synchronize the processors' counters nor clear the northbridge power management bit, and on a \
machine of one node no drift compensation is registered. Install the driver, then start ${PRODUCT} again; \
$\"tickmend-ctl topology$\" tells whether it is found."
    ${EndIf}
FunctionEnd

Function un.onInit
    !insertmacro RequireAdmin
    SetShellVarContext all
FunctionEnd

Section "Uninstall"
    StrCpy $R0 "$INSTDIR\tickmend.exe"
    Call un.EndInstance
    ${If} $R1 == 1
        !insertmacro Fail "The running ${PRODUCT} did not end. Close it from its tray icon and run the uninstaller again."
    ${EndIf}

    ; Until here nothing is changed, so that a failed uninstaller can be run again.
    !insertmacro RequireWritable "tickmend.exe" "the uninstaller"
    !insertmacro RequireWritable "tickmend-ctl.exe" "the uninstaller"
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
        MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} could not give your power plan or northbridge setting back. What it owes stays recorded in the registry: ${PRODUCT} gives it back when it is installed and started again." /SD IDOK
    ${Else}
        DeleteRegKey HKCU "${SETTINGS_KEY}"
    ${EndIf}
    DeleteRegKey /ifempty HKCU "Software\QEL"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
