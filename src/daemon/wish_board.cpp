// The board of wishes: a source changes its wish under a short lock and takes the next
// generation number; a caller that waits for its wish waits for its generation, within
// wish_bound_ms. Nothing is queued, so nothing overflows and nothing is refused for being one
// too many.
#include "daemon/wish_board.h"
#include "daemon/daemon_state.h"
#include "common/handle.h"
#include "common/scoped_lock.h"
#include "common/switch_bounds.h"
#include "common/trace.h"
#include "notice/notice.h"

namespace daemon_state {
namespace {

// Windows told by message once their wish is taken: one place per window and message, the
// newest generation asked for. The tray is the one such window today; a fifth pair would be a
// caller of ours we have not written, and it is told at once with the state as it stands.
constexpr int told_size = 4;
struct Told {
    HWND window;
    UINT message;
    DWORD generation;
};

// Everything below is guarded by board_lock, but for the wake event.
CRITICAL_SECTION board_lock;
bool board_lock_made = false;
Wishes wishes;
DWORD generation = 0;  // of the newest wish
DWORD taking = 0;      // the generation the running pass took (reached, while no pass runs)
DWORD reached = 0;     // the generation the last pass finished
int reached_state = 0; // Gaming Mode after it
bool accepting = false; // an owner runs and the end is not wished
// Set when the running pass ends, and when the next one ends; waiters hold duplicates, so the
// owner closes its own handle once it has set one.
tk::unique_handle running_done;
tk::unique_handle next_done;
Told told[told_size];
// What the tray shows of the on-period: on for a listed program, and which.
bool shown_for_listed = false;
char shown_program[MAX_PATH];
tk::unique_handle wake_event;
// Our own plan switches: how many have begun, whether one runs now, and the plan of the
// latest. A pick keeps how many had begun, and whether one ran, when it came: a switch of
// ours that ran then or began since may have overwritten it.
DWORD own_switches = 0;
bool own_switch_running = false;
power_plan own_target = {};
bool own_target_named = false; // Windows named it since our switch to it began, or a pick came after it
// The target before it, and whether Windows may still name it: Windows names plans in the order
// they became active, so a notification of our earlier switch can come after our next one
// began (an off right after an on) and is ours, not a pick; once Windows has named our newer
// target, or a plan of someone else's, nothing of the earlier switch is still to come.
power_plan own_earlier = {};
bool own_earlier_due = false;
DWORD picked_at_switches = 0;
bool picked_during_switch = false;

bool at_or_after(DWORD a, DWORD b) { return static_cast<LONG>(a - b) >= 0; }

// Changes a wish under the lock and wakes the owner; the wish's generation, 0 when refused.
template <typename Change>
DWORD make_wish(Change change)
{
    if (!board_lock_made) return 0;
    DWORD g;
    {
        tk::scoped_lock guard(board_lock);
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
        if (!board_lock_made) return 0;
        tk::scoped_lock guard(board_lock);
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
        tk::unique_handle done;
        {
            tk::scoped_lock guard(board_lock);
            if (at_or_after(reached, g)) return reached_state;
            HANDLE source = at_or_after(taking, g) ? running_done.get() : next_done.get();
            if (source)
                DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), done.put(), SYNCHRONIZE, FALSE, 0);
        }
        const DWORD waited = GetTickCount() - start;
        if (waited >= bound) {
            TRACE("Qel_DaemonWish : generation %lu not taken within %lu ms\n", g, bound);
            return game_mode_busy;
        }
        // Without an event of its own (none could be made) the wait looks again every 10 ms.
        HANDLE events[2] = {done.get(), stop};
        DWORD woken;
        if (done) woken = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, bound - waited);
        else woken = stop ? WaitForSingleObject(stop, 10) : (Sleep(10), WAIT_TIMEOUT);
        if ((done && stop && woken == WAIT_OBJECT_0 + 1) || (!done && woken == WAIT_OBJECT_0)) {
            tk::scoped_lock guard(board_lock);
            return at_or_after(reached, g) ? reached_state : game_mode_busy;
        }
    }
}

} // namespace

bool board_open()
{
    if (!board_lock_made) {
        InitializeCriticalSection(&board_lock);
        board_lock_made = true;
    }
    if (!wake_event) wake_event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!wake_event) return false;
    tk::scoped_lock guard(board_lock);
    if (!next_done) next_done.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    wishes = Wishes();
    taking = reached = generation;
    reached_state = 0;
    for (Told& t : told) t.window = nullptr;
    shown_for_listed = false;
    shown_program[0] = '\0';
    accepting = true;
    return true;
}

void board_wish_plan_check(LONG period)
{
    wish_generation(daemon_wish::users_change, period);
}

