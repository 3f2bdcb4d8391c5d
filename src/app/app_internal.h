// Inside the tray application: the state its parts share and what each part offers the
// others. The program (app.cpp) starts and ends everything, the tray (tray.cpp) owns the
// icon, its menu and the About box, the events (events.cpp) own the window procedure with
// the power, session and end-of-session handling. Not for use outside src/app.
#pragma once
#include <windows.h>

namespace app {

// Shared state, one set per process.
extern HINSTANCE app_instance; // set when the main window is created
extern int start_mode;         // Gaming Mode to be on: read at start, kept at stops
// The worker was stopped by a console disconnect or a real end of the session: the Gaming Mode
// state then reads off, and start_mode keeps what it was before.
extern int worker_stopped;

template <class F>
F proc_address(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// ---- The tray (tray.cpp) ----
// Registers for "TaskbarCreated", adds the icon and lets the notices that came up before the
// window existed show their balloons.
void start_tray_icon(HWND window);
// Fills the tray icon record and adds the icon.
void add_tray_icon(HWND window);
// The tooltip follows the warnings and the Gaming Mode state; fresh notices get a balloon.
void on_notice(HWND window);
// Removes the tray icon; harmless when it is gone already.
void remove_tray_icon();
// The instance ends: closes an open tray menu or About box so that no modal loop outlives it.
void end_tray_ui();
// The icon's callback message: the menu on WM_CONTEXTMENU (right button up, or the keyboard),
// a single left click opens it too, a double click or Enter switches Gaming Mode.
void on_tray_callback(HWND window, WPARAM wparam, LPARAM lparam);
// The WM_NULL posted after the tray menu: a choice of the menu has arrived by now, or none will.
void on_menu_closed();
// WM_TRAY_SWITCHED: a switch the tray asked for has run; Enter and double clicks switch again.
void on_tray_switched(HWND window);
// WM_TIMER: true when it was the single click's timer (the menu then opens).
bool on_tray_timer(HWND window, UINT_PTR id);
// True for the shell's "TaskbarCreated" message once it is registered.
bool is_taskbar_created(UINT message);
// Runs a menu or accelerator command; false for a command that is not ours.
bool on_command(HWND window, WORD id);

// ---- The tray's words (tray_words.cpp) ----
constexpr char tray_title[] = "QEL Pacemill";
// A notice that matters now: those about the on sequence only while Gaming Mode is on.
bool notice_matters(int id, int game_mode_on);
// The notices that hold now: raised, and mattering in this state.
unsigned notices_holding(int game_mode_on, unsigned raised);
// UTF-8 text into a wide field of count characters, always ended (cut where it must).
void put_wide(const char* text, wchar_t* field, int count);
// The balloon's text: the notices in order, a paragraph each, as many whole ones as the
// shell shows (255 characters); a click on the balloon tells them all.
void compose_balloon(unsigned notices, char* text, int size);
// A balloon was clicked: what it told, in full, with what to do, in a box of its own.
void explain_balloon(HWND window, unsigned notices);
// The first time ever that a listed program switches Gaming Mode on, the balloon says so
// (stored as follow_told); true when this is that time.
bool first_follow_balloon(const char* program);

// ---- The About box (about.cpp) ----
// Opens the About box owned by owner and returns when it closes (true: a modal loop ran); an
// open one is brought to the front instead (false).
bool show_about_box(HWND owner);
// Closes an open About box; harmless when none is open.
void end_about_box();

// ---- The programs Gaming Mode follows (follow_dialog.cpp) ----
// Opens the dialog (modal; a second request brings the open one to the front).
void show_follow_dialog(HWND owner);
// The instance ends: closes the dialog if it is open.
void end_follow_dialog();

// ---- The events (events.cpp) ----
// Where the power personality can be watched (exactly major version 6), looks the
// registration up in User32.dll and watches it; false when the functions are missing.
bool watch_power_personality(HWND window);

} // namespace app
