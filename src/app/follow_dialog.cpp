// The dialog of the programs Gaming Mode follows: the list as it stands in the registry, a
// running program (one with a window) or an .exe found by browsing added, one removed, each
// by the list's one rule (a refusal says what it takes, a program listed already is said to
// be). The resident follower takes every change from the registry at once.
#include "app/follow_dialog.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "follow/follow_list.h"

#include <commdlg.h>
#include <shlobj.h>
#include <string.h>

namespace {

HWND follow_box; // while it is open
// Loaded at the first Browse and kept while the program runs: the open dialog leaves threads
// of its own behind (the shell's), which run its code after it returns.
HMODULE comdlg32;
char last_folder[MAX_PATH]; // where the last Browse found a program ("" before the first)
const char note[] = "  (never followed: it ";

// An entry as the list shows it; one the rule refuses says so (after note).
void add_to_list(const char* entry, follow_verdict verdict, void* list)
{
    char shown[follow_entry_size + 128];
    if (verdict == follow_verdict::accepted) lstrcpynA(shown, entry, sizeof shown);
    else wsprintfA(shown, "%s%s%s)", entry, note, follow_refusal_words(verdict));
    SendMessageA(static_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown));
}

void fill_list(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    follow_list_each(add_to_list, list);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), SendMessageA(list, LB_GETCURSEL, 0, 0) != LB_ERR);
}

// A program with a window the user could see: visible, top-level, not owned, with a title,
// not ours. Its file name goes into the box once.
BOOL CALLBACK add_running(HWND window, LPARAM box_param)
{
    HWND box = reinterpret_cast<HWND>(box_param);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) || GetWindowTextLengthA(window) == 0) return TRUE;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    if (id == GetCurrentProcessId()) return TRUE;
    tk::unique_handle process(open_process_image(id, 0));
    char path[MAX_PATH];
    if (!process || !process_image_path(process.get(), path, sizeof path)) return TRUE;
    const char* name = path_file_part(path);
    if (SendMessageA(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(name)) == CB_ERR)
        SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    return TRUE;
}

void fill_running(HWND dialog)
{
    HWND box = GetDlgItem(dialog, IDC_FOLLOW_RUNNING);
    SendMessageA(box, CB_RESETCONTENT, 0, 0);
    EnumWindows(add_running, reinterpret_cast<LPARAM>(box));
    SendMessageA(box, CB_SETCURSEL, 0, 0);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_ADD), SendMessageA(box, CB_GETCOUNT, 0, 0) > 0);
}

// The list shown anew, with entry selected when it is there.
void show_list(HWND dialog, const char* entry)
{
    fill_list(dialog);
    HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
    LRESULT at = SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry));
    if (at == LB_ERR) return;
    SendMessageA(list, LB_SETCURSEL, at, 0);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), TRUE);
}

// What a change tells the user: a program listed already, a text the rule refuses, a
// registry that refused; the list shown as it now stands.
void change(HWND dialog, const char* typed, const follow_outcome& outcome)
{
    char text[400];
    text[0] = '\0';
    UINT icon = MB_ICONINFORMATION;
    if (outcome.change == follow_change::already) {
        wsprintfA(text, "%s is already in the list.", outcome.entry);
    } else if (outcome.change == follow_change::refused) {
        char sentence[sizeof text - 40];
        follow_refusal_sentence(typed, outcome.verdict, sentence, sizeof sentence);
        wsprintfA(text, "This cannot be listed: %s", sentence);
        icon = MB_ICONWARNING;
    } else if (outcome.change == follow_change::failed) {
        lstrcpynA(text, "The list of programs could not be changed in the registry.", sizeof text);
        icon = MB_ICONWARNING;
    }
    show_list(dialog, outcome.entry);
    if (text[0]) MessageBoxA(dialog, text, "Gaming Mode for Programs", MB_OK | icon);
}

// The folder Browse opens in: the last one used, else Program Files.
void first_folder(char* folder)
{
    if (last_folder[0]) lstrcpynA(folder, last_folder, MAX_PATH);
    else if (SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) folder[0] = '\0';
}

void browse(HWND dialog)
{
    using open_fn = BOOL(WINAPI*)(OPENFILENAMEA*);
    if (!comdlg32) comdlg32 = LoadLibraryA("comdlg32.dll"); // never freed: see comdlg32
    auto get_open = comdlg32 ? app::proc_address<open_fn>(comdlg32, "GetOpenFileNameA") : nullptr;
    if (!get_open) return;
    char path[MAX_PATH] = "", folder[MAX_PATH];
    first_folder(folder);
    OPENFILENAMEA open = {};
    open.lStructSize = OPENFILENAME_SIZE_VERSION_400A; // the size every Windows takes
    open.hwndOwner = dialog;
    open.lpstrFilter = "Programs (*.exe)\0*.exe\0";
    open.lpstrFile = path;
    open.nMaxFile = sizeof path;
    open.lpstrInitialDir = folder[0] ? folder : nullptr;
    open.lpstrTitle = "Browse for a Program";
    // The program's own current folder is left as it is.
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!get_open(&open)) return;
    lstrcpynA(last_folder, path, sizeof last_folder);
    last_folder[path_file_part(path) - path] = '\0';
    change(dialog, path, follow_list_add(path));
}

INT_PTR CALLBACK follow_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        follow_box = dialog;
        fill_list(dialog);
        fill_running(dialog);
        return TRUE;
    case WM_DESTROY:
        if (follow_box == dialog) follow_box = nullptr;
        break;
    case WM_COMMAND: {
        char text[follow_entry_size + 128] = "";
        switch (LOWORD(wparam)) {
        case IDC_FOLLOW_LIST:
            if (HIWORD(wparam) == LBN_SELCHANGE) EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), TRUE);
            return TRUE;
        case IDC_FOLLOW_ADD:
            if (GetDlgItemTextA(dialog, IDC_FOLLOW_RUNNING, text, sizeof text))
                change(dialog, text, follow_list_add(text));
            return TRUE;
        case IDC_FOLLOW_REMOVE: {
            HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
            LRESULT at = SendMessageA(list, LB_GETCURSEL, 0, 0);
            if (at != LB_ERR && SendMessageA(list, LB_GETTEXTLEN, at, 0) < static_cast<LRESULT>(sizeof text)) {
                SendMessageA(list, LB_GETTEXT, at, reinterpret_cast<LPARAM>(text));
                if (char* noted = strstr(text, note)) *noted = '\0';
                change(dialog, text, follow_list_remove(text));
            }
            return TRUE;
        }
        case IDC_FOLLOW_BROWSE:
            browse(dialog);
            return TRUE;
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    }
    }
    return FALSE;
}

} // namespace

namespace app {

void show_follow_dialog(HWND owner)
{
    // One dialog: a second request brings the open one to the front.
    if (follow_box) {
        SetForegroundWindow(follow_box);
        return;
    }
    DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_FOLLOW), owner, follow_dialog_proc, 0);
}

void end_follow_dialog()
{
    if (follow_box) EndDialog(follow_box, IDCANCEL);
}

} // namespace app
