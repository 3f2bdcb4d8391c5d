// Private to the daemon: the state that its lifecycle (daemon.cpp), the owner (owner.cpp), the
// on and off sequences (gaming_mode.cpp, report.cpp) and the watcher (watcher.cpp) share, and
// what each offers the others. Calls run one way: daemon -> owner -> sequences -> watcher.
#pragma once
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"
#include "common/handle.h"

#include <windows.h>

namespace daemon_state {

// The game-mode lock: exists only while the daemon runs on a multi-node machine.
extern tk::unique_handle game_mode_lock;
extern volatile LONG game_mode_on;
// What the on-period owes the user: written to the registry before anything is taken, kept
// until everything is given back (nb_nodes: the node passes that cleared the northbridge
// bit). Changed under the lock, or before the lock exists.
extern restore_record owed;

// Gaming Mode's owner (owner.cpp). Started once the lock exists; false, and nothing touched,
// while an earlier owner that did not end within its bound still runs. stop_owner wishes the
// end and waits for it once, within wish_bound_ms: whether Gaming Mode was on by the user's
// wish then, or -1 when the owner did not end in time (it keeps the lock; what it leaves owed
// stays in the record for the next start).
bool start_owner();
int stop_owner();
// Whether no owner thread lives (none started, or the last one ended).
bool owner_gone();

// What the measurement of the counters after a sync found (sync_check.cpp).
struct sync_check {
    bool ran;
    sync_unchecked why_not; // when it did not run
    bool in_step;           // every offset within its uncertainty plus sync_tolerance_ns
    int cpu;                // in step: the one whose |offset| + uncertainty is largest; out of
                            // step: the one furthest beyond its uncertainty
    double offset_ns;       // its |offset|
    double uncertainty_ns;  // its uncertainty
    double bound_ns;        // the largest |offset| + uncertainty: every processor measured is
                            // within it of the first
    DWORD_PTR measured;     // the processors measured, the first among them
};
// Round trips per processor: fewer than tickmend-ctl skew's 2000, enough for an uncertainty
// within twice its own, and quick enough to follow every on sequence. On an idle machine
// they take well under a millisecond; where the two threads of a round trip cannot run at
// once (a busy machine), each round trip waits for a yield, and the rounds of a processor
// end after sync_check_budget_us; processors measured loose are measured again only while
// that still fits in sync_check_ms.
constexpr int sync_check_rounds = 200;
constexpr DWORD sync_check_budget_us = 2000;
constexpr LONGLONG sync_check_ms = 30;

// What one on sequence achieved.
struct on_outcome {
    plan_outcome plan;
    northbridge_outcome northbridge;
    driver_outcome driver;
    TscReplyWords reply; // the first refusal
    bool cores_unbound;  // no core request went out: the affinity masks could not be read
    DWORD_PTR synced;    // the processors a core request went out from
    DWORD_PTR unbound;   // the processors no core request went out from: binding them failed
    sync_check check;
};

// The watcher (watcher.cpp). Its events and key are made before the on sequence; it starts
// after it, and is released (with the lock held) once per on-period. What it sees goes to
// plan_seen, handed in once by the owner: the watcher never calls the owner.
using plan_seen_fn = void (*)(LONG period);
void watch_plan_changes(plan_seen_fn plan_seen);
void prepare_watcher();
void start_watcher();
void release_watcher();
// The on-period now running (or last run).
LONG current_on_period();

// The sequences (gaming_mode.cpp), run with the lock held.
void game_mode_on_sequence(on_outcome& outcome);
void game_mode_off_sequence();
// Measures the processors of synced against the first of them, with the calling thread at
// the process's own priority class (never inside the realtime window).
void check_sync(DWORD_PTR synced, sync_check& check);
// Records the on sequence's outcome for tickmend-ctl and raises or clears its notices
// (report.cpp).
void report(const on_outcome& outcome);
// Gives back what the on-period still owes; true when nothing is owed any more.
bool give_back(bool restore_plan);
// Turns Gaming Mode off for a power plan change seen from outside, leaving the plan as it is,
// only when the change is the user's: the active plan, read now, is no longer the one Gaming
// Mode set (a change of our own, or a notification that came late, is not the user's).
// Run by the owner with the lock held, for the on-period period; true when Gaming Mode went off.
bool turn_off_for_users_change(LONG period);
// A plan Windows named as made active by someone else: the user's pick, and it stands. While
// Gaming Mode is on it goes off for it, and the pick is what the off leaves active; where a
// switch of ours may have overwritten it (overwritable: one ran as it came, or began since), it
// is made active again, or stays owed until it can be. Run by the owner with the lock held;
// true when it is the user's (it then counts as the user's off), false for our own plan.
bool take_users_pick(const power_plan& picked, bool overwritable);

} // namespace daemon_state

// Set when the power scheme was changed from outside while Gaming Mode was on: the off
// sequence then leaves the scheme alone. Cleared by the next on sequence. (Global, as the
// tests' own daemon defines it too: daemon_testing.h.)
extern volatile LONG scheme_changed_externally;

// The sequences as the owner runs them, with the lock held (gaming_mode.cpp): "1" while on
// does nothing; "0" while off tries again to give back what an earlier off could not.
void Qel_DaemonDoGameModeOn();
void Qel_DaemonDoGameModeOff();

// Drift registration on a single node (drift.cpp); words: what the last register_tickmend
// achieved ("drift compensation registered on 2 processors (interval 1000 ms)", or why not).
int register_tickmend();
void deregister_tickmend();
const char* drift_registration_words();
