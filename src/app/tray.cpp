// The tray icon: the record the shell is given, its tooltip, icon and balloons, added again
// when the taskbar comes back. The clicks are in tray_clicks.cpp, the menu in tray_menu.cpp.
#include "app/tray.h"
#include "answer/answer.h"
#include "app/about.h"
#include "app/follow_dialog.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "app/status_window.h"
#include "app/tray_words.h"
#include "common/handle.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "notice/notice.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <stdio.h>
#include <string.h>

namespace {

using namespace app;

// NOTIFYICONDATAW up to and including its item GUID (shell 5.0 and later), and the older
// record that ends with the balloon's flags (936 bytes in a 32-bit process). The Unicode
// record, so that the tooltip and the balloons show "±" and "µs" on every code page.
constexpr DWORD tray_record_size = 952;
constexpr DWORD tray_record_size_old = 936;

// The tray icon record: the shell reads only cbSize bytes, the storage has room for the
// largest size we hand it.
union tray_record {
    NOTIFYICONDATAW data;
    BYTE storage[tray_record_size > sizeof(NOTIFYICONDATAW) ? tray_record_size : sizeof(NOTIFYICONDATAW)];
};

tray_record tray_icon_data;
UINT taskbar_created_message;             // sent by the shell when the taskbar is (re)created
unsigned balloons_shown;                  // notices told in a balloon since they last came to hold
unsigned balloon_notices;                 // the notices of the balloon standing now
char balloon_text[512];                   // the balloon standing now (UTF-8), "" when none is
char tip_text[128];                       // the tooltip as the shell was given it (UTF-8)
int icon_shown;                           // the icon resource the shell was last given, 0 before any
UINT tray_version;                        // the callback version the shell took: 4, 3 or 0 (none)
int ending;                               // the instance is ending: menu and About box close at once

// Takes the balloon standing away with the record's next modification: an empty text.
void withdraw_balloon(NOTIFYICONDATAW* data)
{
    data->uFlags |= NIF_INFO;
    data->szInfo[0] = L'\0';
    balloon_text[0] = '\0';
    balloon_notices = 0;
}

// The tooltip is shown by the shell only on request once the icon speaks version 4.
UINT tip_flags()
{
    return tray_version >= NOTIFYICON_VERSION_4 ? NIF_TIP | NIF_SHOWTIP : NIF_TIP;
}

// The icon for the state, at the size the tray shows; null when it cannot be loaded.
HICON load_tray_icon(int game_mode_on, unsigned raised)
{
    return static_cast<HICON>(LoadImageA(app::app_instance, MAKEINTRESOURCEA(tray_icon_id(game_mode_on, raised)),
                                         IMAGE_ICON, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                         LR_DEFAULTCOLOR));
}

// A box of ours still open when the instance ends (the About box, a balloon's explanation).
BOOL CALLBACK end_open_box(HWND box, LPARAM owner)
{
    char name[16] = "";
    GetClassNameA(box, name, sizeof name);
    if (strcmp(name, "#32770") == 0 && GetWindow(box, GW_OWNER) == reinterpret_cast<HWND>(owner))
        EndDialog(box, IDCANCEL);
    return TRUE;
}
} // namespace

namespace app {

// After a modal loop: an end that came while it ran was only noted there.
void end_if_ending()
{
    if (ending) PostQuitMessage(0);
}

void start_tray_icon(HWND window)
{
    taskbar_created_message = RegisterWindowMessageA("TaskbarCreated");
    add_tray_icon(window);
    // Warnings raised before the window existed (at the restore of start_mode) show now.
    balloons_shown = 0;
    notice_set_window(window, WM_TRAY_NOTICE);
    PostMessageA(window, WM_TRAY_NOTICE, 0, 0);
}

// Fills the tray icon record and adds the icon; the shell keeps its own copy of the image.
void add_tray_icon(HWND window)
{
    memset(&tray_icon_data, 0, sizeof tray_icon_data);
    NOTIFYICONDATAW& data = tray_icon_data.data;
    data.cbSize = tray_icon_data_size(get_shell_version("Shell32.dll"));
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    int on = Qel_DaemonGameModeShown();
    unsigned raised = notice_raised();
    data.hIcon = load_tray_icon(on, raised);
    data.hWnd = window;
    data.uCallbackMessage = WM_TRAY_ICON;
    // The PC's answer, asked when the icon is added (the setup that adds the driver starts
    // tickmend again) and again by the status window, whose answer the tooltip then says.
    set_tray_answer_brief(pc_answer_brief(pc_answer_of(pc_facts_now())));
    format_tray_tip(tip_text, sizeof tip_text, on, raised);
    put_wide(tip_text, data.szTip, ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_ADD, &data)) TRACE("app add_tray_icon : Shell_NotifyIcon failed\n");
    else if (data.hIcon) icon_shown = tray_icon_id(on, raised);
    // A balloon of the icon that was there went with it.
    balloon_text[0] = '\0';
    balloon_notices = 0;
    if (data.hIcon && DestroyIcon(data.hIcon)) data.hIcon = nullptr;
    // The newest behaviour the shell takes: version 4 (Vista) anchors the menu at the icon
    // for the keyboard too; version 3 (2000, XP) sends NIN_SELECT and WM_CONTEXTMENU.
    tray_version = 0;
    for (UINT version : {static_cast<UINT>(NOTIFYICON_VERSION_4), static_cast<UINT>(NOTIFYICON_VERSION)}) {
        data.uVersion = version;
        if (Shell_NotifyIconW(NIM_SETVERSION, &data)) {
            tray_version = version;
            break;
        }
    }
    data.uVersion = 0;
    if (tray_version >= NOTIFYICON_VERSION_4) {
        data.uFlags = tip_flags();
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }
}

