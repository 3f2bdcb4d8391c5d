// The tray menu and its commands, and the Gaming Mode switch the tray asks of the owner.
#pragma once
#include <windows.h>

namespace app {

// Asks for the switch the user saw: on when the tray showed off, off when it showed on.
void switch_gaming_mode(HWND window, int showed_on);
// A switch the tray asked for has not run yet.
bool switch_is_pending();
// The switch the tray asked for has run.
void on_switch_done();
// Runs a menu or accelerator command; false for a command that is not ours.
bool on_command(HWND window, WORD id);
// The WM_NULL posted after the tray menu: a choice of the menu has arrived by now, or none will.
void on_menu_closed();

} // namespace app

// A new tray popup menu: "&Gaming Mode" (checked when on, the bold default item), "&Status…",
// "Gaming Mode for &Programs…", separator,
// "Start at &logon" (checked when on), separator, "&About…", "E&xit"; null on failure.
HMENU build_tray_menu(int game_mode_on, bool start_at_logon);
// Shows the tray popup menu at the point; the chosen item arrives later as WM_COMMAND.
void show_tray_menu(HWND window, POINT at);
