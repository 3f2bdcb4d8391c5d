// The XP way of switching power schemes: powrprof's scheme functions. The scheme switched
// to throttles on neither AC nor DC power: the first such scheme named "Always On", else the
// last such scheme listed, else a temporary scheme written from the templates below.
#include "pwr_enum/pwr_private.h"
#include "common/trace.h"
#include "registry/registry.h"

#include <windows.h>
#include <powrprof.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace pwr_enum_detail {
namespace {

// One switch's state, all zero at start.
DWORD temp_scheme_created;   // the scheme switched to is the temporary one this call wrote
DWORD temp_scheme_planned;   // the choice is a temporary scheme, to be written at the switch
bool always_on_found;        // the enumeration found a non-throttling scheme
UINT always_on_index;        // the non-throttling scheme chosen
UINT temp_scheme_index;      // one above the largest existing index

const wchar_t always_on_name[] = L"Always On";
const wchar_t temp_scheme_name[] = L"QEL Temporary Power Scheme";
const char power_policies_key[] = "Control Panel\\PowerCfg\\PowerPolicies";

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
    always_on_found = true;
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

// Whether one index is listed; for xp_scheme_exists and delete_temp_xp.
UINT looked_for_index;
bool looked_for_listed;
bool looked_for_is_temp;

BOOLEAN CALLBACK find_index(UINT index, DWORD name_size, LPTSTR name, DWORD, LPTSTR, PPOWER_POLICY, LPARAM)
{
    if (index != looked_for_index) return TRUE;
    looked_for_listed = true;
    looked_for_is_temp = name_is(name, name_size, temp_scheme_name, sizeof temp_scheme_name);
    return FALSE;
}

// -1 when the schemes cannot be listed.
int look_for(UINT index)
{
    looked_for_index = index;
    looked_for_listed = false;
    looked_for_is_temp = false;
    if (!EnumPwrSchemes(find_index, 0) && !looked_for_listed) return -1;
    return looked_for_listed ? 1 : 0;
}

// Writes the temporary scheme at temp_scheme_index.
int create_temp_scheme()
{
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

} // namespace

void clear_xp_state()
{
    temp_scheme_created = 0;
    temp_scheme_planned = 0;
    always_on_found = false;
    always_on_index = 0;
    temp_scheme_index = 0;
}

bool read_active_xp(power_plan* plan)
{
    UINT index = 0;
    if (!GetActivePwrScheme(&index)) return false;
    plan->kind = plan_index;
    plan->index = index;
    return true;
}

// Without a non-throttling scheme, the temporary one is to be written one above the largest
// index, once the per-user keys of temporary schemes left from earlier switches are gone:
// its index is known before anything is written.
void choose_xp(power_plan* plan, DWORD* temporary)
{
    EnumPwrSchemes(find_always_on, 0);
    if (!always_on_found) {
        TRACE("pwr_enum SetAlwaysOnPwerScheme : did not find always on, creating one..\n");
        EnumPwrSchemes(cleanup_temp, 0);
        EnumPwrSchemes(find_next_available, 0);
        always_on_index = temp_scheme_index;
        temp_scheme_planned = 1;
    }
    plan->kind = plan_index;
    plan->index = always_on_index;
    *temporary = temp_scheme_planned;
}

// scheme_switched stays set when the activation fails, so that the restore still deletes a
// temporary scheme written here.
int switch_xp()
{
    if (temp_scheme_planned) {
        create_temp_scheme();
        always_on_found = false;
        EnumPwrSchemes(find_always_on, 0);
        if (!always_on_found) return 0;
        temp_scheme_created = 1;
    }
    scheme_switched = 1;
    return SetActivePwrScheme(always_on_index, nullptr, nullptr) ? 1 : 0;
}

int xp_scheme_exists(const power_plan* plan)
{
    if (plan->kind != plan_index) return 0;
    return look_for(plan->index);
}

void switched_xp(power_plan* plan, DWORD* temporary)
{
    plan->kind = plan_index;
    plan->index = always_on_index;
    plan->guid[0] = '\0';
    // Planned is enough: a temporary scheme written in part is ours to delete all the same.
    *temporary = temp_scheme_planned;
}

int delete_temp_xp(UINT index)
{
    UINT active = 0;
    if (GetActivePwrScheme(&active) && active == index) return 0;
    if (look_for(index) != 1 || !looked_for_is_temp) return 0;
    TRACE("pwr_enum delete_temp_xp : index %u\n", index);
    return DeletePwrScheme(index) ? 1 : 0;
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

} // namespace pwr_enum_detail
