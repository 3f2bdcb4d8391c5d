// The status window, opened from the tray menu's "Status…": the PC's answer, the driver's
// state, the last Gaming Mode on and the next step (status_words.h), with a button that
// measures the clocks again.
#pragma once
#include <windows.h>

namespace app {

// Opens the window (modal; a second request brings the open one to the front).
void show_status_window(HWND owner);
// What it shows may have changed (a switch, a notice): its text is made again.
void refresh_status_window();
// The instance ends: closes the window if it is open.
void end_status_window();

} // namespace app
