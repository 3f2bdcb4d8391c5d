; tickmend-setup.exe: installs QEL Pacemill (tickmend.exe and tickmend-ctl.exe) for every
; user of the machine, starts it at each logon where something runs then, and registers an
; uninstaller that leaves nothing behind, and a copy of itself (setup.exe) that the uninstall
; entry's Change runs to add or remove the TSC driver. Made by the build:
;
;   makensis -DVERSION=1.1.2 -DTICKMEND_EXE=... -DCTL_EXE=... -DICON=... -DWIZARD=... -DOUTFILE=... tickmend.nsi
;
; Switches: /S silent; /NOPATH leaves the user's PATH alone (by default tickmend-ctl's folder
; goes on it); /DRIVER=1 or /DRIVER=0 the component "TSC driver" chosen or not (by default:
; where it can help); /D=FOLDER the install folder (last, unquoted). The uninstaller takes /S.
; Exit codes: 0 done; 1 cancelled by the user; 2 failed (a message says why, nothing new is
; left registered, and a tickmend that was running runs again).
;
; Beside this file: pages.nsh (the pages), in_use.nsh (files in use and the running instance),
; upgrade.nsh (an upgrade and a move), this_pc.nsh (what it will do on this PC, and the
; PATH), driver.nsh (the component "TSC driver"), finish.nsh (the finish text), uninstall.nsh
; (the uninstaller and what it gives back).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include TextFunc.nsh
!include nsDialogs.nsh
!include StrFunc.nsh
!include x64.nsh
!include Sections.nsh
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

!include "${__FILEDIR__}\pages.nsh"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "OriginalFilename" "tickmend-setup.exe"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

!include "${__FILEDIR__}\in_use.nsh"
!include "${__FILEDIR__}\upgrade.nsh"
!include "${__FILEDIR__}\this_pc.nsh"

Function .onInit
    Call RequireAdmin
    SetShellVarContext all
    Call ChooseDriver
    Call ReadPathChoice
FunctionEnd

Section "${PRODUCT}" SecProgram
    SectionIn RO
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

    ; Change, in the uninstall entry: the setup again (a copy of this one; run from there, it
    ; is there already), to add or remove the TSC driver. Without the copy, no Change.
    StrCpy $R4 1
    GetFullPathName $0 "$EXEPATH"
    StrCpy $1 "$INSTDIR\setup.exe"
    ${If} $0 != $1
        System::Call 'kernel32::CopyFileW(w r0, w r1, i 0) i .R4'
    ${EndIf}

    ; Registered last, all or nothing: the uninstall entry (the autostart follows the PC's
    ; answer once the driver is in place: "-finish").
    ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
    ClearErrors
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\tickmend.exe",0'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${If} $R4 != 0
        WriteRegStr HKLM "${UNINSTALL_KEY}" "ModifyPath" '"$INSTDIR\setup.exe"'
    ${Else}
        WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    ${EndIf}
    ${If} ${Errors}
        ${If} $fresh == 1
            DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
            DeleteRegKey HKLM "${UNINSTALL_KEY}"
            Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
            Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
            RMDir "$SMPROGRAMS\${PRODUCT}"
            Call RemoveWrittenFiles
        ${EndIf}
        StrCpy $R9 "The uninstall entry of ${PRODUCT} could not be registered."
        Call Fail
    ${EndIf}
    ; An earlier version's entry had no Change (and a value absent sets the error flag).
    ${If} $R4 != 0
        DeleteRegValue HKLM "${UNINSTALL_KEY}" "NoModify"
    ${EndIf}

    ; Moved: the old copy's files go, and its folder with them when nothing else is in it.
    ${If} $old_dir != ""
        DetailPrint "Removing the earlier installation in $old_dir"
        Delete "$old_dir\tickmend.exe"
        Delete "$old_dir\tickmend-ctl.exe"
        Delete "$old_dir\uninstall.exe"
        Delete "$old_dir\setup.exe"
        RMDir "$old_dir"
    ${EndIf}
SectionEnd

!include "${__FILEDIR__}\driver.nsh"

; After the driver: what runs again finds it, the start at logon is registered where
; something runs then, and the finish page says what it does.
Section "-finish"
    Call ApplyPathChoice
    Call RegisterLogonStart

    ; An upgrade leaves running what ran, silent or not.
    ${If} $was_running == 1
        Call StartInstalled
    ${EndIf}
    ${IfNot} ${Silent}
        Call SayWhatWorks
    ${EndIf}
SectionEnd

!include "${__FILEDIR__}\finish.nsh"
!include "${__FILEDIR__}\uninstall.nsh"
