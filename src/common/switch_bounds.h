// How long a Gaming Mode switch can take at worst, built up from its parts, so that every
// wait for one (a pipe client's, a state read's, the exit's, "/k"'s) is the switch's own
// bound rather than a guess.
#pragma once
#include <windows.h>

// One powercfg run: a tool that outlives this is ended, and waited for until it has ended.
constexpr DWORD powercfg_run_bound_ms = 5000;
// The most powercfg runs one sequence makes: the off sequence reads the active plan, lists
// the plans for the one to give back, activates it and, when that run failed, reads the
// active plan back (the on sequence makes three: read, switch, read back).
constexpr DWORD powercfg_runs_per_switch = 4;
// The driver's requests and the measurement of the counters after a sync (under 0.2 s on
// an idle machine), with room for a loaded one; a tool ended at its bound is waited for
// within this too.
constexpr DWORD switch_driver_bound_ms = 5000;
// One on or off sequence.
constexpr DWORD switch_bound_ms = powercfg_runs_per_switch * powercfg_run_bound_ms + switch_driver_bound_ms;

// A bound as this process waits it: the real one, divided by the divisor that a simulated
// build (tickmend-sim.exe, tickmend-ctl-sim.exe: TICKMEND_SIM_BOUNDS_DIVISOR) or a test set;
// what ships never sets one. Every bound divided alike keeps its place among the others, so
// a test sees each rule at a fraction of its real wait.
DWORD bound_ms(DWORD real_ms);
// Sets that divisor (1: the real bounds; 0 counts as 1).
void bounds_divide_by(DWORD divisor);
