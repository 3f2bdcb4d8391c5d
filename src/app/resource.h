// Resource ids of the program (app.rc) and the commands of its menus.
#pragma once

#define IDI_TICKMEND 107       // icon groups, 16 to 48 px, 32 bits with alpha: Gaming Mode off,
#define IDI_TRAY_ON 110        // on,
#define IDI_TRAY_OFF_WARNING 111 // off with a notice raised,
#define IDI_TRAY_ON_WARNING 112  // on with a notice raised
#define IDS_APP_TITLE 103      // "tickmend", the main window's title
#define IDC_TICKMEND 109       // string "TICKMEND" (the class name), menu and accelerators
#define IDD_ABOUTBOX 103       // the About box
#define IDB_LOGO 131           // the About box's logo, 95x37, 8 bits per pixel

#define IDM_ABOUT 104          // "&Help" / "&About ..." and the Alt+? and Alt+/ accelerators
#define IDM_EXIT 105           // "&File" / "E&xit"

#define IDM_TRAY_GAMING_MODE 0 // tray menu: switch Gaming Mode
#define IDM_TRAY_ABOUT 1       // tray menu: the About box
#define IDM_TRAY_EXIT 2        // tray menu: end the program
#define IDM_TRAY_START_AT_LOGON 3 // tray menu: this user's start at logon, on or off
#define IDM_TRAY_FOLLOW 4      // tray menu: the programs Gaming Mode follows
#define IDM_TRAY_STATUS 5      // tray menu: the status window

#define IDD_FOLLOW 140         // the dialog of the programs Gaming Mode follows, and its controls
#define IDC_FOLLOW_LIST 1001
#define IDC_FOLLOW_RUNNING 1002
#define IDC_FOLLOW_ADD 1003
#define IDC_FOLLOW_BROWSE 1004
#define IDC_FOLLOW_REMOVE 1005

#define IDD_STATUS 150         // the status window, and its controls
#define IDC_STATUS_TEXT 1101
#define IDC_STATUS_MEASURE 1102

#define WM_TRAY_ICON 0x8000    // the tray icon's callback message (WM_APP)
#define WM_TRAY_NOTICE 0x8001  // posted when a warning or the Gaming Mode state changed
#define WM_TRAY_SWITCHED 0x8002 // posted by Gaming Mode's owner when a switch the tray asked for ran

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
