// Power scheme switching: a scheme that does not throttle the processor while Gaming Mode
// is on, and the previous one back afterwards (powrprof on XP, powercfg on Vista).
#pragma once
#include <windows.h>

// A power plan as the platform names it: a scheme index on XP, a GUID in text form on Vista.
struct power_plan {
    DWORD kind;    // one of the plan_* values below
    UINT index;    // plan_index
    char guid[37]; // plan_guid
};
constexpr DWORD plan_none = 0, plan_index = 1, plan_guid = 2;

// Reads the active plan; 1 when it is known, 0 when it cannot be read (plan then cleared:
// kind plan_none).
int ReadActivePowerScheme(power_plan* plan);
// Chooses the non-throttling plan that the next SwitchToAlwaysOnScheme activates, switching
// nothing: *plan is it, *temporary 1 when it is a temporary scheme still to be written (XP;
// leftovers of earlier ones are removed). A caller that keeps a record writes the choice down
// before the switch, which may take seconds. 1 when chosen.
int ChooseAlwaysOnScheme(power_plan* plan, DWORD* temporary);
// Switches to the non-throttling scheme (the one chosen, or chosen now); 1 when done. The
// caller keeps the plan to go back to.
int SwitchToAlwaysOnScheme();
// Makes plan active (and deletes a temporary scheme this module wrote); 1 when done.
int ActivatePowerScheme(const power_plan* plan);
// The kind of plan this Windows names: plan_guid on Vista and later, plan_index before.
DWORD PowerPlanKind();
// 1 when a and b name the same plan (GUIDs compared without regard to case).
int SamePowerPlan(const power_plan* a, const power_plan* b);
// 1 when the plan is of this Windows' kind and well formed (a GUID of 8-4-4-4-12 digits).
int PowerPlanWellFormed(const power_plan* plan);
// 1 when the plan is of this Windows' kind, well formed and exists; 0 when it is not or does
// not; -1 when the plans cannot be listed.
int PowerPlanExists(const power_plan* plan);
// The plan's name as the platform lists it ("Balanced"); 0 where it is not listed or this
// Windows gives no names to us (XP: its scheme number is all we keep).
int PowerPlanName(const power_plan* plan, char* name, int size);
// After SwitchToAlwaysOnScheme: the plan it activated (or tried to), and in *temporary 1 when
// that is a temporary scheme it wrote, or meant to (XP).
void SwitchedPowerScheme(power_plan* plan, DWORD* temporary);
// Deletes a temporary scheme this module wrote, by index, unless it is active or is no
// longer ours; 1 when deleted.
int DeleteTemporaryScheme(UINT index);
