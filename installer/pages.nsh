; The setup's and the uninstaller's pages: welcome, what it will do on this PC (this_pc.nsh),
; folder, components, files, the finish page (its text and check box come from finish.nsh), and
; the uninstaller's confirmation.

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs ${PRODUCT} ${VERSION}.$\r$\n$\r$\n\
On a PC with several processor nodes it gives you Gaming Mode: one click on its icon sets a power plan \
that does not slow the processors down and brings the clocks of all processors together, for games \
that need steady timing. Your own power plan comes back when you switch it off. On a PC of one node \
whose clocks can drift apart, it keeps them from drifting further.$\r$\n$\r$\n\
The next page tells what it will do on this PC, before anything is installed. Click Next to continue."
; No MUI_FINISHPAGE_RUN: its check box would cut the text to four lines. FinishShow puts
; one below the text, where the machine has something to start.
!define MUI_FINISHPAGE_TEXT "$finish_text"

!insertmacro MUI_PAGE_WELCOME
Page custom ThisPCShow ThisPCLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
