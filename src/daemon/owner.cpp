// Gaming Mode's one owner: a thread that holds what every source wishes (the tray's, the
// pipe's, the follower's, the watcher's, the power and session events', the exit's) and
// converges the machine to it, one pass at a time under the game-mode lock. A source changes
// its wish under a short lock and takes the next generation number; a pass takes every wish
// made before it, runs at most two switches, and publishes the generation it reached with the
// state after it. Nothing is queued, so nothing overflows and nothing is refused for being one
// too many; a caller that waits for its wish waits for its generation, within wish_bound_ms.
#include "daemon/daemon.h"
#include "daemon/daemon_state.h"
#include "daemon/wishes.h"
#include "common/switch_bounds.h"
#include "common/trace.h"
#include "notice/notice.h"

#include <stdio.h>

namespace daemon_state {
namespace {

// Windows told by message once their wish is taken: one place per window and message, the
// newest generation asked for. The tray is the one such window today; a fifth pair would be a
// caller of ours we have not written, and it is told at once with the state as shown.
constexpr int told_size = 4;
struct Told {
    HWND window;
    UINT message;
    DWORD generation;
};

// Everything below is guarded by wish_lock, but for the owner's own handles.
CRITICAL_SECTION wish_lock;
bool wish_lock_made = false;
Wishes wishes;
DWORD generation = 0;  // of the newest wish
DWORD taking = 0;      // the generation the running pass took (reached, while no pass runs)
DWORD reached = 0;     // the generation the last pass finished
int reached_state = 0; // Gaming Mode after it
bool accepting = false; // the owner runs and the end is not wished
// Set when the running pass ends, and when the next one ends; waiters hold duplicates, so the
// owner closes its own handle once it has set one.
HANDLE running_done = nullptr;
HANDLE next_done = nullptr;
Told told[told_size];
// What the tray shows of the on-period: on for a listed program, and which.
bool shown_for_listed = false;
char shown_program[MAX_PATH];

tk::unique_handle owner_thread;
tk::unique_handle wake_event; // auto reset: a wish changed
// Whether Gaming Mode was on by the user's wish when the end turned it off; -1 until then.
LONG on_at_exit = -1;

struct WishGuard {
    WishGuard() { EnterCriticalSection(&wish_lock); }
    ~WishGuard() { LeaveCriticalSection(&wish_lock); }
    WishGuard(const WishGuard&) = delete;
    WishGuard& operator=(const WishGuard&) = delete;
};

bool at_or_after(DWORD a, DWORD b) { return static_cast<LONG>(a - b) >= 0; }

// Whose the on-period is, as the tray shows it (a change of owner alone switches nothing, so
// the tray is told here).
void show_on_for(const char* program)
{
    bool changed;
    {
        WishGuard guard;
        changed = shown_for_listed != (program != nullptr) || (program && lstrcmpiA(shown_program, program) != 0);
        shown_for_listed = program != nullptr;
        lstrcpynA(shown_program, program ? program : "", sizeof shown_program);
    }
    if (changed) notice_changed();
}

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
    show_on_for(on_for_listed(w) ? w.program : nullptr);
    Qel_DaemonDoGameModeOn();
    if (game_mode_on) note_on_by(w);
}

// One pass with the lock held: the machine compared with the wishes of generation g, at most
// two switches. A plan change is judged as now; a resync is an off and an on.
int converge(Wishes& w, DWORD g)
{
    LockHolder lock;
    if (w.ending) {
        // An on for listed programs is no start_mode of the user's.
        InterlockedExchange(&on_at_exit, game_mode_on && w.user == user_wish::on ? 1 : 0);
        Qel_DaemonDoGameModeOff();
        show_on_for(nullptr);
        return game_mode_on ? 1 : 0;
    }
    if (w.plan_check && turn_off_for_users_change(w.plan_period)) {
        plan_taken_by_user(w);
        WishGuard guard;
        // A wish of the user's made since this pass began is newer than the pick: it stands.
        if (!at_or_after(wishes.user_generation, g + 1)) plan_taken_by_user(wishes);
    }
    const bool want = wished_on(w);
    if (want && game_mode_on && w.resync) {
        // The counters and the northbridge bit may have been reset while the machine slept.
        Qel_DaemonDoGameModeOff();
        switch_on(w);
    } else if (want && !game_mode_on) {
        switch_on(w);
    } else if (!want && (game_mode_on || w.give_back)) {
        // While off, an off tries again to give back what an earlier off could not.
        Qel_DaemonDoGameModeOff();
    }
    show_on_for(game_mode_on && on_for_listed(w) ? w.program : nullptr);
    return game_mode_on ? 1 : 0;
}

DWORD WINAPI owner_main(LPVOID)
{
    for (;;) {
        WaitForSingleObject(wake_event.get(), INFINITE);
        for (;;) {
            Wishes w;
            DWORD g;
            {
                WishGuard guard;
                if (reached == generation) break;
                g = generation;
                w = wishes;
                // What a pass takes once: resumes, plan changes and give-backs made during it
                // come again in the next.
                wishes.resync = wishes.plan_check = wishes.give_back = false;
                taking = g;
                running_done = next_done;
                next_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            }
            int state = converge(w, g);
            Told tell[told_size];
            int telling = 0;
            {
                WishGuard guard;
                reached = g;
                reached_state = state;
                if (running_done) {
                    SetEvent(running_done);
                    CloseHandle(running_done);
                    running_done = nullptr;
                }
                for (Told& t : told) {
                    if (!t.window || !at_or_after(g, t.generation)) continue;
                    tell[telling++] = t;
                    t.window = nullptr;
                }
            }
            for (int i = 0; i < telling; ++i)
                PostMessageA(tell[i].window, tell[i].message, static_cast<WPARAM>(state), 0);
            if (w.ending) return 0;
        }
    }
}

// Changes a wish under the lock (change may be null: only a new generation, to be told when
// every wish before is taken) and wakes the owner; the wish's generation, 0 when refused.
template <typename Change>
DWORD make_wish(Change change)
{
    if (!wish_lock_made) return 0;
    DWORD g;
    {
        WishGuard guard;
        if (!accepting) return 0;
        g = ++generation;
        if (g == 0) g = ++generation; // 0 stays "refused"
        change(wishes, g);
    }
    SetEvent(wake_event.get());
    return g;
}

DWORD wish_generation(daemon_wish wish, LONG period)
{
    if (wish == daemon_wish::state) {
        // Nothing changes: the generation of the newest wish is the one to wait for.
        if (!wish_lock_made) return 0;
        WishGuard guard;
        if (!accepting) return 0;
        if (generation == 0) generation = reached = taking = 1; // 0 stays "refused"
        return generation;
    }
    return make_wish([wish, period](Wishes& w, DWORD g) {
        switch (wish) {
        case daemon_wish::on: wish_user(w, true, g); break;
        case daemon_wish::off: wish_user(w, false, g); break;
        case daemon_wish::resume: w.resync = true; break;
        case daemon_wish::users_change:
            w.plan_check = true;
            w.plan_period = period;
            break;
        case daemon_wish::state: break;
        }
    });
}

// Waits until generation g is taken, within wish_bound_ms or until stop is set.
int wait_for(DWORD g, HANDLE stop)
{
    const DWORD bound = wish_bound_ms();
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE done = nullptr;
        {
            WishGuard guard;
            if (at_or_after(reached, g)) return reached_state;
            HANDLE source = at_or_after(taking, g) ? running_done : next_done;
            if (source)
                DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &done, SYNCHRONIZE, FALSE, 0);
        }
        const DWORD waited = GetTickCount() - start;
        if (waited >= bound) {
            if (done) CloseHandle(done);
            TRACE("Qel_DaemonWish : generation %lu not taken within %lu ms\n", g, bound);
            return game_mode_busy;
        }
        // Without an event of its own (none could be made) the wait looks again every 10 ms.
        HANDLE events[2] = {done, stop};
        DWORD woken;
        if (done) woken = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, bound - waited);
        else woken = stop ? WaitForSingleObject(stop, 10) : (Sleep(10), WAIT_TIMEOUT);
        if (done) CloseHandle(done);
        if ((done && stop && woken == WAIT_OBJECT_0 + 1) || (!done && woken == WAIT_OBJECT_0)) {
            WishGuard guard;
            return at_or_after(reached, g) ? reached_state : game_mode_busy;
        }
    }
}

