// The board where wishes of Gaming Mode are made and their generations awaited: the wishes
// under one short lock, the generation of the newest, the generation the owner's last pass
// reached and the state after it, and the events and windows waiting for a generation. The
// sources write here (daemon.h's Qel_DaemonWish and friends); the owner (owner.cpp) reads a
// pass's wishes from here and publishes what it reached.
#pragma once
#include "daemon/daemon.h"
#include "daemon/wishes.h"

#include <windows.h>

namespace daemon_state {

// Opens the board for a new owner: wishes as at a start, every wish taken, accepting. false
// when its lock or events cannot be made.
bool board_open();
// A power plan change seen from outside in the on-period period: to be judged in the next pass.
void board_wish_plan_check(LONG period);
// Windows made plan active: unless it is the plan of our own latest switch, or of the switch
// before it while Windows has named neither that plan nor a later one (a notification that
// comes late), the user picked it (the generation of that wish; 0 when it was ours, or when
// refused).
DWORD board_wish_pick(const power_plan& plan);
// The owner's own plan switches, to plan, begin and end: a plan Windows makes active meanwhile
// and that is not plan was set by someone else.
void board_own_switch_begins(const power_plan& plan);
void board_own_switch_ends();
// The plan our latest own switch set (or tried to); plan_none before the first.
power_plan board_own_target();
// Wishes the end (no wish after it is taken) and wakes the owner.
void board_wish_end();
// Set whenever a wish changes (auto reset): what the owner waits on between passes.
HANDLE board_wake_event();
// The wishes of the next pass and their generation, with what a pass takes once (resumes, plan
// changes, give-backs) cleared on the board; false when every wish is taken.
bool board_begin_pass(Wishes* wishes, DWORD* generation);
// A plan change judged the user's in the pass of generation: the user's off, unless the user
// wished again since.
void board_plan_taken(DWORD generation);
// A resync began a new on-period: a plan change seen in the old one and not yet judged is
// judged against the new one (the active plan tells whose it was).
void board_carry_plan_check(LONG from_period, LONG to_period);
// The pass of generation ended with Gaming Mode in state: its waiters wake, its windows are told.
void board_end_pass(DWORD generation, int state);
// What the tray shows of the on-period: on for this listed program (null: not for one).
void board_show_on_for(const char* program);

} // namespace daemon_state
