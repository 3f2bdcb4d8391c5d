; "On this PC": before anything is installed, what QEL Pacemill will do on this machine, as
; the bundled tickmend-ctl's topology finds it (several nodes: the icon and Gaming Mode; one
; node: drift compensation at each logon, no icon; one processor: nothing), with the TSC
; driver found or not; and the choice to put tickmend-ctl on the user's PATH. Where there is
; nothing to do, the page says so and the user can stop there. A silent setup shows no page
; and puts tickmend-ctl on the PATH unless given /NOPATH.

Var this_role    ; gaming_mode, drift_compensation, single_processor, or "" when not told
Var this_driver  ; found, missing, refusing, or "" when not told
Var this_nodes   ; the number of processor nodes ("" when not told)
Var want_path    ; 1: tickmend-ctl's folder goes on the user's PATH; 0: it comes off
Var driver_chosen ; 1: the component "TSC driver" starts ticked (driver.nsh, ChooseDriver)
Var driver_why    ; what "tickmend-driver helps" said ("invariant counters: ..."), or ""
Var path_box

; Reads what the client $R8 (a full command line without arguments) finds: $this_role,
; $this_driver and $this_nodes from its "topology --csv" (short codes, one fact a row:
; "role,,,,,gaming_mode"). $R7: its exit code.
!macro ReadThisPC un
Function ${un}ReadThisPC
    StrCpy $this_role ""
    StrCpy $this_driver ""
    StrCpy $this_nodes ""
    StrCpy $R8 '$R8 topology --csv'
    Call ${un}RunCaptured
    ${If} $R7 != 0
        Return
    ${EndIf}
    ClearErrors
    FileOpen $0 "$PLUGINSDIR\output.txt" r
    ${If} ${Errors}
        Return
    ${EndIf}
    ${Do}
        FileRead $0 $1
        ${If} ${Errors}
            ${ExitDo}
        ${EndIf}
        StrCpy $2 $1 9       ; "role,,,,,"
        StrCpy $3 $1 11      ; "driver,,,,,"
        StrCpy $4 $1 10      ; "nodes,,,,,"
        ${If} $2 == "role,,,,,"
            StrCpy $5 $1 "" 9
            ${TrimNewLines} $5 $this_role
        ${ElseIf} $3 == "driver,,,,,"
            StrCpy $5 $1 "" 11
            ${TrimNewLines} $5 $this_driver
            ${If} $this_driver == "absent"
                StrCpy $this_driver missing
            ${EndIf}
        ${ElseIf} $4 == "nodes,,,,,"
            StrCpy $5 $1 "" 10
            ${TrimNewLines} $5 $this_nodes
        ${EndIf}
    ${Loop}
    FileClose $0
FunctionEnd
!macroend
!insertmacro ReadThisPC ""

; The page's words for each machine and driver.
!define SAY_PC_NODES "This PC has $this_nodes processor nodes. ${PRODUCT} will put an icon in the \
notification area: its Gaming Mode switches to a power plan that does not throttle the processor, \
clears the northbridge's power management bit and brings the time-stamp counters of all processors \
into step, for games and other programs that need it. Your own power plan comes back when you \
switch it off."
!define SAY_PC_NODES_FOUND "The TSC driver is installed and answers: Gaming Mode does all of that."
!define SAY_PC_NODES_MISSING "The TSC driver is missing: this setup's component $\"TSC driver$\" \
installs it, and it is ticked on the components page. Without it, Gaming Mode only switches the power \
plan: the counters are not brought into step."
!define SAY_PC_NODES_MISSING_UNCHOSEN "The TSC driver is missing, and this setup leaves its component \
$\"TSC driver$\" unticked on the components page$R1 Without it, Gaming Mode only switches the power \
plan: the counters are not brought into step."
!define SAY_PC_NODES_REFUSING "The TSC driver is installed but does not answer. Until it does (update \
or reinstall it), Gaming Mode only switches the power plan."
!define SAY_PC_ONE_NODE "This PC has one processor node, as most PCs do: ${PRODUCT} shows no icon \
and has no Gaming Mode here. At each logon it asks the TSC driver to keep every processor's counter \
from drifting away from the others, and ends."
!define SAY_PC_ONE_NODE_FOUND "The TSC driver is installed and answers: that is all there is to do."
!define SAY_PC_ONE_NODE_MISSING "The TSC driver is missing, and without it ${PRODUCT} has nothing to do \
on this PC: this setup's component $\"TSC driver$\" installs it (it is ticked on the components page), \
and from the next logon it does its work. Or click Cancel to stop here: nothing has been installed."
!define SAY_PC_ONE_NODE_MISSING_UNCHOSEN "The TSC driver is missing, and this setup leaves its \
component $\"TSC driver$\" unticked on the components page$R1 Without the driver ${PRODUCT} has \
nothing to do on this PC: click Cancel to stop here, nothing has been installed."
!define SAY_PC_ONE_NODE_REFUSING "The TSC driver is installed but does not answer, and until it does \
(update or reinstall it) ${PRODUCT} has nothing to do on this PC. Click Cancel to stop here: nothing \
has been installed."
!define SAY_PC_SINGLE "This PC has a single processor: there are no counters to keep in step, so \
${PRODUCT} has nothing to do here. Click Cancel to stop here: nothing has been installed."
!define SAY_PC_UNKNOWN "The setup could not tell what ${PRODUCT} can do on this PC (its look at the \
processors failed). After installing, $\"tickmend-ctl topology$\" in a command prompt tells it."

