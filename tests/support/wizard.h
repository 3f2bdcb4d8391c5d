// Plays the user at an NSIS setup or uninstaller: presses its pages' default button and
// answers its message boxes, reading what they say. Used by the installer tests and by
// scripts/screenshot-setup's helper.
#pragma once
#include <windows.h>
#include <string>

namespace testing_support {

// The top-level windows of process pid (0: of any process) on the thread's desktop: the
// wizard (the window that holds the page area) and a message box, each null when absent.
struct SetupWindows {
    HWND wizard = nullptr;
    HWND message = nullptr;
};
SetupWindows find_setup_windows(DWORD pid);

// The text of a window, or of its child with that control id.
std::string window_text(HWND window, int id = 0);
// The text of a message box.
std::string message_text(HWND message);

// Presses the page's default button (Next, Install, Uninstall, Finish, Close) when it is
// enabled; false when it is not (a page still working).
bool press_default(HWND wizard);
// Closes a message box with OK.
void answer(HWND message);

// Presses through every page and answers every message box until the process ends or
// timeout_ms pass; returns what the message boxes said, each text followed by "\n--\n".
std::string click_through(HANDLE process, DWORD timeout_ms);

} // namespace testing_support
