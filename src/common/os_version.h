// What the running Windows offers, answered from one reading of its version. Each question
// the program asks has its own name; today every one of them is "Vista or later".
#pragma once
#include <windows.h>

// The major version GetVersionEx reports (5 on XP, 6 on Vista to 8.1, 10 with a manifest
// that names Windows 10); 0 when it cannot be read.
DWORD os_major_version();

// Power plans are switched with powercfg.exe; before Vista with powrprof's XP functions.
bool os_switches_plans_with_powercfg();
// RegisterPowerSettingNotification exists (looked up by name, never imported).
bool os_has_power_setting_notifications();
// A pipe can refuse remote clients itself (PIPE_REJECT_REMOTE_CLIENTS).
bool os_pipe_rejects_remote_clients();
