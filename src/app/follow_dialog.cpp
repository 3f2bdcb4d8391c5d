// The dialog of the programs Gaming Mode follows: the list as it stands in the registry, a
// running program (one with a window) or an .exe found by browsing added, one removed. The
// resident follower takes every change from the registry at once.
#include "app/follow_dialog.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "follow/follow_list.h"

#include <commdlg.h>
#include <string.h>

namespace {

HWND follow_box; // while it is open

void add_to_list(const char* entry, void* list)
{
    SendMessageA(static_cast<HWND>(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
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
    HANDLE process = follow_open_process(id);
    if (!process) return TRUE;
    char path[MAX_PATH];
    bool read = follow_image_path(process, path, sizeof path);
    CloseHandle(process);
    if (!read) return TRUE;
    const char* name = follow_file_part(path);
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

// What a change that failed tells the user; nothing for one that went through.
void change(HWND dialog, follow_change result)
{
    if (result == follow_change::failed)
        MessageBoxA(dialog, "The list of programs could not be changed in the registry.", "QEL Pacemill",
                    MB_OK | MB_ICONWARNING);
    fill_list(dialog);
}

void browse(HWND dialog)
{
    char path[MAX_PATH] = "";
    OPENFILENAMEA open = {};
    open.lStructSize = OPENFILENAME_SIZE_VERSION_400A; // the size every Windows takes
    open.hwndOwner = dialog;
    open.lpstrFilter = "Programs (*.exe)\0*.exe\0";
    open.lpstrFile = path;
    open.nMaxFile = sizeof path;
    open.lpstrTitle = "Gaming Mode for this program";
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    // Looked up when the user browses: comdlg32.dll is not loaded at every start for it.
    using open_fn = BOOL(WINAPI*)(OPENFILENAMEA*);
    HMODULE comdlg = LoadLibraryA("comdlg32.dll");
    auto get_open = comdlg ? app::proc_address<open_fn>(comdlg, "GetOpenFileNameA") : nullptr;
    if (get_open && get_open(&open)) change(dialog, follow_list_add(path));
    if (comdlg) FreeLibrary(comdlg);
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
        char text[follow_entry_size] = "";
        switch (LOWORD(wparam)) {
        case IDC_FOLLOW_LIST:
            if (HIWORD(wparam) == LBN_SELCHANGE) EnableWindow(GetDlgItem(dialog, IDC_FOLLOW_REMOVE), TRUE);
            return TRUE;
        case IDC_FOLLOW_ADD:
            if (GetDlgItemTextA(dialog, IDC_FOLLOW_RUNNING, text, sizeof text)) change(dialog, follow_list_add(text));
            return TRUE;
        case IDC_FOLLOW_REMOVE: {
            HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
            LRESULT at = SendMessageA(list, LB_GETCURSEL, 0, 0);
            if (at != LB_ERR && SendMessageA(list, LB_GETTEXTLEN, at, 0) < static_cast<LRESULT>(sizeof text)) {
                SendMessageA(list, LB_GETTEXT, at, reinterpret_cast<LPARAM>(text));
                change(dialog, follow_list_remove(text));
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
