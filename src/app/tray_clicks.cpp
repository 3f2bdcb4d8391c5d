// The tray icon's clicks and keys: a click opens the menu once no second click can follow,
// a double click or Enter switches Gaming Mode, a click on the balloon explains it.
#include "app/tray_clicks.h"
#include "app/tray.h"
#include "app/tray_menu.h"
#include "daemon/daemon.h"

#include <shellapi.h>

namespace {

DWORD last_double_click;                  // when the last double click on the icon came (tick count)
const UINT_PTR single_click_timer = 1;    // a left click that no second click followed opens the menu

} // namespace

namespace app {

// The icon's callback: version 4 puts the event in the low word and the anchor in wparam,
// version 3 and older shells send the mouse message itself.
void on_tray_callback(HWND window, WPARAM wparam, LPARAM lparam)
{
    POINT anchor = {};
    if (tray_icon_version() >= NOTIFYICON_VERSION_4) {
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
        if (tray_icon_version() == 0) show_tray_menu(window, anchor);
        break;
    case NIN_SELECT:
    case WM_LBUTTONUP:
        // A click is NIN_SELECT from version 3 on, the button's release before it.
        if (LOWORD(lparam) != (tray_icon_version() ? NIN_SELECT : WM_LBUTTONUP)) break;
        // A click that ends a double click opens nothing; a single one opens the menu once
        // no second click can follow.
        if (GetTickCount() - last_double_click < GetDoubleClickTime()) break;
        SetTimer(window, single_click_timer, GetDoubleClickTime(), nullptr);
        break;
    case NIN_BALLOONUSERCLICK:
        on_balloon_click(window);
        break;
    case NIN_BALLOONTIMEOUT:
    case NIN_BALLOONHIDE:
        on_balloon_gone();
        break;
    case NIN_KEYSELECT:
        // Some shells send Enter's NIN_KEYSELECT twice: the second is no new switch while the
        // one the first asked for runs, nor within a double click's time of its end.
        if (GetTickCount() - last_double_click < GetDoubleClickTime()) break;
        // fall through
    case WM_LBUTTONDBLCLK:
        KillTimer(window, single_click_timer);
        last_double_click = GetTickCount();
        if (switch_is_pending()) break;
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

void on_tray_switched(HWND)
{
    on_switch_done();
    last_double_click = GetTickCount();
}

} // namespace app
