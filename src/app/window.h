// The main window: its class and its creation with the power and session registrations and
// the tray icon.
#pragma once
#include <windows.h>

// Registers the main window class named by string 109 (icon 107, menu 109, main_window_proc).
void register_main_window_class(HINSTANCE instance);
// Creates the hidden main window, its power and session registrations and the tray icon; 1 or 0.
int create_tray_window(HINSTANCE instance, int show_command);

namespace app {

// The main window create_tray_window made; null before.
HWND main_window();

} // namespace app
