#include "support/wizard.h"

#include <string.h>

namespace testing_support {

namespace {

const int page_area = 1018;       // the wizard's inner page
const int message_text_id = 0xFFFF; // a message box's text

struct Search {
    DWORD pid;
    SetupWindows found;
};

BOOL CALLBACK look_at(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<Search*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if ((search->pid && owner != search->pid) || !IsWindowVisible(window)) return TRUE;
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    if (strcmp(name, "#32770") != 0) return TRUE;
    if (GetDlgItem(window, page_area)) search->found.wizard = window;
    else if (GetDlgItem(window, message_text_id)) search->found.message = window;
    return TRUE;
}

} // namespace

SetupWindows find_setup_windows(DWORD pid)
{
    Search search{pid, {}};
    EnumWindows(look_at, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string window_text(HWND window, int id)
{
    HWND control = id ? GetDlgItem(window, id) : window;
    char text[2048] = "";
    if (control) GetWindowTextA(control, text, sizeof text);
    return text;
}

std::string message_text(HWND message)
{
    return window_text(message, message_text_id);
}

bool press_default(HWND wizard)
{
    HWND button = GetDlgItem(wizard, IDOK);
    if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) return false;
    PostMessageA(wizard, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
}

void answer(HWND message)
{
    PostMessageA(message, WM_COMMAND, IDOK, 0);
}

std::string click_through(HANDLE process, DWORD timeout_ms)
{
    std::string said;
    DWORD pid = GetProcessId(process);
    DWORD start = GetTickCount();
    while (WaitForSingleObject(process, 250) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeout_ms) break;
        SetupWindows windows = find_setup_windows(pid);
        if (windows.message) {
            said += message_text(windows.message) + "\n--\n";
            answer(windows.message);
            // Gone before the next look, so that it is read once.
            for (int i = 0; i < 40 && IsWindow(windows.message); ++i) Sleep(50);
        } else if (windows.wizard) {
            press_default(windows.wizard);
        }
    }
    return said;
}

} // namespace testing_support
