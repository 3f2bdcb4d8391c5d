; The finish page's words: what the program does on this machine, as the installed client
; finds it, and the check box that starts it; and the start at logon where something runs.

; The finish page's texts: the PC's answer first (this_pc.nsh's SAY_ words), then what this
; installation does about it.
!define SAY_STARTS "It starts at each logon, with its icon in the notification area: right-click the \
icon for Gaming Mode."
!define SAY_STARTED_AGAIN "It was started again, with its icon in the notification area, and starts at \
each logon."
!define SAY_HELD_AT_LOGON "It does so at each logon."
!define SAY_ADD_DRIVER "To add the TSC driver later, run this setup again: Change, in Add or Remove \
Programs."
!define SAY_NOTHING "It does nothing here and does not start at logon: uninstall it from Add or Remove \
Programs if you do not need it."
!define SAY_UNKNOWN "${PRODUCT} is installed and starts at each logon. The setup could not tell what \
it can do on this machine: $\"tickmend-ctl topology$\" failed"

; The start at logon where something runs then (the icon, or the clocks held), as the
; installed client finds the PC once the driver is in place; where its look fails, too.
Function RegisterLogonStart
    StrCpy $R8 '"$INSTDIR\tickmend-ctl.exe"'
    Call ReadThisPC
    ${If} $this_answer == single_processor
    ${OrIf} $this_answer == one_node_steady
    ${OrIf} $this_answer == one_node_needs_driver
    ${OrIf} $this_answer == one_node_driver_refusing
        DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
        Return
    ${EndIf}
    ; /logon: the program starts only while this user's "Start at logon" (its tray menu) is on.
    WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\tickmend.exe" /logon'
FunctionEnd

; The finish page says what the program does on this machine: the PC's answer as the
; installed client found it (RegisterLogonStart), and what this installation does about it.
Function SayWhatWorks
    StrCpy $start_text ""
    Call SayAnswer
    ${If} $R0 == ""
        ; A failed run, or one that did not say all: nothing is claimed.
        StrCpy $finish_text "${SAY_UNKNOWN} (exit code $R7). Run it in a command prompt in $INSTDIR to see \
the processors and whether the TSC driver is found."
        StrCpy $start_text "Start ${PRODUCT} now"
        Return
    ${EndIf}
    ; $R4: what this installation does about it ("" for nothing more).
    StrCpy $R4 ""
    ${If} $R2 == 1
        StrCpy $R4 "${SAY_NOTHING}"
    ${ElseIf} $this_answer == one_node_held
        StrCpy $R4 "${SAY_HELD_AT_LOGON}"
        StrCpy $start_text "Hold the clocks now"
    ${ElseIf} $this_answer == one_node_needs_driver
        StrCpy $R4 "${SAY_ADD_DRIVER}"
    ${ElseIf} $this_answer == one_node_driver_refusing
        StrCpy $R4 ""
    ${ElseIf} $was_running == 1
        StrCpy $R4 "${SAY_STARTED_AGAIN}"
    ${Else}
        StrCpy $R4 "${SAY_STARTS}"
        StrCpy $start_text "Start ${PRODUCT} now"
    ${EndIf}
    ${If} $this_answer == nodes_needs_driver
        StrCpy $R4 "$R4 ${SAY_ADD_DRIVER}"
    ${EndIf}
    StrCpy $finish_text "${PRODUCT} is installed.$\r$\n$\r$\n$R0"
    ${If} $R4 != ""
        StrCpy $finish_text "$finish_text$\r$\n$\r$\n$R4"
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
