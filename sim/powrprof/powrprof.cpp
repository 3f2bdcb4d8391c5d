// powrprof.dll stand-in: the power scheme functions of Windows XP, for Wine, whose own are
// stubs. Schemes live in the registry where Windows XP keeps them:
//
//   HKCU\Control Panel\PowerCfg                         CurrentPowerPolicy  REG_SZ, the active index in decimal
//   HKCU\Control Panel\PowerCfg\PowerPolicies\<index>   Name, Description   REG_SZ (UTF-16)
//                                                        Policies            REG_BINARY, USER_POWER_POLICY (80 bytes)
//   HKLM\...\Controls Folder\PowerCfg\PowerPolicies\<index>      Policies   MACHINE_POWER_POLICY (64 bytes)
//   HKLM\...\Controls Folder\PowerCfg\ProcessorPolicies\<index>  Policies   MACHINE_PROCESSOR_POWER_POLICY (156 bytes)
//
// (HKLM\...\ is HKLM\Software\Microsoft\Windows\CurrentVersion\.) The per-user key is what
// makes a scheme exist: the enumeration walks it, and a scheme without its machine part reads
// as if that part were all zero. Activating a scheme writes CurrentPowerPolicy, a value of the
// key that programs watch for power configuration changes (under Wine, rewriting the same
// data does not signal a watcher, so activating the active scheme again may go unnoticed).
//
// When HKCU\Control Panel\PowerCfg\PowerPolicies does not exist, the first call seeds it with
// the schemes Windows XP installs (0 "Home/Office Desk" ... 5 "Max Battery", only "Always On"
// throttling on neither AC nor DC power) and makes scheme 0 active. Deleting that key resets
// the stand-in; an existing empty key means "no scheme at all".
//
// HKCU\Software\tickmend-sim\powrprof holds what tests use: "FailWrite" (REG_DWORD, non-zero
// makes WritePwrScheme and WriteProcessorPwrScheme fail as for a user without the right to
// write schemes), "HangActivate" (REG_DWORD, milliseconds SetActivePwrScheme sits before it
// acts, looked at again every 50 ms so that clearing it ends the wait: a process can be ended
// in the middle of a switch) and "Log" (REG_MULTI_SZ, the last 64 changing calls with their
// results, as "SetActivePwrScheme(3) = 1").
#include <windows.h>
#include <powrprof.h>
#include <string.h>
#include <wchar.h>

#include "common/handle.h"
#include "sim/stand_in_log.h"

namespace {

const wchar_t user_root[] = L"Control Panel\\PowerCfg";
const wchar_t user_policies[] = L"Control Panel\\PowerCfg\\PowerPolicies";
const wchar_t machine_policies[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\PowerCfg\\PowerPolicies";
const wchar_t processor_policies[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\PowerCfg\\ProcessorPolicies";
const wchar_t active_value[] = L"CurrentPowerPolicy";
const wchar_t sim_key[] = L"Software\\tickmend-sim\\powrprof";
const int log_entries = 64;
const int max_schemes = 256;
const DWORD max_text = 260; // characters of a scheme name or description, with the NUL

static_assert(sizeof(USER_POWER_POLICY) == 80 && sizeof(MACHINE_POWER_POLICY) == 64);
static_assert(sizeof(MACHINE_PROCESSOR_POWER_POLICY) == 156);

// The decimal text of a number; out holds at least 11 characters.
void number_text(UINT value, wchar_t* out)
{
    wchar_t digits[11];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = L'\0';
}

// parent\<index>
struct scheme_path {
    wchar_t text[160];
    scheme_path(const wchar_t* parent, UINT index)
    {
        size_t length = wcslen(parent);
        memcpy(text, parent, length * sizeof(wchar_t));
        text[length] = L'\\';
        number_text(index, text + length + 1);
    }
    operator const wchar_t*() const { return text; }
};

bool read_value(HKEY root, const wchar_t* path, const wchar_t* name, DWORD expected_type, void* data, DWORD size)
{
    tk::unique_hkey key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD length = size;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, static_cast<BYTE*>(data), &length) != ERROR_SUCCESS)
        return false;
    return type == expected_type && length == size;
}

// A string value into text (capacity characters), always terminated; false when missing.
bool read_text(HKEY root, const wchar_t* path, const wchar_t* name, wchar_t* text, DWORD capacity)
{
    text[0] = L'\0';
    tk::unique_hkey key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD length = (capacity - 2) * sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &length) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        text[0] = L'\0';
        return false;
    }
    text[length / sizeof(wchar_t)] = L'\0';
    text[length / sizeof(wchar_t) + 1] = L'\0';
    return true;
}

