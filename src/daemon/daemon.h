// The daemon: whether Gaming Mode can be offered, its on and off sequences, and the TSC
// drift registration of single-node machines.
//
// Gaming Mode has one owner, a thread of the daemon's: every order, from whatever source,
// is queued to it and run in the order it came, one at a time, and answered with the state
// after it ran. A wait for an answer is bounded by the switches queued before it and its own
// (src/common/switch_bounds.h); an answer that does not come within it is game_mode_busy,
// never an old state.
#pragma once
#include <windows.h>

// Starts the daemon for the life of the process (one role: drift registration on one node,
// Gaming Mode on several, with its owner thread). 1 when it runs; *available gets 1 when
// Gaming Mode is offered.
int Qel_DaemonStart(int a, int b, int* available);
// Turns Gaming Mode off after every order queued before, waiting for that within its bound,
// ends the owner, closes the lock, withdraws a drift registration. Safe to repeat.
void Qel_DaemonExit();
// Whether Gaming Mode was on when the last exit turned it off, by the user's choice (an on
// that follow_on made counts as off); -1 when that exit did not run its off within its
// bound (or no exit ran).
int Qel_DaemonWasOnAtExit();

// What can be asked of Gaming Mode's owner.
enum class daemon_order {
    state,        // nothing: the state after every order before it
    on,           // "1"
    off,          // "0"; while off, tries again to give back what an earlier off could not
    resume,       // after a suspend: when on, off and on again
    users_change, // the power plan changed from outside: off, leaving the plan, when it is the user's
    exit,         // off, and the owner ends (Qel_DaemonExit's own)
    // The follower's two (src/follow). Every other on and off is the user's: the tray, the
    // pipe, start_mode and a reconnection.
    follow_on,    // a listed program started: on, unless the user's off holds (below) or it is on
    follow_off,   // the last listed program ended: off, only when follow_on switched it on
};
// The user's choice first: an off of the user's (or a power plan the user picked) while
// listed programs run holds until they have all ended; follow_on then does nothing. An on
// of the user's is never switched off by follow_off, also when it came while one ran.
// The answers that are not a state.
constexpr int game_mode_busy = -1;    // not answered within its bound; the order still runs, in its turn
constexpr int game_mode_refused = -2; // not taken: no Gaming Mode here, the daemon is ending, or 15 wait

// Queues order and waits for it within its bound, or until stop (may be null) is set: the
// state after it ran (0 or 1), game_mode_busy or game_mode_refused.
int Qel_DaemonOrder(daemon_order order, HANDLE stop = nullptr);
// Queues order without waiting; once it ran, window gets message with the answer in wParam.
// 1 when queued, game_mode_refused when not.
int Qel_DaemonPostOrder(daemon_order order, HWND window, UINT message);
// Queues follow_on or follow_off without waiting; program: the file name the follower saw
// (kept, cut at MAX_PATH). 1 when queued, game_mode_refused when not.
int Qel_DaemonPostFollow(daemon_order order, const char* program);
// The follower's report of the listed programs running now: how many, and the file name of
// one of them (the one the tray names; null when none runs). Never waits; a later report
// replaces an earlier one.
void Qel_DaemonSetFollowed(int running, const char* program);
// Without waiting, for display: 1 with the program's file name in buffer when Gaming Mode
// is on because follow_on switched it on, else 0 with buffer empty.
int Qel_DaemonFollowedProgram(char* buffer, int size);
// The state as it stands, without waiting: a switch that is running shows the state before
// it. For what only shows the state (the tray's icon, tooltip and menu), never to act on.
int Qel_DaemonGameModeShown();

// "1" turns Gaming Mode on, "0" off, waiting for it as Qel_DaemonOrder does; any other text
// is ignored.
void Qel_DaemonDoCommand(const char* command);
// The Gaming Mode state after every order queued before: 0, 1, or game_mode_busy (or
// game_mode_refused where there is no Gaming Mode: then it is off).
int Qel_DaemonIsGameModeOn();
// With no instance running: gives back the power plan and northbridge bits that an earlier
// run left owed (it ended while Gaming Mode was on, or a restore failed); 1 when nothing is
// owed any more.
int Qel_DaemonFinishRestore();

// A power plan change seen from outside while Gaming Mode is on (the power-personality
// notification): queues the order that turns Gaming Mode off, leaving the plan as it is,
// only when the active plan is no longer the one Gaming Mode set. 1 when queued.
int Qel_DaemonPlanChangedOutside();
// Set by the owner when it sees the power scheme changed from outside while Gaming Mode is
// on; the off sequence then leaves the scheme alone. Cleared by the next on sequence.
extern volatile LONG scheme_changed_externally;

// The sequences, run by the owner with the lock held; and the drift registration.
void Qel_DaemonDoGameModeOn();
void Qel_DaemonDoGameModeOff();
int register_tickmend();
void deregister_tickmend();
// What the last register_tickmend achieved, in words ("drift compensation registered on 2
// processors (interval 1000 ms)", or why not).
const char* drift_registration_words();