; The page: what the bundled client finds, in words, and the PATH box.
Function ThisPCShow
    !insertmacro MUI_HEADER_TEXT "What ${PRODUCT} will do on this PC" \
        "As found on this PC before anything is installed."
    InitPluginsDir
    File "/oname=$PLUGINSDIR\tickmend-ctl.exe" "${CTL_EXE}"
    StrCpy $R8 '"$PLUGINSDIR\tickmend-ctl.exe"'
    Call ReadThisPC
    ; Why the component starts unticked, as tickmend-driver said it: ": invariant counters: ...".
    StrCpy $R1 ". You can tick it there."
    ${If} $driver_why != ""
        StrCpy $R1 ", because it would not help here ($driver_why). You can still tick it there."
    ${EndIf}
    ${If} $this_role == single_processor
        StrCpy $R0 "${SAY_PC_SINGLE}"
    ${ElseIf} $this_role == drift_compensation
        StrCpy $R0 "${SAY_PC_ONE_NODE}$\r$\n$\r$\n${SAY_PC_ONE_NODE_MISSING}"
        ${If} $driver_chosen != 1
            StrCpy $R0 "${SAY_PC_ONE_NODE}$\r$\n$\r$\n${SAY_PC_ONE_NODE_MISSING_UNCHOSEN}"
        ${EndIf}
        ${If} $this_driver == found
            StrCpy $R0 "${SAY_PC_ONE_NODE}$\r$\n$\r$\n${SAY_PC_ONE_NODE_FOUND}"
        ${ElseIf} $this_driver == refusing
            StrCpy $R0 "${SAY_PC_ONE_NODE}$\r$\n$\r$\n${SAY_PC_ONE_NODE_REFUSING}"
        ${EndIf}
    ${ElseIf} $this_role == gaming_mode
        StrCpy $R0 "${SAY_PC_NODES}$\r$\n$\r$\n${SAY_PC_NODES_MISSING}"
        ${If} $driver_chosen != 1
            StrCpy $R0 "${SAY_PC_NODES}$\r$\n$\r$\n${SAY_PC_NODES_MISSING_UNCHOSEN}"
        ${EndIf}
        ${If} $this_driver == found
            StrCpy $R0 "${SAY_PC_NODES}$\r$\n$\r$\n${SAY_PC_NODES_FOUND}"
        ${ElseIf} $this_driver == refusing
            StrCpy $R0 "${SAY_PC_NODES}$\r$\n$\r$\n${SAY_PC_NODES_REFUSING}"
        ${EndIf}
    ${Else}
        StrCpy $R0 "${SAY_PC_UNKNOWN}"
    ${EndIf}

    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 0 100% 110u "$R0"
    Pop $0
    ${NSD_CreateCheckbox} 0 118u 100% 20u "Put tickmend-ctl on my PATH, so that a command prompt finds it \
(the uninstaller takes it off again)"
    Pop $path_box
    ${If} $want_path == 1
        ${NSD_Check} $path_box
    ${EndIf}
    nsDialogs::Show
FunctionEnd

Function ThisPCLeave
    ${NSD_GetState} $path_box $0
    ${If} $0 == ${BST_CHECKED}
        StrCpy $want_path 1
    ${Else}
        StrCpy $want_path 0
    ${EndIf}
FunctionEnd

; Before any page: tickmend-ctl goes on the PATH unless the command line says /NOPATH.
Function ReadPathChoice
    StrCpy $want_path 1
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOPATH" $1
    ${IfNot} ${Errors}
        StrCpy $want_path 0
    ${EndIf}
FunctionEnd

; The installed client puts its folder on the user's PATH, or takes off what it put there:
; in code (tickmend-ctl path), which reads and writes the value whole, however long; an
; NSIS string would cut it at 1024 characters.
Function ApplyPathChoice
    ${If} $want_path == 1
        nsExec::Exec '"$INSTDIR\tickmend-ctl.exe" path add'
    ${Else}
        nsExec::Exec '"$INSTDIR\tickmend-ctl.exe" path remove'
    ${EndIf}
    Pop $0
    ${If} $0 != 0
        DetailPrint "tickmend-ctl's folder could not be put on your PATH or taken off (exit code $0)"
    ${EndIf}
FunctionEnd