bool write_value(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    tk::unique_hkey key;
    if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool write_text(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text)
{
    if (text == nullptr) text = L"";
    return write_value(root, path, name, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

bool key_exists(HKEY root, const wchar_t* path)
{
    tk::unique_hkey key;
    return RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

DWORD sim_setting(const wchar_t* name)
{
    DWORD value = 0;
    return read_value(HKEY_CURRENT_USER, sim_key, name, REG_DWORD, &value, sizeof value) ? value : 0;
}

// Appends "function(index) = result" to the call log, keeping the last log_entries lines.
void log_call(const wchar_t* function, UINT index, BOOLEAN result)
{
    wchar_t line[64];
    wchar_t number[11];
    number_text(index, number);
    size_t length = wcslen(function);
    if (length > 40) length = 40;
    memcpy(line, function, length * sizeof(wchar_t));
    line[length++] = L'(';
    wcscpy(line + length, number);
    wcscat(line, result ? L") = 1" : L") = 0");
    append_stand_in_log(sim_key, line, log_entries);
}

BOOLEAN fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The schemes Windows XP installs, with their processor throttling and timeouts (seconds).
struct default_scheme {
    const wchar_t* name;
    UCHAR throttle_ac, throttle_dc;
    ULONG standby_ac, standby_dc;
    ULONG video_ac, video_dc;
    ULONG spindown_ac, spindown_dc;
};
const default_scheme default_schemes[] = {
    {L"Home/Office Desk", PO_THROTTLE_NONE, PO_THROTTLE_ADAPTIVE, 0, 1200, 1200, 300, 0, 600},
    {L"Portable/Laptop", PO_THROTTLE_ADAPTIVE, PO_THROTTLE_ADAPTIVE, 1200, 300, 900, 300, 1800, 300},
    {L"Presentation", PO_THROTTLE_NONE, PO_THROTTLE_DEGRADE, 0, 900, 0, 0, 0, 300},
    {L"Always On", PO_THROTTLE_NONE, PO_THROTTLE_NONE, 0, 0, 1200, 1200, 0, 3600},
    {L"Minimal Power Management", PO_THROTTLE_ADAPTIVE, PO_THROTTLE_ADAPTIVE, 0, 0, 900, 900, 0, 900},
    {L"Max Battery", PO_THROTTLE_ADAPTIVE, PO_THROTTLE_DEGRADE, 1200, 60, 900, 60, 0, 300},
};

PROCESSOR_POWER_POLICY processor_side(UCHAR throttle)
{
    PROCESSOR_POWER_POLICY side = {};
    side.Revision = 1;
    side.DynamicThrottle = throttle;
    side.PolicyCount = 3;
    const BYTE demote[3] = {40, 40, 40};
    const BYTE promote[3] = {50, 60, 80};
    for (int i = 0; i < 3; ++i) {
        side.Policy[i].TimeCheck = 100000;
        side.Policy[i].DemoteLimit = 100000;
        side.Policy[i].PromoteLimit = 100000;
        side.Policy[i].DemotePercent = demote[i];
        side.Policy[i].PromotePercent = promote[i];
        side.Policy[i].AllowDemotion = i > 0;
        side.Policy[i].AllowPromotion = i < 2;
    }
    return side;
}

void seed_default_schemes()
{
    for (UINT index = 0; index < sizeof default_schemes / sizeof default_schemes[0]; ++index) {
        const default_scheme& d = default_schemes[index];
        POWER_POLICY policy = {};
        USER_POWER_POLICY& user = policy.user;
        user.Revision = 1;
        user.IdleAc.Action = d.standby_ac ? PowerActionSleep : PowerActionNone;
        user.IdleDc.Action = d.standby_dc ? PowerActionSleep : PowerActionNone;
        user.IdleTimeoutAc = d.standby_ac;
        user.IdleTimeoutDc = d.standby_dc;
        user.IdleSensitivityAc = 90;
        user.IdleSensitivityDc = 90;
        user.ThrottlePolicyAc = d.throttle_ac;
        user.ThrottlePolicyDc = d.throttle_dc;
        user.MaxSleepAc = PowerSystemSleeping3;
        user.MaxSleepDc = PowerSystemSleeping3;
        user.VideoTimeoutAc = d.video_ac;
        user.VideoTimeoutDc = d.video_dc;
        user.SpindownTimeoutAc = d.spindown_ac;
        user.SpindownTimeoutDc = d.spindown_dc;
        user.OptimizeForPowerAc = FALSE;
        user.OptimizeForPowerDc = TRUE;
        user.FanThrottleToleranceAc = 100;
        user.FanThrottleToleranceDc = 80;
        user.ForcedThrottleAc = 100;
        user.ForcedThrottleDc = 100;
        MACHINE_POWER_POLICY& machine = policy.mach;
        machine.Revision = 1;
        machine.MinSleepAc = PowerSystemSleeping1;
        machine.MinSleepDc = PowerSystemSleeping1;
        machine.ReducedLatencySleepAc = PowerSystemSleeping1;
        machine.ReducedLatencySleepDc = PowerSystemSleeping1;
        machine.OverThrottledAc.Action = PowerActionNone;
        machine.OverThrottledDc.Action = PowerActionNone;
        MACHINE_PROCESSOR_POWER_POLICY processor = {};
        processor.Revision = 1;
        processor.ProcessorPolicyAc = processor_side(d.throttle_ac);
        processor.ProcessorPolicyDc = processor_side(d.throttle_dc);

        scheme_path user_key(user_policies, index);
        write_text(HKEY_CURRENT_USER, user_key, L"Name", d.name);
        write_text(HKEY_CURRENT_USER, user_key, L"Description", L"");
        write_value(HKEY_CURRENT_USER, user_key, L"Policies", REG_BINARY, &policy.user, sizeof policy.user);
        write_value(HKEY_LOCAL_MACHINE, scheme_path(machine_policies, index), L"Policies", REG_BINARY, &policy.mach,
                    sizeof policy.mach);
        write_value(HKEY_LOCAL_MACHINE, scheme_path(processor_policies, index), L"Policies", REG_BINARY, &processor,
                    sizeof processor);
    }
    write_text(HKEY_CURRENT_USER, user_root, active_value, L"0");
}

void ensure_seeded()
{
    if (!key_exists(HKEY_CURRENT_USER, user_policies)) seed_default_schemes();
}

// A scheme index is a key name of decimal digits only.
bool parse_index(const wchar_t* text, UINT& index)
{
    size_t length = wcslen(text);
    if (length == 0 || length > 9) return false;
    UINT value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + static_cast<UINT>(text[i] - L'0');
    }
    index = value;
    return true;
}

bool get_active(UINT& index)
{
    wchar_t text[16];
    return read_text(HKEY_CURRENT_USER, user_root, active_value, text, 16) && parse_index(text, index);
}

// The scheme indexes (at most max_schemes) in the registry's own order, which sorts key names
// as text: "10" comes before "2", as on Windows XP. Returns their count.
int scheme_indexes(UINT* indexes)
{
    int count = 0;
    tk::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, user_policies, 0, KEY_ENUMERATE_SUB_KEYS, key.put()) != ERROR_SUCCESS)
        return 0;
    for (DWORD i = 0; count < max_schemes; ++i) {
        wchar_t name[256];
        DWORD length = sizeof name / sizeof name[0];
        LONG status = RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        UINT index = 0;
        if (parse_index(name, index)) indexes[count++] = index;
    }
    return count;
}

// name and description may be null; each holds max_text characters.
bool read_scheme(UINT index, wchar_t* name, wchar_t* description, POWER_POLICY& policy)
{
    scheme_path user_key(user_policies, index);
    memset(&policy, 0, sizeof policy);
    if (!read_value(HKEY_CURRENT_USER, user_key, L"Policies", REG_BINARY, &policy.user, sizeof policy.user))
        return false;
    if (!read_value(HKEY_LOCAL_MACHINE, scheme_path(machine_policies, index), L"Policies", REG_BINARY,
                    &policy.mach, sizeof policy.mach))
        memset(&policy.mach, 0, sizeof policy.mach);
    if (name) read_text(HKEY_CURRENT_USER, user_key, L"Name", name, max_text);
    if (description) read_text(HKEY_CURRENT_USER, user_key, L"Description", description, max_text);
    return true;
}

} // namespace

