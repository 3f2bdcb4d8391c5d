; "On this PC": before anything is installed, the PC's answer as the bundled tickmend-ctl's
; topology gives it (its code; the words are the program's own, read from answer_words.inc
; when the setup is made), what the component "TSC driver" will do, and the choice to put
; tickmend-ctl on the user's PATH. Where tickmend has nothing to do, nothing is installed
; unless the user ticks "Install anyway" (Next waits for it, and the PATH box follows it). A
; silent setup shows no page, installs as its command line says, and puts tickmend-ctl on
; the PATH unless given /NOPATH.

Var this_role    ; gaming_mode, drift_compensation, single_processor, or "" when not told
Var this_driver  ; found, missing, refusing, or "" when not told
Var this_nodes   ; the number of processor nodes ("" when not told)
Var this_cpus    ; the number of processors ("" when not told)
Var this_answer  ; the PC's answer's code (answer/answer_words.inc), "" when not told
Var anyway_box   ; "Install anyway", where there is nothing to do
Var want_path    ; 1: tickmend-ctl's folder goes on the user's PATH; 0: it comes off
Var driver_chosen ; 1: the component "TSC driver" starts ticked (driver.nsh, ChooseDriver)
Var driver_note   ; why the component is ticked or not ("it would help on this PC")
Var path_box

; Reads what the client $R8 (a full command line without arguments) finds: $this_role,
; $this_driver and $this_nodes from its "topology --csv" (short codes, one fact a row:
; "role,,,,,gaming_mode"). $R7: its exit code.
!macro ReadThisPC un
Function ${un}ReadThisPC
    StrCpy $this_role ""
    StrCpy $this_driver ""
    StrCpy $this_nodes ""
    StrCpy $this_cpus ""
    StrCpy $this_answer ""
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
        StrCpy $6 $1 11      ; "answer,,,,,"
        StrCpy $7 $1 15      ; "processors,,,,,"
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
        ${ElseIf} $6 == "answer,,,,,"
            StrCpy $5 $1 "" 11
            ${TrimNewLines} $5 $this_answer
        ${ElseIf} $7 == "processors,,,,,"
            StrCpy $5 $1 "" 15
            ${TrimNewLines} $5 $this_cpus
        ${EndIf}
    ${Loop}
    FileClose $0
FunctionEnd
!macroend
!insertmacro ReadThisPC ""

; The PC's answers in the program's own words (answer/answer_words.inc, read when the setup
; is made): SAY_<code>.
!macro ReadAnswerWords code
    !searchparse /file "${ANSWER_WORDS}" `"${code}", "` SAY_${code} `", "`
!macroend
!insertmacro ReadAnswerWords single_processor
!insertmacro ReadAnswerWords one_node_steady
!insertmacro ReadAnswerWords one_node_held
!insertmacro ReadAnswerWords one_node_needs_driver
!insertmacro ReadAnswerWords one_node_driver_refusing
!insertmacro ReadAnswerWords nodes_synced
!insertmacro ReadAnswerWords nodes_needs_driver
!insertmacro ReadAnswerWords nodes_driver_refusing
!define SAY_UNKNOWN_PC "The setup could not tell what ${PRODUCT} can do on this PC (its look at the \
processors failed). After installing, $\"tickmend-ctl topology$\" in a command prompt tells it."

; $R0: the words of the answer $this_answer ("" for none); $R2: 1 where tickmend has nothing
; to do here, 2 where the TSC driver would help, else 0.
Function SayAnswer
    StrCpy $R0 ""
    StrCpy $R2 0
    ${If} $this_answer == single_processor
        StrCpy $R0 "${SAY_single_processor}"
        StrCpy $R2 1
    ${ElseIf} $this_answer == one_node_steady
        StrCpy $R0 "${SAY_one_node_steady}"
        StrCpy $R2 1
    ${ElseIf} $this_answer == one_node_held
        StrCpy $R0 "${SAY_one_node_held}"
    ${ElseIf} $this_answer == one_node_needs_driver
        StrCpy $R0 "${SAY_one_node_needs_driver}"
        StrCpy $R2 2
    ${ElseIf} $this_answer == one_node_driver_refusing
        StrCpy $R0 "${SAY_one_node_driver_refusing}"
        StrCpy $R2 2
    ${ElseIf} $this_answer == nodes_synced
        StrCpy $R0 "${SAY_nodes_synced}"
    ${ElseIf} $this_answer == nodes_needs_driver
        StrCpy $R0 "${SAY_nodes_needs_driver}"
        StrCpy $R2 2
    ${ElseIf} $this_answer == nodes_driver_refusing
        StrCpy $R0 "${SAY_nodes_driver_refusing}"
        StrCpy $R2 2
    ${EndIf}
