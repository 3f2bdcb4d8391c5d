#include "pwr_enum/pwr_enum.h"
#include "common/handle.h"
#include "common/trace.h"
#include "registry/registry.h"

#include <windows.h>
#include <powrprof.h>
#include <ctype.h>
#include <fcntl.h>
#include <io.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

// Module state: one set per process, all zero at start. The callers hold the game-mode lock
// for every call, so nothing here needs a lock of its own.
power_plan saved_plan;       // the plan SetAlwaysOnPwerScheme found active, for RestoreSavedPowerScheme
DWORD scheme_switched;       // a switch happened that the restore has to undo
DWORD temp_scheme_created;   // XP: the scheme switched to is the temporary one this call wrote
UINT always_on_index;        // XP: the non-throttling scheme chosen
UINT temp_scheme_index;      // XP: one above the largest existing index

const wchar_t always_on_name[] = L"Always On";
const wchar_t temp_scheme_name[] = L"QEL Temporary Power Scheme";
const char power_policies_key[] = "Control Panel\\PowerCfg\\PowerPolicies";
const char list_arguments[] = "-l";
const char switch_arguments[] = "-s 8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
const size_t guid_text_length = 36; // 8-4-4-4-12 hexadecimal digits with their dashes

// USER_POWER_POLICY as it lies in memory, with its two trailing alignment bytes named, so
// that the template carries them as they are stored with every scheme we write.
struct user_policy_image {
    ULONG Revision;
    POWER_ACTION_POLICY IdleAc;
    POWER_ACTION_POLICY IdleDc;
    ULONG IdleTimeoutAc;
    ULONG IdleTimeoutDc;
    UCHAR IdleSensitivityAc;
    UCHAR IdleSensitivityDc;
    UCHAR ThrottlePolicyAc;
    UCHAR ThrottlePolicyDc;
    SYSTEM_POWER_STATE MaxSleepAc;
    SYSTEM_POWER_STATE MaxSleepDc;
    ULONG Reserved[2];
    ULONG VideoTimeoutAc;
    ULONG VideoTimeoutDc;
    ULONG SpindownTimeoutAc;
    ULONG SpindownTimeoutDc;
    BOOLEAN OptimizeForPowerAc;
    BOOLEAN OptimizeForPowerDc;
    UCHAR FanThrottleToleranceAc;
    UCHAR FanThrottleToleranceDc;
    UCHAR ForcedThrottleAc;
    UCHAR ForcedThrottleDc;
    UCHAR Alignment[2];
};
struct power_policy_image {
    user_policy_image user;
    MACHINE_POWER_POLICY mach;
};
static_assert(sizeof(user_policy_image) == sizeof(USER_POWER_POLICY));
static_assert(sizeof(power_policy_image) == sizeof(POWER_POLICY) && sizeof(POWER_POLICY) == 144);
static_assert(offsetof(power_policy_image, mach) == offsetof(POWER_POLICY, mach));
static_assert(offsetof(user_policy_image, ThrottlePolicyAc) == offsetof(USER_POWER_POLICY, ThrottlePolicyAc));
static_assert(offsetof(user_policy_image, Reserved) == offsetof(USER_POWER_POLICY, Reserved));
static_assert(offsetof(user_policy_image, ForcedThrottleDc) == offsetof(USER_POWER_POLICY, ForcedThrottleDc));
static_assert(offsetof(user_policy_image, Alignment) == 78);
static_assert(sizeof(MACHINE_PROCESSOR_POWER_POLICY) == 156);
static_assert(sizeof(OSVERSIONINFOEXA) == 156 && sizeof(STARTUPINFOA) == 68);