extern "C" {

// Calls the callback once per scheme, synchronously, until it returns FALSE. Names are UTF-16
// with their sizes in bytes including the NUL, as the real DLL hands them over.
__declspec(dllexport) BOOLEAN WINAPI EnumPwrSchemes(PWRSCHEMESENUMPROC callback, LPARAM parameter)
{
    if (callback == nullptr) return fail(ERROR_INVALID_PARAMETER);
    ensure_seeded();
    // The list is taken before the first call: a callback may delete schemes as it goes.
    UINT indexes[max_schemes];
    int count = scheme_indexes(indexes);
    for (int i = 0; i < count; ++i) {
        wchar_t name[max_text];
        wchar_t description[max_text];
        POWER_POLICY policy;
        if (!read_scheme(indexes[i], name, description, policy)) continue;
        if (!callback(indexes[i], static_cast<DWORD>((wcslen(name) + 1) * sizeof(wchar_t)),
                      reinterpret_cast<LPTSTR>(name), static_cast<DWORD>((wcslen(description) + 1) * sizeof(wchar_t)),
                      reinterpret_cast<LPTSTR>(description), &policy, parameter))
            break;
    }
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI GetActivePwrScheme(PUINT index)
{
    if (index == nullptr) return fail(ERROR_INVALID_PARAMETER);
    ensure_seeded();
    UINT active = 0;
    if (!get_active(active)) return fail(ERROR_FILE_NOT_FOUND);
    *index = active;
    return TRUE;
}

// The global and scheme policies that a caller may pass along are not applied.
__declspec(dllexport) BOOLEAN WINAPI SetActivePwrScheme(UINT index, PGLOBAL_POWER_POLICY, PPOWER_POLICY)
{
    const DWORD start = GetTickCount();
    for (DWORD hang = sim_setting(L"HangActivate"); hang && GetTickCount() - start < hang;
         hang = sim_setting(L"HangActivate"))
        Sleep(50);
    ensure_seeded();
    BOOLEAN result = FALSE;
    if (!key_exists(HKEY_CURRENT_USER, scheme_path(user_policies, index))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        wchar_t text[11];
        number_text(index, text);
        result = write_text(HKEY_CURRENT_USER, user_root, active_value, text) ? TRUE : FALSE;
    }
    log_call(L"SetActivePwrScheme", index, result);
    return result;
}

__declspec(dllexport) BOOLEAN WINAPI ReadPwrScheme(UINT index, PPOWER_POLICY policy)
{
    if (policy == nullptr) return fail(ERROR_INVALID_PARAMETER);
    ensure_seeded();
    POWER_POLICY read;
    if (!read_scheme(index, nullptr, nullptr, read)) return fail(ERROR_FILE_NOT_FOUND);
    *policy = read;
    return TRUE;
}

// Writes a scheme at *index, creating it when the index is new; NEWSCHEME takes one above the
// largest index and hands it back.
__declspec(dllexport) BOOLEAN WINAPI WritePwrScheme(PUINT index, LPTSTR name, LPTSTR description,
                                                    PPOWER_POLICY policy)
{
    if (index == nullptr || policy == nullptr) return fail(ERROR_INVALID_PARAMETER);
    ensure_seeded();
    UINT target = *index;
    if (target == NEWSCHEME) {
        UINT indexes[max_schemes];
        int count = scheme_indexes(indexes);
        target = 0;
        for (int i = 0; i < count; ++i)
            if (indexes[i] >= target) target = indexes[i] + 1;
    }
    BOOLEAN result = FALSE;
    if (sim_setting(L"FailWrite")) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else {
        scheme_path user_key(user_policies, target);
        result = write_text(HKEY_CURRENT_USER, user_key, L"Name", reinterpret_cast<const wchar_t*>(name)) &&
                 write_text(HKEY_CURRENT_USER, user_key, L"Description",
                            reinterpret_cast<const wchar_t*>(description)) &&
                 write_value(HKEY_CURRENT_USER, user_key, L"Policies", REG_BINARY, &policy->user,
                             sizeof policy->user) &&
                 write_value(HKEY_LOCAL_MACHINE, scheme_path(machine_policies, target), L"Policies", REG_BINARY,
                             &policy->mach, sizeof policy->mach);
        if (result) *index = target;
    }
    log_call(L"WritePwrScheme", target, result);
    return result;
}

__declspec(dllexport) BOOLEAN WINAPI ReadProcessorPwrScheme(UINT index, PMACHINE_PROCESSOR_POWER_POLICY policy)
{
    if (policy == nullptr) return fail(ERROR_INVALID_PARAMETER);
    MACHINE_PROCESSOR_POWER_POLICY read;
    if (!read_value(HKEY_LOCAL_MACHINE, scheme_path(processor_policies, index), L"Policies", REG_BINARY, &read,
                    sizeof read))
        return fail(ERROR_FILE_NOT_FOUND);
    *policy = read;
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI WriteProcessorPwrScheme(UINT index, PMACHINE_PROCESSOR_POWER_POLICY policy)
{
    if (policy == nullptr) return fail(ERROR_INVALID_PARAMETER);
    BOOLEAN result = FALSE;
    if (sim_setting(L"FailWrite"))
        SetLastError(ERROR_ACCESS_DENIED);
    else
        result = write_value(HKEY_LOCAL_MACHINE, scheme_path(processor_policies, index), L"Policies", REG_BINARY,
                             policy, sizeof *policy);
    log_call(L"WriteProcessorPwrScheme", index, result);
    return result;
}

// Removes every part of a scheme. Like Windows, it refuses the active scheme.
__declspec(dllexport) BOOLEAN WINAPI DeletePwrScheme(UINT index)
{
    ensure_seeded();
    BOOLEAN result = FALSE;
    UINT active = 0;
    if (get_active(active) && active == index) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else if (RegDeleteKeyW(HKEY_CURRENT_USER, scheme_path(user_policies, index)) != ERROR_SUCCESS) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, scheme_path(machine_policies, index));
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, scheme_path(processor_policies, index));
        result = TRUE;
    }
    log_call(L"DeletePwrScheme", index, result);
    return result;
}

} // extern "C"
