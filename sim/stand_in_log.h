// The call log that the power stand-ins keep for tests: a REG_MULTI_SZ value "Log" of a key
// under HKEY_CURRENT_USER, holding the last lines written.
#pragma once
#include <windows.h>

// Appends line (cut to 120 characters), keeping at most keep lines in all.
void append_stand_in_log(const wchar_t* key, const wchar_t* line, int keep);
