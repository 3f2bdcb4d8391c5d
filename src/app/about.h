// The About box.
#pragma once
#include <windows.h>

namespace app {

// Opens the About box owned by owner and returns when it closes (true: a modal loop ran); an
// open one is brought to the front instead (false).
bool show_about_box(HWND owner);
// Closes an open About box; harmless when none is open.
void end_about_box();

} // namespace app

// The About box's dialog procedure: OK, Enter, Esc and the close box end it.
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
