// The tray icon's clicks and keys: the menu on a click, a switch on a double click or Enter.
#pragma once
#include <windows.h>

namespace app {

// The icon's callback message: the menu on WM_CONTEXTMENU (right button up, or the keyboard),
// a single left click opens it too, a double click or Enter switches Gaming Mode.
void on_tray_callback(HWND window, WPARAM wparam, LPARAM lparam);
// WM_TRAY_SWITCHED: a switch the tray asked for has run; Enter and double clicks switch again.
void on_tray_switched(HWND window);
// WM_TIMER: true when it was the single click's timer (the menu then opens).
bool on_tray_timer(HWND window, UINT_PTR id);

} // namespace app
