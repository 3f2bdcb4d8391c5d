// The dialog of the programs Gaming Mode follows: the list as it stands in the registry, a
// running program (one with a window) or an .exe found by browsing added, one removed, each
// by the list's one rule (a refusal says what it takes, a program listed already is said to
// be). The resident follower takes every change from the registry at once. A Unicode dialog:
// names and paths show and go to the list as they are, in any language and of any length.
#include "app/follow_dialog.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"
#include "follow/follow_list.h"

#include <commdlg.h>
#include <shlobj.h>
#include <string.h>

namespace {

HWND follow_box; // while it is open
// Loaded at the first Browse and kept while the program runs: the open dialog leaves threads
// of its own behind (the shell's), which run its code after it returns.
HMODULE comdlg32;
wchar_t last_folder[long_path_size]; // where the last Browse found a program ("" before the first)
const wchar_t note[] = L"  (never followed: it ";
// An entry as the list shows it, and the text of a control: the longest entry and a note.
constexpr int shown_size = follow_entry_size + 128;
wchar_t shown[shown_size];
follow_outcome outcome; // of the last change

// An entry as the list shows it; one the rule refuses says so (after note).
void add_to_list(const wchar_t* entry, follow_verdict verdict, void* list)
{
    lstrcpynW(shown, entry, shown_size);
    if (verdict != follow_verdict::accepted) {
        wcscat(shown, note);
        size_t at = wcslen(shown);
        for (const char* words = follow_refusal_words(verdict); *words; ++words) shown[at++] = *words; // ASCII
        wcscpy(shown + at, L")");
    }
    SendMessageW(static_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown));
}

void fill_list(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    follow_list_each(add_to_list, list);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), SendMessageW(list, LB_GETCURSEL, 0, 0) != LB_ERR);
}

// A program with a window the user could see: visible, top-level, not owned, with a title,
// not ours. Its file name goes into the box once.
BOOL CALLBACK add_running(HWND window, LPARAM box_param)
{
    HWND box = reinterpret_cast<HWND>(box_param);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) || GetWindowTextLengthW(window) == 0) return TRUE;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    if (id == GetCurrentProcessId()) return TRUE;
    tk::unique_handle process(open_process_image(id, 0));
    if (!process || !process_image_path(process.get(), shown, shown_size)) return TRUE;
    const wchar_t* name = path_file_part(shown);
    if (SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(name)) == CB_ERR)
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    return TRUE;
}

void fill_running(HWND dialog)
{
    HWND box = GetDlgItem(dialog, IDC_FOLLOW_RUNNING);
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    EnumWindows(add_running, reinterpret_cast<LPARAM>(box));
    SendMessageW(box, CB_SETCURSEL, 0, 0);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_ADD), SendMessageW(box, CB_GETCOUNT, 0, 0) > 0);
}

// The list shown anew, with entry selected when it is there.
void show_list(HWND dialog, const wchar_t* entry)
{
    fill_list(dialog);
    HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
    LRESULT at = SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(entry));
    if (at == LB_ERR) return;
    SendMessageW(list, LB_SETCURSEL, at, 0);
    EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), TRUE);
}

// What a change tells the user: a program listed already, a text the rule refuses, a
// registry that refused; the list shown as it now stands.
void change(HWND dialog, const wchar_t* typed)
{
    static wchar_t text[follow_entry_size + 400];
    text[0] = L'\0';
    UINT icon = MB_ICONINFORMATION;
    if (outcome.change == follow_change::already) {
        wcscpy(text, outcome.entry);
        wcscat(text, L" is already in the list.");
    } else if (outcome.change == follow_change::refused) {
        wcscpy(text, L"This cannot be listed: ");
        const size_t at = wcslen(text);
        follow_refusal_sentence(typed, outcome.verdict, text + at, static_cast<int>(ARRAYSIZE(text) - at));
        icon = MB_ICONWARNING;
    } else if (outcome.change == follow_change::failed) {
        wcscpy(text, L"The list of programs could not be changed in the registry.");
        icon = MB_ICONWARNING;
    }
    show_list(dialog, outcome.entry);
    if (text[0]) MessageBoxW(dialog, text, L"Gaming Mode for Programs", MB_OK | icon);
}

void add(HWND dialog, const wchar_t* typed)
{
    follow_list_add(typed, &outcome);
    change(dialog, typed);
}

// The folder Browse opens in: the last one used, else Program Files.
const wchar_t* first_folder(wchar_t* folder)
{
    if (last_folder[0]) return last_folder;
    if (SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return nullptr;
    return folder;
}

void browse(HWND dialog)
{
    using open_fn = BOOL(WINAPI*)(OPENFILENAMEW*);
    if (!comdlg32) comdlg32 = LoadLibraryA("comdlg32.dll"); // never freed: see comdlg32
    auto get_open = comdlg32 ? app::proc_address<open_fn>(comdlg32, "GetOpenFileNameW") : nullptr;
    if (!get_open) return;
    // A path of any length the dialog gives.
    static wchar_t path[long_path_size];
    wchar_t folder[MAX_PATH];
    path[0] = L'\0';
    OPENFILENAMEW open = {};
    open.lStructSize = OPENFILENAME_SIZE_VERSION_400W; // the size every Windows takes
    open.hwndOwner = dialog;
    open.lpstrFilter = L"Programs (*.exe)\0*.exe\0";
    open.lpstrFile = path;
    open.nMaxFile = ARRAYSIZE(path);
    open.lpstrInitialDir = first_folder(folder);
    open.lpstrTitle = L"Browse for a Program";
    // The program's own current folder is left as it is.
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!get_open(&open)) return;
    lstrcpynW(last_folder, path, ARRAYSIZE(last_folder));
    last_folder[path_file_part(path) - path] = L'\0';
    add(dialog, path);
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
        wchar_t* text = shown;
        text[0] = L'\0';
        switch (LOWORD(wparam)) {
        case IDC_FOLLOW_LIST:
            if (HIWORD(wparam) == LBN_SELCHANGE) EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), TRUE);
            return TRUE;
        case IDC_FOLLOW_ADD:
            if (GetDlgItemTextW(dialog, IDC_FOLLOW_RUNNING, text, shown_size)) add(dialog, text);
            return TRUE;
        case IDC_FOLLOW_REMOVE: {
            HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
            LRESULT at = SendMessageW(list, LB_GETCURSEL, 0, 0);
            if (at != LB_ERR && SendMessageW(list, LB_GETTEXTLEN, at, 0) < static_cast<LRESULT>(shown_size)) {
                SendMessageW(list, LB_GETTEXT, at, reinterpret_cast<LPARAM>(text));
                if (wchar_t* noted = wcsstr(text, note)) *noted = L'\0';
                follow_list_remove(text, &outcome);
                change(dialog, text);
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
    DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_FOLLOW), owner, follow_dialog_proc, 0);
}

void end_follow_dialog()
{
    if (follow_box) EndDialog(follow_box, IDCANCEL);
}

} // namespace app
