// This user's "Start at logon" choice: read and kept as a DWORD under the settings key.
#include "app/start_at_logon.h"
#include "common/settings.h"
#include "registry/registry.h"
#include "common/handle.h"

namespace {

const char start_at_logon_value[] = "start_at_logon";

} // namespace

bool start_at_logon_chosen()
{
    DWORD chosen = 1;
    if (!get_registry_typed(HKEY_CURRENT_USER, settings_key, start_at_logon_value, REG_DWORD, &chosen, sizeof chosen))
        return true; // never chosen: the autostart entry starts it for every user
    return chosen != 0;
}

bool choose_start_at_logon(bool on)
{
    DWORD chosen = on ? 1 : 0;
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, start_at_logon_value, chosen) != 0;
}

const char logon_entry_name[] = "QEL Pacemill";

namespace {

const wchar_t entry_name[] = L"QEL Pacemill";
const wchar_t run_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t approved_run_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
// Where Windows keeps the state of the machine's Run values of 32-bit programs (under
// WOW6432Node) on 64-bit Windows.
const wchar_t approved_run32_key[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run32";
constexpr DWORD approved_size = 12;

// True in a 32-bit process on 64-bit Windows. Looked up: early XP lacks IsWow64Process.
bool on_64_bit_windows()
{
    typedef BOOL(WINAPI * is_wow64_fn)(HANDLE, PBOOL);
    is_wow64_fn is_wow64 = reinterpret_cast<is_wow64_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return is_wow64 && is_wow64(GetCurrentProcess(), &wow64) && wow64;
}

// A value's bytes; false when it is not there. size: the buffer's, then the value's.
bool read_value(HKEY root, const wchar_t* key, REGSAM view, BYTE* data, DWORD* size, DWORD* type)
{
    tk::unique_hkey opened;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | view, opened.put()) != ERROR_SUCCESS) return false;
    return RegQueryValueExW(opened.get(), entry_name, nullptr, type, data, size) == ERROR_SUCCESS;
}

// A path made comparable: the long form where the file exists.
void long_path(wchar_t* path)
{
    wchar_t longer[MAX_PATH];
    const DWORD n = GetLongPathNameW(path, longer, MAX_PATH);
    if (n && n < MAX_PATH) lstrcpynW(path, longer, MAX_PATH);
}

// Whether a Run value's command line starts this executable: its first word, quoted or not.
bool starts_this(const wchar_t* command)
{
    wchar_t self[MAX_PATH], program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (!length || length >= MAX_PATH) return false;
    while (*command == L' ') ++command;
    const wchar_t end = *command == L'"' ? L'"' : L' ';
    if (*command == L'"') ++command;
    int n = 0;
    while (command[n] && command[n] != end && n < MAX_PATH - 1) ++n;
    lstrcpynW(program, command, n + 1);
    long_path(self);
    long_path(program);
    return lstrcmpiW(self, program) == 0;
}

// The Run value under root (in view) starts this executable.
bool run_value_starts_this(HKEY root, REGSAM view)
{
    wchar_t command[MAX_PATH + 32], expanded[MAX_PATH + 32];
    DWORD size = sizeof command - sizeof(wchar_t), type = 0;
    if (!read_value(root, run_key, view, reinterpret_cast<BYTE*>(command), &size, &type)) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    command[size / sizeof(wchar_t)] = L'\0';
    if (type == REG_EXPAND_SZ) {
        const DWORD n = ExpandEnvironmentStringsW(command, expanded, MAX_PATH + 32);
        if (!n || n > MAX_PATH + 32) return false;
        return starts_this(expanded);
    }
    return starts_this(command);
}

// A StartupApproved key says the entry is turned off.
bool turned_off(HKEY root, const wchar_t* key, REGSAM view)
{
    BYTE data[64];
    DWORD size = sizeof data, type = 0;
    if (!read_value(root, key, view, data, &size, &type)) return false;
    return startup_approved_off(data, size);
}

} // namespace

bool startup_approved_off(const BYTE* data, DWORD size) { return data && size > 0 && (data[0] & 1) != 0; }

bool logon_entry_starts_this()
{
    // This user's entry: its state is in this user's StartupApproved\Run.
    if (run_value_starts_this(HKEY_CURRENT_USER, 0) && !turned_off(HKEY_CURRENT_USER, approved_run_key, 0))
        return true;
    // The machine's entry, which the installer writes: its state is kept for the machine (Run32
    // for a 32-bit program's on 64-bit Windows); a user's own StartupApproved\Run is heeded too.
    if (!run_value_starts_this(HKEY_LOCAL_MACHINE, 0)) return false;
    const bool wow64 = on_64_bit_windows();
    const REGSAM view = wow64 ? KEY_WOW64_64KEY : 0;
    return !turned_off(HKEY_LOCAL_MACHINE, wow64 ? approved_run32_key : approved_run_key, view) &&
           !turned_off(HKEY_LOCAL_MACHINE, approved_run_key, view) &&
           !turned_off(HKEY_CURRENT_USER, approved_run_key, 0);
}

bool logon_entry_add_for_this_user()
{
    wchar_t self[MAX_PATH], command[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (!length || length >= MAX_PATH) return false;
    lstrcpyW(command, L"\"");
    lstrcatW(command, self);
    lstrcatW(command, L"\" /logon");
    tk::unique_hkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, run_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS ||
        RegSetValueExW(key.get(), entry_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                       static_cast<DWORD>((lstrlenW(command) + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
        return false;
    if (!turned_off(HKEY_CURRENT_USER, approved_run_key, 0)) return true;
    // Turned off in Task Manager before: on again, as Task Manager writes it.
    const BYTE on[approved_size] = {2};
    return RegOpenKeyExW(HKEY_CURRENT_USER, approved_run_key, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS &&
           RegSetValueExW(key.get(), entry_name, 0, REG_BINARY, on, approved_size) == ERROR_SUCCESS;
}

bool start_at_logon_ticked() { return start_at_logon_chosen() && logon_entry_starts_this(); }

bool switch_start_at_logon()
{
    if (start_at_logon_ticked()) return choose_start_at_logon(false);
    const bool chosen = choose_start_at_logon(true);
    if (!logon_entry_starts_this() && !logon_entry_add_for_this_user()) return false;
    return chosen;
}
