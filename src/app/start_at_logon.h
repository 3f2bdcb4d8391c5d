// This user's "Start at logon" choice, kept under the settings key, and the start at logon as
// Windows will carry it out: the autostart value "QEL Pacemill" under a Run key (the
// machine's, written by the installer, or this user's), the program it starts, and whether
// Task Manager's Startup tab turned it off (StartupApproved). What the tray's "Start at
// logon" shows is what will happen, not only what the user chose.
#pragma once
#include <windows.h>

// This user's "Start at logon": on unless the user turned it off (start_at_logon 0 under the
// settings key); the start at logon ("/logon") goes on only while it is on.
bool start_at_logon_chosen();
// Keeps this user's choice; false when it cannot be stored.
bool choose_start_at_logon(bool on);
// The value name of the autostart entry, under every Run and StartupApproved key.
extern const char logon_entry_name[];
// True when a Run value named logon_entry_name (this user's or the machine's) starts this
// very tickmend.exe and is not turned off in StartupApproved.
bool logon_entry_starts_this();
// Whether a StartupApproved value (its bytes) says its entry is turned off: Windows writes 12
// bytes, a first byte of 2 or 6 for on and 3 or 7 (its lowest bit set) for off, then the
// FILETIME when it was turned off. A missing or empty value is on.
bool startup_approved_off(const BYTE* data, DWORD size);
// This user's own autostart value, starting this tickmend.exe with "/logon", marked on in
// this user's StartupApproved where it was turned off; false when it cannot be written.
bool logon_entry_add_for_this_user();
// What the tray menu's "Start at logon" shows: the entry starts this program and the user
// has not turned it off (start_at_logon_chosen).
bool start_at_logon_ticked();
// The menu item picked: off when it was ticked; else on, with this user's own autostart value
// where none starts this program. False when the choice could not be stored.
bool switch_start_at_logon();
