// The daemon: Gaming Mode on a multi-node machine, TSC drift registration on one node.
//
// Every source wishes (on, off, a resync, the end) and Gaming Mode's one owner thread
// converges the machine to the wishes; a wish is never refused for being one too many. A
// caller that waits gets the state after the pass that took its wish, within wish_bound_ms,
// or game_mode_busy: never an old state.
#pragma once
#include "notice/wording.h"

#include <windows.h>

// Starts the daemon for the process's life; 1 when it runs, *available 1 when Gaming Mode
// is offered.
int Qel_DaemonStart(int a, int b, int* available);
// Turns Gaming Mode off after every wish made before, within wish_bound_ms, and stops the
// owner; withdraws a drift registration. Safe to repeat.
void Qel_DaemonExit();
// Whether Gaming Mode was on by the user's wish when the last exit turned it off (an on for
// listed programs counts as off); -1 when that exit did not end within its bound (or none ran).
int Qel_DaemonWasOnAtExit();
// Without waiting: 1 when the user's wish is Gaming Mode on, 0 when not, -1 where there is no
// Gaming Mode. What start_mode keeps.
int Qel_DaemonUsersWish();

// What a caller can wish of Gaming Mode's owner.
enum class daemon_wish {
    state,        // nothing: the state once every wish made before is taken
    on,           // the user's on ("1")
    off,          // the user's off ("0"); while off, tries again to give back what an earlier off could not
    resume,       // after a suspend: when on, synchronize again (off and on); resumes merge into one
    users_change, // the power plan changed from outside: off, leaving the plan, when it is the user's
};
// The answers that are not a state.
constexpr int game_mode_busy = -1;    // not taken within wish_bound_ms: the wish holds, the state is not known
constexpr int game_mode_refused = -2; // no Gaming Mode here, or the daemon is ending

// Makes the wish and waits for the pass that takes it, within wish_bound_ms or until stop (may
// be null) is set: the state then (0 or 1), game_mode_busy or game_mode_refused.
int Qel_DaemonWish(daemon_wish wish, HANDLE stop = nullptr);
// Makes the wish without waiting; once it is taken, window gets message with the state in
// wParam (one message for any number of wishes posted to the same window and message before
// it was taken). 1 when made, game_mode_refused when not.
int Qel_DaemonPostWish(daemon_wish wish, HWND window, UINT message);
// The follower's report of the listed programs running now: how many, and the file name of
// one of them (the one the tray names; null when none runs). Never waits; a later report
// replaces an earlier one.
void Qel_DaemonSetFollowed(int running, const char* program);
// Without waiting, for display: 1 with the program's file name in buffer when Gaming Mode
// is on for listed programs rather than by the user's wish, else 0 with buffer empty.
int Qel_DaemonFollowedProgram(char* buffer, int size);
// The state as it stands, without waiting: a switch that is running shows the state before
// it. For what only shows the state (the tray's icon, tooltip and menu), never to act on.
int Qel_DaemonGameModeShown();

// "1" wishes Gaming Mode on, "0" off, waiting for it as Qel_DaemonWish does; any other text
// is ignored.
void Qel_DaemonDoCommand(const char* command);
// The Gaming Mode state once every wish made before is taken: 0, 1, or game_mode_busy (0
// where there is no Gaming Mode).
int Qel_DaemonIsGameModeOn();
// With no instance running: gives back the power plan and northbridge bits that an earlier
// run left owed (it ended while Gaming Mode was on, or a restore failed); 1 when nothing is
// owed any more.
int Qel_DaemonFinishRestore();

// Measures the clocks (TSC offsets) of every processor against the first, as the check after
// a sync does, for the status window's "Measure again"; waits for a running switch at most
// bound_ms. 1 with *facts filled (checked false: why_not says why none ran); 0 where there is
// no Gaming Mode, or a switch still ran after bound_ms.
int Qel_DaemonMeasureCounters(sync_check_facts* facts, DWORD bound_ms);

// A power plan change seen from outside while Gaming Mode is on (the power-personality
// notification): the owner judges it in its next pass and turns Gaming Mode off, leaving the
// plan as it is, only when the active plan is no longer the one Gaming Mode set. 1 when made.
int Qel_DaemonPlanChangedOutside();
// Windows made the power plan guid (text, 8-4-4-4-12) active (a change: not its statement
// of the plan at registration). Unless it is the plan of tickmend's own latest switch, it is
// the user's pick, and the owner takes it in its next pass as the user's latest wish: it
// stands, whatever switch runs as it comes (an on, a resync, an off's give-back). Gaming Mode
// goes off for it and the pick is what the off leaves active; one that a switch of ours
// overwrote is made active again (or owed until it can be). 1 when made as the user's, 0 when
// it was ours, is not a plan, or no owner takes wishes.
int Qel_DaemonPlanActivated(const char* guid);
