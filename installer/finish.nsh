; The finish page's words: what the program does on this machine, as the installed client
; finds it, and the check box that starts it.

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
