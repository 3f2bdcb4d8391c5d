// The tray menu: built with the state it shows, its commands run, and the Gaming Mode switch
// the tray asks of the owner.
#include "app/tray_menu.h"
#include "app/resource.h"
#include "app/start_at_logon.h"
#include "app/about.h"
#include "app/follow_dialog.h"
#include "app/status_window.h"
#include "app/tray.h"
#include "daemon/daemon.h"

namespace {

using namespace app;

// A switch the icon or the menu asked for has not run yet: the shell's second Enter (or a
// double click) meanwhile does not switch again. Its end counts as a double click's time.
bool switch_pending;
// A choice of the tray menu may still be on its way (until the WM_NULL posted after it):
// "Gaming Mode" then switches what the menu showed, so that a switch that ended while it
// was open (a pipe client's) does not turn the user's pick around.
bool menu_choice_pending;
int menu_showed_on;

} // namespace

namespace app {

// Asks for the switch the user saw: on when the tray showed off, off when it showed on. The
// owner runs it in its turn and tells the window (WM_TRAY_SWITCHED); the window never waits.
void switch_gaming_mode(HWND window, int showed_on)
{
    daemon_wish wish = showed_on ? daemon_wish::off : daemon_wish::on;
    if (Qel_DaemonPostWish(wish, window, WM_TRAY_SWITCHED) == 1) switch_pending = true;
}

bool switch_is_pending()
{
    return switch_pending;
}

void on_switch_done()
{
    switch_pending = false;
}

void on_menu_closed()
{
    menu_choice_pending = false;
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
    case IDM_TRAY_STATUS:
        show_status_window(window);
        end_if_ending();
        return true;
    case IDM_TRAY_ABOUT:
    case IDM_ABOUT:
        // An end that came while the box's modal loop ran is acted on now; a request that only
        // brought the open box to the front ran no loop of its own.
        if (show_about_box(window)) end_if_ending();
        return true;
    case IDM_TRAY_START_AT_LOGON:
        switch_start_at_logon();
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

HMENU build_tray_menu(int game_mode_on, bool start_at_logon)
{
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    const UINT_PTR at_end = 0xFFFFFFFF;
    // Each item with its access key, as Windows' own menus; "…" where a box opens.
    InsertMenuW(menu, at_end, MF_BYPOSITION | (game_mode_on ? MF_CHECKED : MF_UNCHECKED), IDM_TRAY_GAMING_MODE,
                L"&Gaming Mode");
    InsertMenuW(menu, at_end, MF_BYPOSITION, IDM_TRAY_STATUS, L"&Status\u2026");
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
    HMENU menu = build_tray_menu(menu_showed_on, start_at_logon_ticked());
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