void report_plan_seen(LONG period)
{
    wish_generation(daemon_wish::users_change, period);
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
    if (!wish_lock_made) {
        InitializeCriticalSection(&wish_lock);
        wish_lock_made = true;
    }
    wake_event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!wake_event) return false;
    {
        WishGuard guard;
        wishes = Wishes();
        taking = reached = generation;
        reached_state = 0;
        for (Told& t : told) t.window = nullptr;
        if (!next_done) next_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        shown_for_listed = false;
        shown_program[0] = '\0';
        accepting = true;
    }
    InterlockedExchange(&on_at_exit, -1);
    watch_plan_changes(report_plan_seen);
    owner_thread.reset(CreateThread(nullptr, 0, owner_main, nullptr, 0, nullptr));
    if (owner_thread) return true;
    WishGuard guard;
    accepting = false;
    return false;
}

int stop_owner()
{
    if (!owner_thread) return -1;
    make_wish([](Wishes& w, DWORD) {
        w.ending = true;
        accepting = false; // every wish after the end is refused
    });
    const DWORD bound = wish_bound_ms();
    if (WaitForSingleObject(owner_thread.get(), bound) != WAIT_OBJECT_0) {
        // Every step of every switch is bounded, so this takes a driver that never answers. The
        // thread keeps its handles, so that no second owner starts while it lives.
        TRACE("Qel_DaemonExit : the owner did not finish within %lu ms\n", bound);
        return -1;
    }
    owner_thread.reset();
    wake_event.reset();
    return static_cast<int>(on_at_exit);
}

} // namespace daemon_state

