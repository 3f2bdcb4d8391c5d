// The tray icon: added, re-added, removed; its tooltip, icon and balloons following the
// notices and the Gaming Mode state; the shell's version and record size.
#pragma once
#include <windows.h>

namespace app {

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
// After a modal loop: an end that came while it ran was only noted there, and is acted on now.
void end_if_ending();
// True for the shell's "TaskbarCreated" message once it is registered.
bool is_taskbar_created(UINT message);
// The callback version the shell took for the icon: 4, 3 or 0 (none).
UINT tray_icon_version();
// The balloon was clicked: taken away, and what it told explained while it still holds.
void on_balloon_click(HWND window);
// The balloon timed out or was hidden: none stands.
void on_balloon_gone();

} // namespace app

// The DLL's DllGetVersion as major << 48 | minor << 32; 0 when it cannot be loaded or asked.
ULONGLONG get_shell_version(const char* dll_name);
// The tray icon record's cbSize (NOTIFYICONDATAW: the shell takes Unicode) for a packed shell
// version: 952 from 5.0 on, else 936.
DWORD tray_icon_data_size(ULONGLONG shell_version);
// What the tray icon says now (UTF-8): its tooltip, and the balloon standing ("" when none is,
// or it was withdrawn).
const char* tray_tip_text();
const char* tray_balloon_text();
// The icon resource the shell was last given with the tray icon (tray_icon_id), 0 before any.
int tray_icon_shown();
