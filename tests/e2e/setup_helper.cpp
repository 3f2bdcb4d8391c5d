// setup_helper.exe COMMAND: plays the user's part at tickmend-setup.exe for
// scripts/screenshot-setup, on the desktop named "shell" (the Wine virtual desktop the
// script starts). Not part of the product.
//   welcome  waits up to 60 s for the setup's first page
//   thispc   presses Next on the welcome page and waits up to 60 s for the page that says
//            what QEL Pacemill will do on this PC
//   finish   waits up to 60 s for the setup, presses Next through its pages and returns 0
//            once the finish page shows
//   done     clears the finish page's check box and presses Finish
//   cancel   presses Cancel and answers Yes to "Are you sure you want to quit": nothing is
//            installed
//   message  presses Next through the pages until the setup's message box shows (up to
//            60 s), puts it below the wizard and prints its text
//   answer   presses OK in the message box
//   hold F S holds file F open for S seconds, as a program that uses it would (others may
//            read it, not write it)
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/wizard.h"

using namespace testing_support;

namespace {

// The finish page's check box ("Start ... now"): a button with the check box style.
BOOL CALLBACK clear_check_box(HWND window, LPARAM)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    LONG style = GetWindowLongA(window, GWL_STYLE) & BS_TYPEMASK;
    if (strcmp(name, "Button") == 0 && (style == BS_AUTOCHECKBOX || style == BS_CHECKBOX))
        SendMessageA(window, BM_SETCHECK, BST_UNCHECKED, 0);
    return TRUE;
}

// Whether a child of the wizard shows a text that begins with *text (lparam), anywhere below.
BOOL CALLBACK find_text(HWND window, LPARAM text)
{
    char shown[128] = "";
    GetWindowTextA(window, shown, sizeof shown);
    const char* const* want = reinterpret_cast<const char* const*>(text);
    if (*want && strncmp(shown, *want, strlen(*want)) == 0) {
        *const_cast<const char**>(want) = nullptr; // found
        return FALSE;
    }
    return TRUE;
}

bool shows_text(HWND wizard, const char* text)
{
    const char* want = text;
    EnumChildWindows(wizard, find_text, reinterpret_cast<LPARAM>(&want));
    return want == nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        if (argc == 4 && strcmp(argv[1], "hold") == 0) {
            HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                fprintf(stderr, "setup_helper: cannot open %s\n", argv[2]);
                return 1;
            }
            Sleep(atoi(argv[3]) * 1000);
            CloseHandle(file);
            return 0;
        }
        fprintf(stderr, "usage: setup_helper welcome|thispc|finish|done|cancel|message|answer|hold FILE SECONDS\n");
        return 64;
    }
    HDESK desktop = nullptr;
    for (int i = 0; i < 200 && !desktop; ++i, Sleep(desktop ? 0 : 100))
        desktop = OpenDesktopA("shell", 0, FALSE, GENERIC_ALL);
    if (!desktop || !SetThreadDesktop(desktop)) {
        fprintf(stderr, "setup_helper: no desktop named shell\n");
        return 1;
    }
    const char* command = argv[1];
    for (int i = 0; i < 240; ++i, Sleep(250)) {
        SetupWindows windows = find_setup_windows(0);
        if (strcmp(command, "message") == 0 || strcmp(command, "answer") == 0) {
            if (!windows.message) {
                if (command[0] == 'm' && windows.wizard) press_default(windows.wizard);
                continue;
            }
            if (command[0] == 'm') {
                // Wine leaves a message box black where it covers its wizard: it goes below.
                RECT wizard = {}, box = {};
                if (windows.wizard) GetWindowRect(windows.wizard, &wizard);
                GetWindowRect(windows.message, &box);
                SetWindowPos(windows.message, nullptr, wizard.left + ((wizard.right - wizard.left) - (box.right - box.left)) / 2,
                             wizard.bottom + 8, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
                printf("%s\n", message_text(windows.message).c_str());
            }
            else answer(windows.message);
            return 0;
        }
        if (!windows.wizard) continue;
        if (strcmp(command, "welcome") == 0) return 0;
        if (strcmp(command, "cancel") == 0) {
            PostMessageA(windows.wizard, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(windows.wizard, IDCANCEL)));
            for (int k = 0; k < 80; ++k, Sleep(250)) {
                const SetupWindows now = find_setup_windows(0);
                if (now.message) {
                    PostMessageA(now.message, WM_COMMAND, IDYES, 0);
                    return 0;
                }
            }
            return 1;
        }
        if (strcmp(command, "thispc") == 0) {
            // Its words come once the client has looked at the PC: the PATH box is made after.
            if (shows_text(windows.wizard, "Put tickmend-ctl on my PATH")) return 0;
            if (shows_text(windows.wizard, "Welcome")) press_default(windows.wizard);
            continue;
        }
        bool finish_page = window_text(windows.wizard, IDOK) == "&Finish";
        if (strcmp(command, "finish") == 0) {
            if (finish_page) return 0;
            press_default(windows.wizard);
        } else if (strcmp(command, "done") == 0) {
            EnumChildWindows(windows.wizard, clear_check_box, 0);
            return press_default(windows.wizard) ? 0 : 1;
        } else {
            fprintf(stderr, "setup_helper: unknown command %s\n", command);
            return 64;
        }
    }
    fprintf(stderr, "setup_helper: %s: the setup did not get there within 60 s\n", command);
    return 1;
}