// The temporary scheme: throttles on neither AC nor DC power.
const power_policy_image temp_scheme_policy = {
    .user = {
        .Revision = 1,
        .IdleAc = {.Action = PowerActionNone, .Flags = POWER_ACTION_QUERY_ALLOWED, .EventCode = 0},
        .IdleDc = {.Action = PowerActionNone, .Flags = 0, .EventCode = 0},
        .IdleTimeoutAc = 0,
        .IdleTimeoutDc = 0,
        .IdleSensitivityAc = 50,
        .IdleSensitivityDc = 50,
        .ThrottlePolicyAc = PO_THROTTLE_NONE,
        .ThrottlePolicyDc = PO_THROTTLE_NONE,
        .MaxSleepAc = PowerSystemSleeping3,
        .MaxSleepDc = PowerSystemSleeping3,
        .Reserved = {0x773D0000, 0x0007F22E},
        .VideoTimeoutAc = 1200,
        .VideoTimeoutDc = 900,
        .SpindownTimeoutAc = 0,
        .SpindownTimeoutDc = 1800,
        .OptimizeForPowerAc = 0,
        .OptimizeForPowerDc = 0,
        .FanThrottleToleranceAc = 100,
        .FanThrottleToleranceDc = 100,
        .ForcedThrottleAc = 100,
        .ForcedThrottleDc = 100,
        .Alignment = {0x91, 0x7C},
    },
    .mach = {
        .Revision = 1,
        .MinSleepAc = PowerSystemSleeping3,
        .MinSleepDc = PowerSystemSleeping3,
        .ReducedLatencySleepAc = PowerSystemSleeping3,
        .ReducedLatencySleepDc = PowerSystemSleeping3,
        .DozeTimeoutAc = 0,
        .DozeTimeoutDc = 0,
        .DozeS4TimeoutAc = 0,
        .DozeS4TimeoutDc = 0,
        .MinThrottleAc = 0,
        .MinThrottleDc = 0,
        .pad1 = {0x07, 0x00},
        .OverThrottledAc = {.Action = PowerActionSleep,
                            .Flags = POWER_ACTION_CRITICAL | POWER_ACTION_DISABLE_WAKES | POWER_ACTION_OVERRIDE_APPS,
                            .EventCode = 0},
        .OverThrottledDc = {.Action = PowerActionSleep,
                            .Flags = POWER_ACTION_CRITICAL | POWER_ACTION_DISABLE_WAKES | POWER_ACTION_OVERRIDE_APPS,
                            .EventCode = 0},
    },
};

constexpr PROCESSOR_POWER_POLICY_INFO processor_state(BYTE demote, BYTE promote, DWORD allow_demotion,
                                                      DWORD allow_promotion)
{
    return {.TimeCheck = 100000, .DemoteLimit = 100000, .PromoteLimit = 100000, .DemotePercent = demote,
            .PromotePercent = promote, .Spare = {0, 0}, .AllowDemotion = allow_demotion,
            .AllowPromotion = allow_promotion, .Reserved = 0};
}

const MACHINE_PROCESSOR_POWER_POLICY temp_scheme_processor_policy = {
    .Revision = 1,
    .ProcessorPolicyAc = {.Revision = 1, .DynamicThrottle = PO_THROTTLE_NONE, .Spare = {0, 0, 0},
                          .DisableCStates = 0, .Reserved = 0, .PolicyCount = 3,
                          .Policy = {processor_state(40, 50, 0, 1), processor_state(40, 60, 1, 1),
                                     processor_state(40, 80, 1, 0)}},
    .ProcessorPolicyDc = {.Revision = 1, .DynamicThrottle = PO_THROTTLE_NONE, .Spare = {0, 0, 0},
                          .DisableCStates = 0, .Reserved = 0, .PolicyCount = 3,
                          .Policy = {processor_state(10, 20, 0, 1), processor_state(20, 40, 1, 1),
                                     processor_state(20, 80, 1, 0)}},
};

// Major version exactly 6 takes the powercfg way; every other version the powrprof one.
bool is_vista()
{
    OSVERSIONINFOEXA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
    return info.dwMajorVersion == 6;
}

void clear_state()
{
    scheme_switched = 0;
    temp_scheme_created = 0;
    always_on_index = 0;
    temp_scheme_index = 0;
}

// The enumeration hands names over as UTF-16, whatever the header's LPTSTR says; size counts
// bytes including the terminating NUL.
bool name_is(LPTSTR name, DWORD size, const wchar_t* text, size_t text_bytes)
{
    return name != nullptr && size >= text_bytes && memcmp(name, text, text_bytes) == 0;
}

BOOLEAN CALLBACK find_always_on(UINT index, DWORD name_size, LPTSTR name, DWORD, LPTSTR, PPOWER_POLICY policy,
                                LPARAM)
{
    if (policy == nullptr) return TRUE;
    TRACE("pwr_enum find_always_on : found index %u, ac %u, dc %u\n", index, policy->user.ThrottlePolicyAc,
          policy->user.ThrottlePolicyDc);
    if (policy->user.ThrottlePolicyAc != PO_THROTTLE_NONE || policy->user.ThrottlePolicyDc != PO_THROTTLE_NONE)
        return TRUE;
    always_on_index = index;
    scheme_switched = 1;
    TRACE("pwr_enum find_always_on : found index %i\n", static_cast<int>(index));
    if (name_is(name, name_size, always_on_name, sizeof always_on_name)) {
        TRACE("pwr_enum find_always_on : string match\n");
        return FALSE;
    }
    return TRUE;
}

