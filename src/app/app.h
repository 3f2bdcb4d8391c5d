// The tray application: program entry, the hidden main window with its tray icon, the
// window procedure with the tray menu, and the About box.
#pragma once
#include <windows.h>

// The whole program after the start-up code: "/k" (also "/K", "-k"), "/?" (a message box with
// the switches and the last start), "/logon" (the start at logon: only while this user's
// "Start at logon" is on), one instance, worker, window, message loop; returns the exit code
// (1 after "/k" or without Gaming Mode, 64 after a switch it does not take, which shows the
// "/?" box and starts nothing, 0 otherwise). A start from the user's shortcut that leaves
// nothing resident, or finds an instance running, says so in a box.
int tickmend_main(HINSTANCE instance, const char* command_line);
// This user's "Start at logon": on unless the user turned it off (start_at_logon 0 under the
// settings key); the start at logon ("/logon") goes on only while it is on.
bool start_at_logon_chosen();
// Keeps this user's choice; false when it cannot be stored.
bool choose_start_at_logon(bool on);
// "/k": sends WM_DESTROY to the window named by window_handle if it is a window of our class,
// else to a window found by our class; 1 when it found one, 0 when no instance runs.
int close_running_instance(HINSTANCE instance);
// Registers the main window class named by string 109 (icon 107, menu 109, main_window_proc).
void register_main_window_class(HINSTANCE instance);
// The DLL's DllGetVersion as major << 48 | minor << 32; 0 when it cannot be loaded or asked.
ULONGLONG get_shell_version(const char* dll_name);
// The tray icon record's cbSize (NOTIFYICONDATAW: the shell takes Unicode) for a packed shell
// version: 952 from 5.0 on, else 936.
DWORD tray_icon_data_size(ULONGLONG shell_version);
// Creates the hidden main window, its power and session registrations and the tray icon; 1 or 0.
int create_tray_window(HINSTANCE instance, int show_command);
// The main window's procedure: tray callback, menu commands, power, session and shutdown events.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The tooltip (UTF-8): "QEL Pacemill: Gaming Mode on" (or off), then a line for each raised
// notice that matters now (those about the on sequence only while it is on); cut to size bytes.
void format_tray_tip(char* buffer, int size, int game_mode_on, unsigned raised_notices);
// What the tray icon says now (UTF-8): its tooltip, and the balloon standing ("" when none is,
// or it was withdrawn).
const char* tray_tip_text();
const char* tray_balloon_text();
// The icon resource the shell was last given with the tray icon (tray_icon_id), 0 before any.
int tray_icon_shown();
// A new tray popup menu: "&Gaming Mode" (checked when on, the bold default item), separator,
// "Start at &logon" (checked when on), separator, "&About…", "E&xit"; null on failure.
HMENU build_tray_menu(int game_mode_on, bool start_at_logon);
// The tray icon's resource: off, on, or one of the two with the warning mark while a notice
// that matters now is raised.
int tray_icon_id(int game_mode_on, unsigned raised_notices);
// Shows the tray popup menu at the point; the chosen item arrives later as WM_COMMAND.
void show_tray_menu(HWND window, POINT at);
// The About box's dialog procedure: OK, Enter, Esc and the close box end it.
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// 1 when the two GUIDs are equal byte for byte, else 0.
int guid_equal(const GUID* a, const GUID* b);
// 1 when the two GUIDs differ in any byte, else 0.
int guid_not_equal(const GUID* a, const GUID* b);