FunctionEnd

; Where there is nothing to do, a first installation waits for "Install anyway".
Function NothingToDo
    StrCpy $0 0
    ${If} $R2 == 1
        ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "UninstallString"
        ${If} $1 == ""
            StrCpy $0 1
        ${EndIf}
    ${EndIf}
FunctionEnd

; The page: the PC's answer, what the component will do, the figures found, the PATH box.
Function ThisPCShow
    !insertmacro MUI_HEADER_TEXT "What ${PRODUCT} will do on this PC" \
        "As found on this PC before anything is installed."
    StrCpy $R8 '"$PLUGINSDIR\tickmend-ctl.exe"'
    Call ReadThisPC
    Call SayAnswer
    ${If} $R0 == ""
        StrCpy $R0 "${SAY_UNKNOWN_PC}"
    ${ElseIf} $R2 == 1
        StrCpy $R0 "$R0$\r$\n$\r$\nNothing is installed unless you tick $\"Install anyway$\" below: click \
Cancel to stop here."
    ${ElseIf} $driver_chosen == 1
        StrCpy $R0 "$R0$\r$\n$\r$\nThe component $\"TSC driver$\" is ticked on the components page: $driver_note."
    ${ElseIf} $R2 == 2
        StrCpy $R0 "$R0$\r$\n$\r$\nThe component $\"TSC driver$\" is not ticked on the components page \
($driver_note); you can tick it there."
    ${EndIf}
    ; The figures, for whoever wants them.
    ${If} $this_cpus != ""
        StrCpy $R0 "$R0$\r$\n$\r$\nFound on this PC: $this_cpus processor(s), $this_nodes processor node(s), \
TSC driver $this_driver."
    ${EndIf}
    Call NothingToDo
    StrCpy $R3 $0

    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 0 100% 100u "$R0"
    Pop $0
    StrCpy $anyway_box ""
    ${If} $R3 == 1
        ${NSD_CreateCheckbox} 0 102u 100% 12u "Install ${PRODUCT} anyway"
        Pop $anyway_box
        ${NSD_OnClick} $anyway_box ThisPCAnyway
    ${EndIf}
    ${NSD_CreateCheckbox} 0 116u 100% 20u "Put tickmend-ctl on my PATH, so that a command prompt finds it \
(the uninstaller takes it off again)"
    Pop $path_box
    ${If} $want_path == 1
    ${AndIf} $R3 != 1
        ${NSD_Check} $path_box
    ${EndIf}
    ${If} $R3 == 1
        ; Next and the PATH box wait for "Install anyway".
        EnableWindow $path_box 0
        GetDlgItem $0 $HWNDPARENT 1
        EnableWindow $0 0
    ${EndIf}
    nsDialogs::Show
FunctionEnd

; "Install anyway": Next goes on, and the PATH box follows the choice.
Function ThisPCAnyway
    Pop $0
    ${NSD_GetState} $anyway_box $1
    GetDlgItem $0 $HWNDPARENT 1
    ${If} $1 == ${BST_CHECKED}
        EnableWindow $0 1
        EnableWindow $path_box 1
        ${If} $want_path == 1
            ${NSD_Check} $path_box
        ${EndIf}
    ${Else}
        EnableWindow $0 0
        ${NSD_Uncheck} $path_box
        EnableWindow $path_box 0
    ${EndIf}
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
