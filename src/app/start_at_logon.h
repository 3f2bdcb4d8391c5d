// This user's "Start at logon" choice, kept under the settings key.
#pragma once
#include <windows.h>

// This user's "Start at logon": on unless the user turned it off (start_at_logon 0 under the
// settings key); the start at logon ("/logon") goes on only while it is on.
bool start_at_logon_chosen();
// Keeps this user's choice; false when it cannot be stored.
bool choose_start_at_logon(bool on);
