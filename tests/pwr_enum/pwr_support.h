// What the power scheme tests share: the Windows version of the process, and the registry
// state of the powrprof.dll and powercfg.exe stand-ins (see sim/powrprof and sim/powercfg).
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace pwr_support {

// GetVersionExA's version of this process: dwMajorVersion and dwMinorVersion as 0xMMmm.
DWORD windows_version();
// Writes HKCU\Software\Wine\AppDefaults\<this exe>\Version; it takes effect at the next start.
bool set_own_windows_version(const char* version);

// The whole value of a registry value as bytes; empty when missing.
std::vector<unsigned char> binary_value(HKEY root, const std::string& path, const char* name);
// The lines of a REG_MULTI_SZ value as UTF-8; empty when missing.
std::vector<std::string> multi_string_value(HKEY root, const std::string& path, const char* name);

// --- powrprof.dll stand-in (the Windows XP way) ---
extern const char user_policies[];      // HKCU: one key per scheme index
extern const char machine_policies[];   // HKLM: the machine part of each scheme
extern const char processor_policies[]; // HKLM: the processor policy of each scheme

// Removes every scheme, the active index and the call log: the next call of the stand-in
// seeds the schemes Windows XP installs.
void reset_xp_store();
// Leaves an existing but empty scheme store: no scheme at all.
void make_empty_xp_store();
// Writes a scheme the way the stand-in stores it (user part in HKCU, machine part in HKLM).
void put_scheme(UINT index, const std::wstring& name, UCHAR throttle_ac, UCHAR throttle_dc);
void set_active_index(UINT index);
// The active index in HKCU\Control Panel\PowerCfg, or -1 when there is none.
int active_index();
// The indexes with a per-user key, ascending.
std::vector<UINT> scheme_indexes();
std::wstring scheme_name(UINT index);
// The stand-in's log of changing calls, e.g. "SetActivePwrScheme(3) = 1".
std::vector<std::string> powrprof_log();
// Makes WritePwrScheme and WriteProcessorPwrScheme fail.
void set_powrprof_write_fails(bool fails);

// --- powercfg.exe stand-in (the Windows Vista way) ---
extern const char balanced[];
extern const char high_performance[];
extern const char power_saver[];

void reset_powercfg();
void set_powercfg_active(const std::string& guid);
// The active GUID as the stand-in keeps it ("" when it keeps none: Balanced).
std::string powercfg_active();
// Replaces the stand-in's schemes by "guid|name" lines.
void set_powercfg_schemes(const std::vector<std::wstring>& lines);
void set_powercfg_language(const char* language);
void set_powercfg_list_fails(bool fails);
// Makes "-s" change nothing and end with exit code 1.
void set_powercfg_set_fails(bool fails);
// The arguments of each run of the stand-in, oldest first.
std::vector<std::string> powercfg_log();

} // namespace pwr_support
