// The tray: the icon with its tooltip and balloons, its popup menu and the commands it sends.
// The About box is in about.cpp, the dialog of the followed programs in follow_dialog.cpp.
#include "app/app.h"
#include "app/app_internal.h"
#include "app/resource.h"
#include "common/handle.h"
#include "common/settings.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "notice/notice.h"
#include "registry/registry.h"

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
DWORD last_double_click;                  // when the last double click on the icon came (tick count)
// A switch the icon or the menu asked for has not run yet: the shell's second Enter (or a
// double click) meanwhile does not switch again. Its end counts as a double click's time.
bool switch_pending;
// A choice of the tray menu may still be on its way (until the WM_NULL posted after it):
// "Gaming Mode" then switches what the menu showed, so that a switch that ended while it
// was open (a pipe client's) does not turn the user's pick around.
bool menu_choice_pending;
int menu_showed_on;
const UINT_PTR single_click_timer = 1;    // a left click that no second click followed opens the menu

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

// Asks for the switch the user saw: on when the tray showed off, off when it showed on. The
// owner runs it in its turn and tells the window (WM_TRAY_SWITCHED); the window never waits.
void switch_gaming_mode(HWND window, int showed_on)
{
    daemon_wish wish = showed_on ? daemon_wish::off : daemon_wish::on;
    if (Qel_DaemonPostWish(wish, window, WM_TRAY_SWITCHED) == 1) switch_pending = true;
}

// After a modal loop: an end that came while it ran was only noted there.
void end_if_ending()
{
    if (ending) PostQuitMessage(0);
}

} // namespace

namespace app {

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
    EndMenu();
}

// The icon's callback: version 4 puts the event in the low word and the anchor in wparam,
// version 3 and older shells send the mouse message itself.
void on_tray_callback(HWND window, WPARAM wparam, LPARAM lparam)
{
    POINT anchor = {};
    if (tray_version >= NOTIFYICON_VERSION_4) {
        anchor.x = static_cast<short>(LOWORD(wparam));
        anchor.y = static_cast<short>(HIWORD(wparam));
    } else {
        GetCursorPos(&anchor);
    }
    switch (LOWORD(lparam)) {
    case WM_CONTEXTMENU:
        show_tray_menu(window, anchor);
        break;
    case WM_RBUTTONUP:
        // Shells that send no WM_CONTEXTMENU: the menu opens on the button's release.
        if (tray_version == 0) show_tray_menu(window, anchor);
        break;
    case NIN_SELECT:
    case WM_LBUTTONUP:
        // A click is NIN_SELECT from version 3 on, the button's release before it.
        if (LOWORD(lparam) != (tray_version ? NIN_SELECT : WM_LBUTTONUP)) break;
        // A click that ends a double click opens nothing; a single one opens the menu once
        // no second click can follow.
        if (GetTickCount() - last_double_click < GetDoubleClickTime()) break;
        SetTimer(window, single_click_timer, GetDoubleClickTime(), nullptr);
        break;
    case NIN_BALLOONUSERCLICK:
        // The shell took the balloon away; what it told is explained while it still holds.
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
        break;
    }
    case NIN_BALLOONTIMEOUT:
    case NIN_BALLOONHIDE:
        balloon_text[0] = '\0';
        balloon_notices = 0;
        break;
    case NIN_KEYSELECT:
        // Some shells send Enter's NIN_KEYSELECT twice: the second is no new switch while the
        // one the first asked for runs, nor within a double click's time of its end.
        if (GetTickCount() - last_double_click < GetDoubleClickTime()) break;
        // fall through
    case WM_LBUTTONDBLCLK:
        KillTimer(window, single_click_timer);
        last_double_click = GetTickCount();
        if (switch_pending) break;
        switch_gaming_mode(window, Qel_DaemonGameModeShown());
        break;
    default:
        break;
    }
}

// The single click's wait is over without a second click.
bool on_tray_timer(HWND window, UINT_PTR id)
{
    if (id != single_click_timer) return false;
    KillTimer(window, single_click_timer);
    POINT cursor = {};
    GetCursorPos(&cursor);
    show_tray_menu(window, cursor);
    return true;
}

void on_menu_closed()
{
    menu_choice_pending = false;
}

void on_tray_switched(HWND)
{
    switch_pending = false;
    last_double_click = GetTickCount();
}

// Explorer restarted (or the taskbar was re-created): our icon is gone with it.
bool is_taskbar_created(UINT message)
{
    return message == taskbar_created_message && message != 0;
}

// Returns false for a command that is not ours.
bool on_command(HWND window, WORD id)
{
    switch (id) {
    case IDM_TRAY_GAMING_MODE:
        switch_gaming_mode(window, menu_choice_pending ? menu_showed_on : Qel_DaemonGameModeShown());
        menu_choice_pending = false;
        return true;
    case IDM_TRAY_FOLLOW:
        show_follow_dialog(window);
        end_if_ending();
        return true;
    case IDM_TRAY_ABOUT:
    case IDM_ABOUT:
        // An end that came while the box's modal loop ran is acted on now; a request that only
        // brought the open box to the front ran no loop of its own.
        if (show_about_box(window)) end_if_ending();
        return true;
    case IDM_TRAY_START_AT_LOGON:
        choose_start_at_logon(!start_at_logon_chosen());
        return true;
    case IDM_TRAY_EXIT:
    case IDM_EXIT:
        DestroyWindow(window);
        return true;
    default:
        return false;
    }
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

HMENU build_tray_menu(int game_mode_on, bool start_at_logon)
{
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    const UINT_PTR at_end = 0xFFFFFFFF;
    // Each item with its access key, as Windows' own menus; "…" where a box opens.
    InsertMenuW(menu, at_end, MF_BYPOSITION | (game_mode_on ? MF_CHECKED : MF_UNCHECKED), IDM_TRAY_GAMING_MODE,
                L"&Gaming Mode");
    InsertMenuW(menu, at_end, MF_BYPOSITION, IDM_TRAY_FOLLOW, L"Gaming Mode for &Programs\u2026");
    InsertMenuW(menu, at_end, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu, at_end, MF_BYPOSITION | (start_at_logon ? MF_CHECKED : MF_UNCHECKED), IDM_TRAY_START_AT_LOGON,
                L"Start at &logon");
    InsertMenuW(menu, at_end, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu, at_end, MF_BYPOSITION, IDM_TRAY_ABOUT, L"&About\u2026");
    InsertMenuW(menu, at_end, MF_BYPOSITION, IDM_TRAY_EXIT, L"E&xit");
    // Gaming Mode is what a double click does: the bold default item.
    SetMenuDefaultItem(menu, 0, TRUE);
    return menu;
}


void show_tray_menu(HWND window, POINT at)
{
    menu_showed_on = Qel_DaemonGameModeShown();
    HMENU menu = build_tray_menu(menu_showed_on, start_at_logon_chosen());
    if (!menu) return;
    // Without the foreground the menu would not close when the user clicks elsewhere, and
    // without the WM_NULL it would not close at once after a choice. The choice is posted
    // before that WM_NULL, which ends the menu's say.
    SetForegroundWindow(window);
    menu_choice_pending = true;
    TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
    end_if_ending();
}