// Removes the per-user key of a temporary scheme left from an earlier switch.
BOOLEAN CALLBACK cleanup_temp(UINT index, DWORD name_size, LPTSTR name, DWORD, LPTSTR, PPOWER_POLICY, LPARAM)
{
    if (name_is(name, name_size, temp_scheme_name, sizeof temp_scheme_name)) {
        TRACE("pwr_enum cleanup_temp : index %i\n", static_cast<int>(index));
        char text[16];
        snprintf(text, sizeof text, "%i", static_cast<int>(index));
        DeleteRegistry(HKEY_CURRENT_USER, power_policies_key, text);
    }
    return TRUE;
}

// Leaves temp_scheme_index one above the largest index, in whatever order they come.
BOOLEAN CALLBACK find_next_available(UINT index, DWORD, LPTSTR, DWORD, LPTSTR, PPOWER_POLICY, LPARAM)
{
    if (index >= temp_scheme_index) temp_scheme_index = index + 1;
    TRACE("pwr_enum find_next_available : index %i\n", static_cast<int>(temp_scheme_index));
    return TRUE;
}

int create_temp_scheme()
{
    EnumPwrSchemes(cleanup_temp, 0);
    EnumPwrSchemes(find_next_available, 0);
    POWER_POLICY policy;
    memcpy(&policy, &temp_scheme_policy, sizeof policy);
    MACHINE_PROCESSOR_POWER_POLICY processor_policy;
    memcpy(&processor_policy, &temp_scheme_processor_policy, sizeof processor_policy);
    UINT index = temp_scheme_index;
    wchar_t name[sizeof temp_scheme_name / sizeof(wchar_t)];
    wchar_t description[sizeof temp_scheme_name / sizeof(wchar_t)];
    memcpy(name, temp_scheme_name, sizeof name);
    memcpy(description, temp_scheme_name, sizeof description);
    WritePwrScheme(&index, reinterpret_cast<LPTSTR>(name), reinterpret_cast<LPTSTR>(description), &policy);
    return WriteProcessorPwrScheme(index, &processor_policy) ? 1 : 0;
}

// The tool's full path in the system folder: never one found through the current folder or
// the program's folder.
bool powercfg_path(char* path, UINT size)
{
    const char name[] = "\\powercfg.exe";
    UINT length = GetSystemDirectoryA(path, size);
    if (length == 0 || length + sizeof name > size) return false;
    memcpy(path + length, name, sizeof name);
    return true;
}

// Runs powercfg with arguments, without a window, and waits for it; when reader is given,
// the tool's standard output is handed to it as a text stream first. True only when the tool
// ran and ended with exit code 0: its output alone does not say that it did its work.
bool run_powercfg(const char* arguments, void (*reader)(FILE*))
{
    char application[MAX_PATH];
    if (!powercfg_path(application, sizeof application)) return false;
    char command_line[MAX_PATH + 64];
    snprintf(command_line, sizeof command_line, "\"%s\" %s", application, arguments);
    TRACE("BUFFER %s\n", command_line);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    tk::unique_handle read_end;
    tk::unique_handle write_end;
    if (reader) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        if (!CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) return false;
        SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = write_end.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(application, command_line, nullptr, nullptr, reader != nullptr, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return false;
    tk::unique_handle process_handle(process.hProcess);
    tk::unique_handle thread_handle(process.hThread);
    write_end.reset(); // the stream ends when the tool's copy goes
    if (reader) {
        HANDLE pipe = read_end.release();
        int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_RDONLY | _O_TEXT);
        FILE* stream = descriptor >= 0 ? _fdopen(descriptor, "r") : nullptr;
        if (stream) {
            reader(stream);
            fclose(stream);
        } else if (descriptor >= 0) {
            _close(descriptor);
        } else {
            CloseHandle(pipe);
        }
    }
    WaitForSingleObject(process_handle.get(), INFINITE);
    DWORD code = 1;
    return GetExitCodeProcess(process_handle.get(), &code) && code == 0;
}

bool is_guid_at(const char* p)
{
    for (size_t i = 0; i < guid_text_length; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? p[i] != '-' : !isxdigit(static_cast<unsigned char>(p[i]))) return false;
    }
    return true;
}

// Copies the first scheme GUID of a piece of text into guid (37 bytes); false when none.
bool find_guid(const char* text, char* guid)
{
    for (const char* p = text; *p; ++p) {
        if (p != text && isalnum(static_cast<unsigned char>(p[-1]))) continue;
        if (!is_guid_at(p) || isalnum(static_cast<unsigned char>(p[guid_text_length]))) continue;
        memcpy(guid, p, guid_text_length);
        guid[guid_text_length] = '\0';
        return true;
    }
    return false;
}

// The GUID of the line of the last list read that is marked active; "" when none is.
char listed_active_guid[guid_text_length + 1];

