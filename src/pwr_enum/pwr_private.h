// Private to the power module: what the XP way (pwr_xp.cpp, powrprof's scheme functions)
// and the Vista way (pwr_vista.cpp, powercfg.exe) share with the entry points in
// pwr_enum.cpp, which choose between them.
#pragma once
#include "pwr_enum/pwr_enum.h"

#include <windows.h>

namespace pwr_enum_detail {

// A switch happened that the restore has to undo. The callers hold the game-mode lock for
// every call, so nothing here needs a lock of its own.
extern DWORD scheme_switched;

// XP: the scheme state of one switch (chosen scheme, temporary scheme) back to zero.
void clear_xp_state();
bool read_active_xp(power_plan* plan);
// Chooses the non-throttling scheme, or plans the temporary one (nothing is written yet).
void choose_xp(power_plan* plan, DWORD* temporary);
// Writes the temporary scheme when one is planned, sets scheme_switched once a non-throttling
// scheme is there and activates it; 1 when active. Chooses first (choose_xp) when no choice
// was made since clear_xp_state.
int switch_xp();
// Activates an index plan and deletes a temporary scheme written by switch_xp.
int activate_xp(const power_plan* plan);

bool read_active_vista(power_plan* plan);
// Sets scheme_switched when powercfg switched to High performance; 1 then. The plan it
// switches to is known beforehand: switched_vista.
int switch_vista();
// Activates a GUID plan through powercfg.
int activate_vista(const power_plan* plan);
// 1 when powercfg lists the plan, 0 when it does not (or the GUID is not well formed), -1
// when the list cannot be read.
int vista_plan_listed(const power_plan* plan);
int vista_plan_name(const power_plan* plan, char* name, int size);
bool guid_text_valid(const char* text);
// The plan switch_vista activates.
void switched_vista(power_plan* plan);

// XP: the same for index plans; the scheme switch_xp chose, and whether it wrote it.
int xp_scheme_exists(const power_plan* plan);
void switched_xp(power_plan* plan, DWORD* temporary);
// Deletes scheme index when it is a temporary scheme this module writes and is not active.
int delete_temp_xp(UINT index);

} // namespace pwr_enum_detail
