// Where the program keeps its settings in the registry.
#pragma once

// The user's settings (HKEY_CURRENT_USER): start_mode, window_handle, the restore record.
constexpr char settings_key[] = "Software\\QEL\\qel_pacemill";
// The machine's settings (HKEY_LOCAL_MACHINE): sync_interval, which nothing here writes.
constexpr char machine_settings_key[] = "SOFTWARE\\QEL\\qel_pacemill\\";
