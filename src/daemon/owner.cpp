// Gaming Mode's one owner: a thread that converges the machine to what every source wishes
// (the tray's, the pipe's, the follower's, the watcher's, the power and session events', the
// exit's: wish_board.cpp), one pass at a time under the game-mode lock. A pass takes every
// wish made before it, runs at most two switches, and publishes the generation it reached with
// the state after it; however many wishes change during a pass, one more pass follows.
#include "daemon/daemon.h"
#include "daemon/daemon_state.h"
#include "daemon/wish_board.h"
#include "daemon/wishes.h"
#include "common/handle.h"
#include "common/scoped_lock.h"
#include "common/switch_bounds.h"
#include "common/trace.h"

#include <stdio.h>

namespace daemon_state {
namespace {

tk::unique_handle owner_thread;
// Whether Gaming Mode was on by the user's wish when the end turned it off; -1 until then.
LONG on_at_exit = -1;

// An on-period began: the last-on record says who began it.
void note_on_by(const Wishes& w)
{
    char words[MAX_PATH + 48];
    if (on_for_listed(w)) _snprintf(words, sizeof words - 1, "%s, a listed program, started", w.program);
    else lstrcpynA(words, "the user (the tray, tickmend-ctl, or Gaming Mode kept from the last session)", sizeof words);
    words[sizeof words - 1] = '\0';
    last_on_note_by(words);
}

void switch_on(const Wishes& w)
{
    // Named before the switch, so that the tray's first look at the new state names it.
    board_show_on_for(on_for_listed(w) ? w.program : nullptr);
    Qel_DaemonDoGameModeOn();
    if (game_mode_on) note_on_by(w);
}

// One pass with the lock held: the machine compared with the wishes of generation g, at most
// two switches. A plan change is judged as now; a resync is an off and an on.
int converge(Wishes& w, DWORD g)
{
    tk::scoped_lock lock(game_mode_lock.get()); // without the lock no sequence runs
    // A plan the user picked comes first: it is what the machine is left on, whatever this
    // pass does after it (a newer on of the user's switches on again from it), the exit too.
    if (w.picked.kind != plan_none && take_users_pick(w.picked, w.picked_overwritable) &&
        static_cast<LONG>(w.user_generation - w.picked_generation) < 0) {
        // It counts as the user's off, unless the user wished again after it.
        plan_taken_by_user(w);
        board_plan_taken(g);
    }
    if (w.ending) {
        // An on for listed programs is no start_mode of the user's.
        InterlockedExchange(&on_at_exit, game_mode_on && w.user == user_wish::on ? 1 : 0);
        Qel_DaemonDoGameModeOff();
        board_show_on_for(nullptr);
        return game_mode_on ? 1 : 0;
    }
    if (w.plan_check && turn_off_for_users_change(w.plan_period)) {
        plan_taken_by_user(w);
        board_plan_taken(g);
    }
    const bool want = wished_on(w);
    if (want && game_mode_on && w.resync) {
        // The counters and the northbridge bit may have been reset while the machine slept. A
        // plan the user picks meanwhile is judged after, in the new on-period.
        const LONG period = current_on_period();
        Qel_DaemonDoGameModeOff();
        switch_on(w);
        board_carry_plan_check(period, current_on_period());
    } else if (want && !game_mode_on) {
        switch_on(w);
    } else if (!want && (game_mode_on || w.give_back)) {
        // While off, an off tries again to give back what an earlier off could not.
        Qel_DaemonDoGameModeOff();
    }
    board_show_on_for(game_mode_on && on_for_listed(w) ? w.program : nullptr);
    return game_mode_on ? 1 : 0;
}

DWORD WINAPI owner_main(LPVOID)
{
    for (;;) {
        WaitForSingleObject(board_wake_event(), INFINITE);
        Wishes w;
        DWORD g;
        while (board_begin_pass(&w, &g)) {
            board_end_pass(g, converge(w, g));
            if (w.ending) return 0;
        }
    }
}

} // namespace

bool owner_gone()
{
    return !owner_thread || WaitForSingleObject(owner_thread.get(), 0) == WAIT_OBJECT_0;
}

bool start_owner()
{
    if (!owner_gone()) {
        TRACE("start_owner : the earlier owner still runs\n");
        return false;
    }
    owner_thread.reset();
    if (!board_open()) return false;
    InterlockedExchange(&on_at_exit, -1);
    watch_plan_changes(board_wish_plan_check);
    owner_thread.reset(CreateThread(nullptr, 0, owner_main, nullptr, 0, nullptr));
    if (owner_thread) return true;
    board_wish_end();
    return false;
}

int stop_owner()
{
    if (!owner_thread) return -1;
    board_wish_end();
    const DWORD bound = wish_bound_ms();
    if (WaitForSingleObject(owner_thread.get(), bound) != WAIT_OBJECT_0) {
        // Every step of every switch is bounded, so this takes a driver that never answers. The
        // thread keeps its handle, so that no second owner starts while it lives.
        TRACE("Qel_DaemonExit : the owner did not finish within %lu ms\n", bound);
        return -1;
    }
    owner_thread.reset();
    return static_cast<int>(on_at_exit);
}

} // namespace daemon_state

int Qel_DaemonGameModeShown()
{
    return daemon_state::game_mode_on ? 1 : 0;
}

int Qel_DaemonWasOnAtExit()
{
    return static_cast<int>(InterlockedCompareExchange(&daemon_state::on_at_exit, 0, 0));
}
