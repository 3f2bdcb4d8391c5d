// The dialog of the programs Gaming Mode follows.
#pragma once
#include <windows.h>

namespace app {

// Opens the dialog (modal; a second request brings the open one to the front).
void show_follow_dialog(HWND owner);
// The instance ends: closes the dialog if it is open.
void end_follow_dialog();

} // namespace app
