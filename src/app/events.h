// The events: the main window's procedure with the power, session and end-of-session
// handling, the watch of the power personality, and the state they keep for the program.
#pragma once
#include <windows.h>

namespace app {

// Gaming Mode to be on: read at start, kept at stops.
extern int start_mode;
// The worker was stopped by a console disconnect or a real end of the session: the Gaming Mode
// state then reads off, and start_mode keeps what it was before.
extern int worker_stopped;
// Where the power personality can be watched (exactly major version 6), looks the
// registration up in User32.dll and watches it; false when the functions are missing.
bool watch_power_personality(HWND window);

} // namespace app

// The main window's procedure: tray callback, menu commands, power, session and shutdown events.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// 1 when the two GUIDs are equal byte for byte, else 0.
int guid_equal(const GUID* a, const GUID* b);
// 1 when the two GUIDs differ in any byte, else 0.
int guid_not_equal(const GUID* a, const GUID* b);
