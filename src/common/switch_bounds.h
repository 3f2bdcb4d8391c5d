// How long a Gaming Mode switch can take at worst, built up from its parts, so that every
// wait for one (a pipe client's, a state read's, the exit's, "/k"'s) is derived from the
// switch's own bound rather than a guess.
//
// Gaming Mode's owner holds what is wished and converges to it in passes of at most two
// switches (an off and an on, to synchronize again after a resume). A caller that changes a
// wish waits for the pass that takes it: at most the pass running when the wish came, then
// its own. That is wish_bound_ms(), the one fixed bound every waiter derives its own from.
#pragma once
#include <windows.h>

// One powercfg run: a tool that outlives this is ended, and waited for until it has ended.
// 5 s on every real machine; a simulated machine may set a shorter one before anything runs.
DWORD powercfg_run_bound_ms();
constexpr DWORD default_powercfg_run_bound_ms = 5000;
// The most powercfg runs one sequence makes: the off sequence reads the active plan, lists
// the plans for the one to give back, activates it and, when that run failed, reads the
// active plan back (the on sequence makes three: read, switch, read back).
constexpr DWORD powercfg_runs_per_switch = 4;
// The driver's requests and the measurement of the counters after a sync (under 0.2 s on
// an idle machine), with room for a loaded one; a tool ended at its bound is waited for
// within this too.
DWORD switch_driver_bound_ms();
constexpr DWORD default_switch_driver_bound_ms = 5000;
// Only the simulated machine and the tests set these, before anything runs (0: the default).
void set_switch_bounds(DWORD powercfg_run_ms, DWORD driver_ms);
// One on or off sequence.
inline DWORD switch_bound_ms() { return powercfg_runs_per_switch * powercfg_run_bound_ms() + switch_driver_bound_ms(); }
// The most switches one pass of the owner runs.
constexpr DWORD switches_per_pass = 2;
// One pass of the owner.
inline DWORD pass_bound_ms() { return switches_per_pass * switch_bound_ms(); }
// The longest any caller waits for its wish to be taken: the pass that runs when it comes,
// then the pass that takes it (100 s with a 5 s powercfg bound; every step of a pass is
// bounded, so only tools and a driver that all hang to their limits come near it).
inline DWORD wish_bound_ms() { return 2 * pass_bound_ms(); }