DWORD board_wish_pick(const power_plan& plan)
{
    if (plan.kind == plan_none) return 0;
    bool ours = false;
    DWORD g = make_wish([&](Wishes& w, DWORD generation) {
        ours = own_target.kind != plan_none && SamePowerPlan(&plan, &own_target);
        if (ours) own_target_named = true;
        else ours = own_earlier_due && SamePowerPlan(&plan, &own_earlier);
        own_earlier_due = false;
        if (ours) return;
        // Our latest switch, ended before the pick came, was named before it or never will be.
        if (!own_switch_running) own_target_named = true;
        wish_pick(w, plan, generation);
        picked_at_switches = own_switches;
        picked_during_switch = own_switch_running;
    });
    return ours ? 0 : g;
}

void board_own_switch_begins(const power_plan& plan)
{
    if (!board_lock_made) return;
    tk::scoped_lock guard(board_lock);
    ++own_switches;
    own_switch_running = true;
    if (own_target.kind != plan_none && SamePowerPlan(&plan, &own_target)) return;
    // A switch whose target is not known yet (plan_none) keeps the earlier one due.
    if (own_target.kind != plan_none) {
        own_earlier = own_target;
        own_earlier_due = !own_target_named;
    }
    own_target = plan;
    own_target_named = false;
}

void board_own_switch_ends()
{
    if (!board_lock_made) return;
    tk::scoped_lock guard(board_lock);
    own_switch_running = false;
}

power_plan board_own_target()
{
    power_plan target = {};
    if (!board_lock_made) return target;
    tk::scoped_lock guard(board_lock);
    return own_target;
}

void board_wish_end()
{
    make_wish([](Wishes& w, DWORD) {
        w.ending = true;
        accepting = false; // every wish after the end is refused
    });
}

HANDLE board_wake_event() { return wake_event.get(); }

bool board_begin_pass(Wishes* w, DWORD* g)
{
    tk::scoped_lock guard(board_lock);
    if (reached == generation) return false;
    *g = generation;
    *w = wishes;
    w->picked_overwritable = picked_during_switch || picked_at_switches != own_switches;
    // What a pass takes once: resumes, plan changes, picks and give-backs made during it come
    // again in the next.
    wishes.resync = wishes.plan_check = wishes.give_back = false;
    wishes.picked.kind = plan_none;
    taking = *g;
    running_done = std::move(next_done);
    next_done.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    return true;
}

void board_plan_taken(DWORD g)
{
    tk::scoped_lock guard(board_lock);
    // A wish of the user's made since this pass began is newer than the pick: it stands.
    if (!wish_newer_than_pass(wishes.user_generation, g)) plan_taken_by_user(wishes);
}

void board_carry_plan_check(LONG from_period, LONG to_period)
{
    tk::scoped_lock guard(board_lock);
    if (wishes.plan_check && wishes.plan_period == from_period) wishes.plan_period = to_period;
}

void board_end_pass(DWORD g, int state)
{
    Told tell[told_size];
    int telling = 0;
    {
        tk::scoped_lock guard(board_lock);
        reached = g;
        reached_state = state;
        if (running_done) {
            SetEvent(running_done.get());
            running_done.reset();
        }
        for (Told& t : told) {
            if (!t.window || !at_or_after(g, t.generation)) continue;
            tell[telling++] = t;
            t.window = nullptr;
        }
    }
    for (int i = 0; i < telling; ++i) PostMessageA(tell[i].window, tell[i].message, static_cast<WPARAM>(state), 0);
}

void board_show_on_for(const char* program)
{
    bool changed;
    {
        tk::scoped_lock guard(board_lock);
        changed = shown_for_listed != (program != nullptr) || (program && lstrcmpiA(shown_program, program) != 0);
        shown_for_listed = program != nullptr;
        lstrcpynA(shown_program, program ? program : "", sizeof shown_program);
    }
    // A change of whose the on-period is switches nothing, so the tray is told here.
    if (changed) notice_changed();
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
        tk::scoped_lock guard(board_lock);
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
    if (!board_lock_made) return;
    {
        // The same report again changes nothing, and costs no pass.
        tk::scoped_lock guard(board_lock);
        const int now = running > 0 ? running : 0;
        if (wishes.followed == now && lstrcmpiA(wishes.program, now && program ? program : "") == 0) return;
    }
    make_wish([running, program](Wishes& w, DWORD) { wish_followed(w, running, program); });
}

int Qel_DaemonFollowedProgram(char* buffer, int size)
{
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    if (!board_lock_made) return 0;
    tk::scoped_lock guard(board_lock);
    if (!shown_for_listed) return 0;
    lstrcpynA(buffer, shown_program, size);
    return 1;
}

int Qel_DaemonUsersWish()
{
    if (!board_lock_made) return -1;
    tk::scoped_lock guard(board_lock);
    if (!accepting) return -1;
    return wishes.user == user_wish::on ? 1 : 0;
}

int Qel_DaemonPlanChangedOutside()
{
    return wish_generation(daemon_wish::users_change, current_on_period()) ? 1 : 0;
}