// A warning or the Gaming Mode state changed: the tooltip follows, every notice that has come
// to hold since it was last told gets its balloon (one balloon, one paragraph each), and a
// balloon that told a notice that no longer holds (gone, or about Gaming Mode now off) is
// withdrawn: it would stand, and on Windows 10 stay in the Action Centre, saying what is no
// longer true.
void on_notice(HWND window)
{
    NOTIFYICONDATAW& data = tray_icon_data.data;
    if (data.hWnd != window) return; // no icon of ours (yet)
    unsigned raised = notice_raised();
    int on = Qel_DaemonGameModeShown();
    const unsigned holding = notices_holding(on, raised);
    balloons_shown &= holding; // a notice that went away is told again when it comes back
    const unsigned fresh = holding & ~balloons_shown;
    data.hIcon = load_tray_icon(on, raised);
    data.uFlags = tip_flags() | (data.hIcon ? NIF_ICON : 0); // an icon that did not load keeps the last
    format_tray_tip(tip_text, sizeof tip_text, on, raised);
    refresh_status_window();
    put_wide(tip_text, data.szTip, ARRAYSIZE(data.szTip));
    // The first on-period a listed program started is told once, with the warnings of now.
    char followed[MAX_PATH];
    const bool tell_follow =
        on && Qel_DaemonFollowedProgram(followed, sizeof followed) && first_follow_balloon(followed);
    if (fresh || tell_follow) {
        char warnings[sizeof balloon_text];
        compose_balloon(fresh, warnings, sizeof warnings);
        if (tell_follow)
            _snprintf(balloon_text, sizeof balloon_text - 1, "Gaming Mode on for %s%s%s", followed,
                      warnings[0] ? "\n" : "", warnings);
        else
            lstrcpynA(balloon_text, warnings, sizeof balloon_text);
        balloon_text[sizeof balloon_text - 1] = '\0';
        data.uFlags |= NIF_INFO;
        put_wide(balloon_text, data.szInfo, ARRAYSIZE(data.szInfo));
        put_wide(tray_title, data.szInfoTitle, ARRAYSIZE(data.szInfoTitle));
        data.dwInfoFlags = fresh ? NIIF_WARNING : NIIF_INFO;
        data.uTimeout = 10000;
        balloons_shown |= fresh;
        balloon_notices = fresh;
    } else if (balloon_notices & ~holding) {
        withdraw_balloon(&data);
    }
    if (!Shell_NotifyIconW(NIM_MODIFY, &data)) TRACE("app on_notice : Shell_NotifyIcon failed\n");
    else if (data.uFlags & NIF_ICON) icon_shown = tray_icon_id(on, raised);
    if (data.hIcon && DestroyIcon(data.hIcon)) data.hIcon = nullptr;
    data.uFlags = 0;
    data.szInfo[0] = L'\0';
}

// Removes the tray icon (named by its window and id 0); harmless when it is gone already.
void remove_tray_icon()
{
    tray_icon_data.data.uFlags = 0;
    Shell_NotifyIconW(NIM_DELETE, &tray_icon_data.data);
    balloon_text[0] = '\0';
    balloon_notices = 0;
}

// The instance ends: an open menu or About box would keep its modal loop running past the
// end of the message loop, so both are closed first.
void end_tray_ui()
{
    ending = 1;
    end_about_box();
    // A balloon's explanation too: every box of ours is owned by the main window.
    EnumThreadWindows(GetCurrentThreadId(), end_open_box,
                      reinterpret_cast<LPARAM>(tray_icon_data.data.hWnd));
    end_follow_dialog();
    end_status_window();
    EndMenu();
}

// Explorer restarted (or the taskbar was re-created): our icon is gone with it.
bool is_taskbar_created(UINT message)
{
    return message == taskbar_created_message && message != 0;
}

UINT tray_icon_version()
{
    return tray_version;
}

// The shell took the balloon away; what it told is explained while it still holds.
void on_balloon_click(HWND window)
{
    const unsigned told = balloon_notices & notices_holding(Qel_DaemonGameModeShown(), notice_raised());
    // Gone from the screen: the shell is told so too, for a shell that keeps it there.
    NOTIFYICONDATAW& data = tray_icon_data.data;
    data.uFlags = 0;
    withdraw_balloon(&data);
    Shell_NotifyIconW(NIM_MODIFY, &data);
    data.uFlags = 0;
    if (told) explain_balloon(window, told);
    end_if_ending();
}

void on_balloon_gone()
{
    balloon_text[0] = '\0';
    balloon_notices = 0;
}

} // namespace app

ULONGLONG get_shell_version(const char* dll_name)
{
    tk::unique_hmodule module(LoadLibraryA(dll_name));
    if (!module) return 0;
    ULONGLONG version = 0;
    auto dll_get_version = app::proc_address<DLLGETVERSIONPROC>(module.get(), "DllGetVersion");
    if (dll_get_version) {
        DLLVERSIONINFO info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (SUCCEEDED(dll_get_version(&info)))
            version = (static_cast<ULONGLONG>(info.dwMajorVersion) << 48) |
                      (static_cast<ULONGLONG>(info.dwMinorVersion & 0xFFFF) << 32);
    }
    return version;
}

DWORD tray_icon_data_size(ULONGLONG shell_version)
{
    return (shell_version >> 32) >= 0x50000 ? tray_record_size : tray_record_size_old;
}


const char* tray_balloon_text()
{
    return balloon_text;
}

const char* tray_tip_text()
{
    return tip_text;
}

int tray_icon_shown()
{
    return icon_shown;
}