using namespace daemon_state;

int Qel_DaemonWish(daemon_wish wish, HANDLE stop)
{
    DWORD g = wish_generation(wish, current_on_period());
    return g ? wait_for(g, stop) : game_mode_refused;
}

int Qel_DaemonPostWish(daemon_wish wish, HWND window, UINT message)
{
    DWORD g = wish_generation(wish, current_on_period());
    if (!g) return game_mode_refused;
    if (!window) return 1;
    bool placed = false;
    int state = 0;
    {
        WishGuard guard;
        state = reached_state; // for a wish taken already, or a fifth window and message
        if (!at_or_after(reached, g)) {
            Told* free_place = nullptr;
            for (Told& t : told) {
                if (t.window == window && t.message == message) {
                    t.generation = g;
                    placed = true;
                    break;
                }
                if (!t.window && !free_place) free_place = &t;
            }
            if (!placed && free_place) {
                *free_place = {window, message, g};
                placed = true;
            }
        }
    }
    if (!placed) PostMessageA(window, message, static_cast<WPARAM>(state), 0);
    return 1;
}

void Qel_DaemonSetFollowed(int running, const char* program)
{
    if (!wish_lock_made) return;
    {
        // The same report again changes nothing, and costs no pass.
        WishGuard guard;
        const int now = running > 0 ? running : 0;
        if (wishes.followed == now && lstrcmpiA(wishes.program, now && program ? program : "") == 0) return;
    }
    make_wish([running, program](Wishes& w, DWORD) { wish_followed(w, running, program); });
}

int Qel_DaemonFollowedProgram(char* buffer, int size)
{
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    if (!wish_lock_made) return 0;
    WishGuard guard;
    if (!shown_for_listed) return 0;
    lstrcpynA(buffer, shown_program, size);
    return 1;
}

int Qel_DaemonGameModeShown()
{
    return game_mode_on ? 1 : 0;
}

int Qel_DaemonUsersWish()
{
    if (!wish_lock_made) return -1;
    WishGuard guard;
    if (!accepting && !owner_thread) return -1;
    return wishes.user == user_wish::on ? 1 : 0;
}

int Qel_DaemonWasOnAtExit()
{
    return static_cast<int>(InterlockedCompareExchange(&on_at_exit, 0, 0));
}

int Qel_DaemonPlanChangedOutside()
{
    return wish_generation(daemon_wish::users_change, current_on_period()) ? 1 : 0;
}
