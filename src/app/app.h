// The tray application: the program's entry and "/k". Its parts below offer the rest: the
// hidden main window, its events, the tray icon with its clicks and menu, the About box and
// the Start-at-logon choice.
#pragma once
#include <windows.h>

#include "app/about.h"
#include "app/events.h"
#include "app/start_at_logon.h"
#include "app/tray.h"
#include "app/tray_menu.h"
#include "app/tray_words.h"
#include "app/window.h"

// The whole program after the start-up code: "/k" (also "/K", "-k"), "/?" (a message box with
// the switches and the last start), "/logon" (the start at logon: only while this user's
// "Start at logon" is on), one instance, worker, window, message loop; returns the exit code
// (1 after "/k" or without Gaming Mode, 64 after a switch it does not take, which shows the
// "/?" box and starts nothing, 0 otherwise). A start from the user's shortcut that leaves
// nothing resident, or finds an instance running, says so in a box.
int tickmend_main(HINSTANCE instance, const char* command_line);
// "/k": sends WM_DESTROY to the window named by window_handle if it is a window of our class,
// else to a window found by our class; 1 when it found one, 0 when no instance runs.
int close_running_instance(HINSTANCE instance);
