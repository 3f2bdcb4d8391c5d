; The setup's and the uninstaller's pages: welcome, folder, files, the finish page (its text
; and check box come from finish.nsh), and the uninstaller's confirmation.

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
