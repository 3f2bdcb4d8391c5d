// The power module's entry points: each takes the Vista way (pwr_vista.cpp) on Vista and
// later, where plans are switched with powercfg, and the XP way (pwr_xp.cpp) before.
#include "pwr_enum/pwr_enum.h"
#include "common/os_version.h"
#include "common/trace.h"
#include "pwr_enum/pwr_private.h"

#include <string.h>

using namespace pwr_enum_detail;

DWORD pwr_enum_detail::scheme_switched;

namespace {

// Module state: one set per process, all zero at start. The callers hold the game-mode lock
// for every call, so nothing here needs a lock of its own.
bool switch_chosen; // ChooseAlwaysOnScheme ran since the last switch

void clear_state()
{
    scheme_switched = 0;
    clear_xp_state();
}

} // namespace

int ReadActivePowerScheme(power_plan* plan)
{
    memset(plan, 0, sizeof *plan);
    return (os_switches_plans_with_powercfg() ? read_active_vista(plan) : read_active_xp(plan)) ? 1 : 0;
}

int ChooseAlwaysOnScheme(power_plan* plan, DWORD* temporary)
{
    memset(plan, 0, sizeof *plan);
    *temporary = 0;
    clear_state();
    if (os_switches_plans_with_powercfg()) switched_vista(plan);
    else choose_xp(plan, temporary);
    switch_chosen = true;
    return 1;
}

int SwitchToAlwaysOnScheme()
{
    TRACE("pwr_enum SetAlwaysOnPwerScheme\n");
    if (!switch_chosen) {
        power_plan plan;
        DWORD temporary = 0;
        ChooseAlwaysOnScheme(&plan, &temporary);
    }
    switch_chosen = false;
    return os_switches_plans_with_powercfg() ? switch_vista() : switch_xp();
}

int ActivatePowerScheme(const power_plan* plan)
{
    return os_switches_plans_with_powercfg() ? activate_vista(plan) : activate_xp(plan);
}

DWORD PowerPlanKind()
{
    return os_switches_plans_with_powercfg() ? plan_guid : plan_index;
}

int SamePowerPlan(const power_plan* a, const power_plan* b)
{
    if (a->kind != b->kind) return 0;
    if (a->kind == plan_index) return a->index == b->index ? 1 : 0;
    if (a->kind == plan_guid) return _stricmp(a->guid, b->guid) == 0 ? 1 : 0;
    return 1;
}

int PowerPlanWellFormed(const power_plan* plan)
{
    if (plan->kind != PowerPlanKind()) return 0;
    return plan->kind == plan_index || guid_text_valid(plan->guid) ? 1 : 0;
}

int PowerPlanExists(const power_plan* plan)
{
    if (plan->kind != PowerPlanKind()) return 0;
    return plan->kind == plan_guid ? vista_plan_listed(plan) : xp_scheme_exists(plan);
}

int PowerPlanName(const power_plan* plan, char* name, int size)
{
    if (plan->kind != PowerPlanKind() || plan->kind != plan_guid) return 0;
    return vista_plan_name(plan, name, size);
}

void SwitchedPowerScheme(power_plan* plan, DWORD* temporary)
{
    memset(plan, 0, sizeof *plan);
    *temporary = 0;
    if (os_switches_plans_with_powercfg()) switched_vista(plan);
    else switched_xp(plan, temporary);
}

int DeleteTemporaryScheme(UINT index)
{
    return os_switches_plans_with_powercfg() ? 0 : delete_temp_xp(index);
}