// Reads the scheme list and keeps the GUID of the active scheme. The list's wording is the
// tool's and differs from one language to another, so we rely only on what every list has:
// a scheme line carries its GUID somewhere and the active one ends with "*". The first line
// of six words is merely the first scheme listed, which need not be the active one.
void read_list(FILE* list)
{
    char piece[1023 + 1];
    char line_guid[guid_text_length + 1] = "";
    char last_mark = 0;        // the last non-blank character of the line so far
    bool line_started = false; // a piece of the current line was read
    // A line longer than the buffer arrives in pieces: its GUID is in an early piece, its
    // marker in the last one.
    while (fgets(piece, sizeof piece, list) != nullptr) {
        if (!line_started) {
            line_guid[0] = '\0';
            last_mark = 0;
            line_started = true;
        }
        if (line_guid[0] == '\0') find_guid(piece, line_guid);
        for (const char* p = piece; *p; ++p)
            if (!isspace(static_cast<unsigned char>(*p))) last_mark = *p;
        bool line_ends = strchr(piece, '\n') != nullptr || feof(list);
        if (!line_ends) continue;
        line_started = false;
        if (last_mark == '*' && line_guid[0] != '\0' && listed_active_guid[0] == '\0')
            memcpy(listed_active_guid, line_guid, sizeof listed_active_guid);
    }
    if (line_started && last_mark == '*' && line_guid[0] != '\0' && listed_active_guid[0] == '\0')
        memcpy(listed_active_guid, line_guid, sizeof listed_active_guid);
}

bool read_active_vista(power_plan* plan)
{
    listed_active_guid[0] = '\0';
    if (!run_powercfg(list_arguments, read_list) || listed_active_guid[0] == '\0') return false;
    TRACE("GUID %s\n", listed_active_guid);
    plan->kind = plan_guid;
    memcpy(plan->guid, listed_active_guid, sizeof plan->guid);
    return true;
}

bool read_active_xp(power_plan* plan)
{
    UINT index = 0;
    if (!GetActivePwrScheme(&index)) return false;
    plan->kind = plan_index;
    plan->index = index;
    return true;
}

int switch_vista()
{
    scheme_switched = run_powercfg(switch_arguments, nullptr) ? 1 : 0;
    return static_cast<int>(scheme_switched);
}

// scheme_switched stays set when the activation fails, so that the restore still deletes a
// temporary scheme written here.
int switch_xp()
{
    EnumPwrSchemes(find_always_on, 0);
    if (!scheme_switched) {
        TRACE("pwr_enum SetAlwaysOnPwerScheme : did not find always on, creating one..\n");
        create_temp_scheme();
        EnumPwrSchemes(find_always_on, 0);
        if (!scheme_switched) return 0;
        temp_scheme_created = 1;
    }
    return SetActivePwrScheme(always_on_index, nullptr, nullptr) ? 1 : 0;
}

int activate_vista(const power_plan* plan)
{
    if (plan->kind != plan_guid || plan->guid[0] == '\0') return 0;
    char arguments[4 + sizeof plan->guid];
    snprintf(arguments, sizeof arguments, "-s %s", plan->guid);
    return run_powercfg(arguments, nullptr) ? 1 : 0;
}

// The plan is activated before the temporary scheme is deleted: the platform does not
// delete the active scheme.
int activate_xp(const power_plan* plan)
{
    BOOLEAN result = plan->kind == plan_index && SetActivePwrScheme(plan->index, nullptr, nullptr);
    if (temp_scheme_created) DeletePwrScheme(temp_scheme_index);
    scheme_switched = 0;
    temp_scheme_created = 0;
    return result ? 1 : 0;
}

} // namespace

int ReadActivePowerScheme(power_plan* plan)
{
    memset(plan, 0, sizeof *plan);
    return (is_vista() ? read_active_vista(plan) : read_active_xp(plan)) ? 1 : 0;
}

int SwitchToAlwaysOnScheme()
{
    TRACE("pwr_enum SetAlwaysOnPwerScheme\n");
    bool vista = is_vista();
    clear_state();
    return vista ? switch_vista() : switch_xp();
}

int ActivatePowerScheme(const power_plan* plan)
{
    return is_vista() ? activate_vista(plan) : activate_xp(plan);
}

int SetAlwaysOnPwerScheme()
{
    if (!ReadActivePowerScheme(&saved_plan)) {
        clear_state(); // nothing switched, nothing to restore
        return 0;
    }
    return SwitchToAlwaysOnScheme();
}

int RestoreSavedPowerScheme()
{
    TRACE("pwr_enum RestoreSavedPowerScheme\n");
    if (!scheme_switched) return 0;
    return ActivatePowerScheme(&saved_plan);
}
