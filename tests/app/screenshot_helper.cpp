// screenshot_helper.exe COMMAND: plays the user's part for scripts/screenshot against the
// running program (a window of class "TICKMEND" on the desktop named "shell", the Wine
// virtual desktop the script starts). Not part of the product.
//   wait    waits up to 20 s for the program's window; exit code 0 when it is there
//   menu    puts the cursor by the tray and right-clicks the tray icon (the menu opens)
//   about   opens the About box through its menu command
//   follow  opens the dialog of the programs Gaming Mode follows through its menu command
//   status  opens the status window through its menu command
//   measure presses the status window's "Measure again" and waits up to 20 s for the
//           measurement to end
//   switch  switches Gaming Mode through the tray menu's command
//   explain clicks the balloon (the box that explains it opens)
//   close   closes an open menu, About box, explanation, status window or dialog of the
//           followed programs
//   balloon waits up to 15 s for the shell's balloon; exit code 0 once it is on screen
//   box     waits up to 20 s for the program's message box (a start that ends at once)
//   ok      presses OK in that box
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

namespace {

// Windows are found on the thread's own desktop: join the program's, once it exists.
bool join_program_desktop()
{
    HDESK desktop = OpenDesktopA("shell", 0, FALSE, GENERIC_ALL);
    return desktop && SetThreadDesktop(desktop);
}

HWND main_window()
{
    return FindWindowA("TICKMEND", nullptr);
}

// Where the tray icon is: from the shell when it can tell, else the bottom right corner
// where the notification area lies.
POINT tray_point(HWND window)
{
    POINT point = {GetSystemMetrics(SM_CXSCREEN) - 24, GetSystemMetrics(SM_CYSCREEN) - 12};
    using get_rect_fn = HRESULT(WINAPI*)(const NOTIFYICONIDENTIFIER*, RECT*);
    HMODULE shell = LoadLibraryA("shell32.dll");
    auto get_rect = shell ? reinterpret_cast<get_rect_fn>(
                                reinterpret_cast<void*>(GetProcAddress(shell, "Shell_NotifyIconGetRect")))
                          : nullptr;
    if (get_rect) {
        NOTIFYICONIDENTIFIER id = {};
        id.cbSize = sizeof id;
        id.hWnd = window;
        id.uID = 0;
        RECT rect;
        if (SUCCEEDED(get_rect(&id, &rect)) && rect.right > rect.left) {
            point.x = (rect.left + rect.right) / 2;
            point.y = rect.top;
        }
    }
    return point;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: screenshot_helper wait|menu|about|follow|status|measure|switch|explain|close|balloon|box|ok\n");
        return 64;
    }
    const char* command = argv[1];
    // The message box of a start that leaves nothing resident: no main window to look for.
    if (strcmp(command, "box") == 0 || strcmp(command, "ok") == 0) {
        bool joined = false;
        for (int i = 0; i < 200; ++i, Sleep(100)) {
            if (!joined) joined = join_program_desktop();
            HWND box = joined ? FindWindowA("#32770", "QEL Pacemill") : nullptr;
            if (!box) continue;
            if (command[0] == 'o') PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        fprintf(stderr, "screenshot_helper: no message box came up\n");
        return 1;
    }
    if (strcmp(command, "wait") == 0) {
        bool joined = false;
        for (int i = 0; i < 200; ++i) {
            if (!joined) joined = join_program_desktop();
            if (joined && main_window()) return 0;
            Sleep(100);
        }
        fprintf(stderr, "screenshot_helper: no window of class TICKMEND\n");
        return 1;
    }
    HWND window = join_program_desktop() ? main_window() : nullptr;
    if (!window) {
        fprintf(stderr, "screenshot_helper: no window of class TICKMEND\n");
        return 1;
    }
    if (strcmp(command, "menu") == 0) {
        POINT point = tray_point(window);
        SetCursorPos(point.x, point.y);
        // The tray icon's callback as the shell sends it on the right button's release: the
        // event in the low word, the icon's place in wparam (version 4).
        PostMessageA(window, WM_APP, MAKEWPARAM(point.x, point.y), WM_CONTEXTMENU);
        return 0;
    }
    if (strcmp(command, "about") == 0) {
        PostMessageA(window, WM_COMMAND, 1, 0); // the tray menu's "About"
        return 0;
    }
    if (strcmp(command, "follow") == 0) {
        PostMessageA(window, WM_COMMAND, 4, 0); // the tray menu's "Gaming Mode for Programs..."
        return 0;
    }
    if (strcmp(command, "status") == 0) {
        PostMessageA(window, WM_COMMAND, 5, 0); // the tray menu's "Status..."
        return 0;
    }
    if (strcmp(command, "measure") == 0) {
        HWND status = nullptr;
        for (int i = 0; i < 100 && !status; ++i, Sleep(status ? 0 : 100)) status = FindWindowA("#32770", "QEL Pacemill Status");
        HWND button = status ? GetDlgItem(status, 1102) : nullptr;
        if (!button) return 1;
        PostMessageA(status, WM_COMMAND, MAKEWPARAM(1102, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        // Disabled while it measures, enabled again with the result shown.
        for (int i = 0; i < 20 && IsWindowEnabled(button); ++i) Sleep(50);
        for (int i = 0; i < 200 && !IsWindowEnabled(button); ++i) Sleep(100);
        return IsWindowEnabled(button) ? 0 : 1;
    }
    if (strcmp(command, "switch") == 0) {
        PostMessageA(window, WM_COMMAND, 0, 0); // the tray menu's "Gaming Mode"
        return 0;
    }
    if (strcmp(command, "explain") == 0) {
        PostMessageA(window, WM_APP, 0, NIN_BALLOONUSERCLICK); // as the shell tells a click (version 4)
        return 0;
    }
    if (strcmp(command, "close") == 0) {
        const char* const titles[] = {"About QEL Pacemill", "QEL Pacemill", "Gaming Mode for Programs",
                                      "QEL Pacemill Status"};
        for (const char* title : titles) {
            for (HWND box = FindWindowA("#32770", title); box; box = FindWindowA("#32770", title)) {
                PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
                Sleep(200);
            }
        }
        PostMessageA(window, WM_CANCELMODE, 0, 0); // ends a popup menu
        return 0;
    }
    if (strcmp(command, "balloon") == 0) {
        struct Find {
            static BOOL CALLBACK one(HWND w, LPARAM found)
            {
                char name[32] = "";
                GetClassNameA(w, name, sizeof name);
                if (strcmp(name, "tooltips_class32") == 0 && IsWindowVisible(w) &&
                    (GetWindowLongA(w, GWL_STYLE) & 0x40)) // TTS_BALLOON
                    *reinterpret_cast<bool*>(found) = true;
                return TRUE;
            }
        };
        for (int i = 0; i < 150; ++i) {
            bool found = false;
            EnumWindows(Find::one, reinterpret_cast<LPARAM>(&found));
            if (found) return 0;
            Sleep(100);
        }
        fprintf(stderr, "screenshot_helper: no balloon came up\n");
        return 1;
    }
    fprintf(stderr, "screenshot_helper: unknown command %s\n", command);
    return 64;
}
