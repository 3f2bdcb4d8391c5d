// Gaming Mode's one owner: a thread that takes every order (the tray's, the pipe's, the
// watcher's, the power and session events', the exit's) in the order they came, runs one at
// a time under the game-mode lock, checking the state and acting on it in that one step, and
// answers each with the state after it. Nobody else reads the state as fact or switches it:
// a caller that must not wait long asks with a bound derived from the switches queued before
// it, and hears "busy" rather than an old state.
#include "daemon/daemon.h"
#include "daemon/daemon_state.h"
#include "common/switch_bounds.h"
#include "common/trace.h"
#include "notice/notice.h"

#include <stdio.h>

namespace daemon_state {
namespace {

// Orders waiting at once; one more is refused out loud. The last place is the exit's, so
// that the exit is never refused.
constexpr int queue_size = 16;

struct Order {
    daemon_order kind;
    LONG period;     // users_change: the on-period the change was seen in
    HANDLE done;     // set once it ran; null when nobody (or nobody any more) waits
    int* answer;     // where the state after it goes, with done
    HWND window;     // told with message once it ran (null: nobody)
    UINT message;
    DWORD ticket;    // its place in the order of arrival
    char program[MAX_PATH]; // follow_on: the program that started
};

// Whose the on-period is, and whether the user's off holds against the follower. Changed by
// the owner alone, under the lock; on_for is read for display under the queue's lock.
bool listed_running = false; // a follow_on came and its follow_off not yet
bool users_off_holds = false; // the user switched off while listed programs ran
bool on_by_follower = false;
char on_for[MAX_PATH];

// The queue, guarded by its critical section; the owner runs the order at its head and
// removes it only once it has answered.
CRITICAL_SECTION queue_lock;
bool queue_lock_made = false;
Order queue[queue_size];
int head = 0;
int queued = 0;        // orders in the queue, the running one included
DWORD next_ticket = 1;
bool accepting = false; // false before the owner starts and from the exit order on

tk::unique_handle owner_thread;
tk::unique_handle wake_event; // auto reset: an order came
// Whether Gaming Mode was on by the user's choice when the exit order turned it off; -1 until
// one ran.
LONG on_at_exit = -1;

struct QueueGuard {
    QueueGuard() { EnterCriticalSection(&queue_lock); }
    ~QueueGuard() { LeaveCriticalSection(&queue_lock); }
    QueueGuard(const QueueGuard&) = delete;
    QueueGuard& operator=(const QueueGuard&) = delete;
};

// The longest one order can take: a switch each for on and off, both for a resume.
DWORD order_bound_ms(daemon_order kind)
{
    switch (kind) {
    case daemon_order::state: return 0;
    case daemon_order::resume: return 2 * switch_bound_ms;
    default: return switch_bound_ms;
    }
}

// Whose the on-period is; the tray shows it (a change of owner alone switches nothing, so
// the tray is told here).
void set_on_for(const char* program)
{
    bool changed;
    {
        QueueGuard guard;
        changed = on_by_follower != (program != nullptr) || (program && lstrcmpiA(on_for, program) != 0);
        on_by_follower = program != nullptr;
        lstrcpynA(on_for, program ? program : "", sizeof on_for);
    }
    if (changed) notice_changed();
}

// An on-period began: the last-on record says who began it.
void note_on_by(const char* program)
{
    char words[MAX_PATH + 48];
    if (program) _snprintf(words, sizeof words - 1, "%s, a listed program, started", program);
    else lstrcpynA(words, "the user (the tray, the pipe, or start_mode)", sizeof words);
    words[sizeof words - 1] = '\0';
    last_on_note_by(words);
}

// The user switched off (or picked a plan): while listed programs run, the follower does
// not switch on again until they have all ended.
void users_off()
{
    if (listed_running) users_off_holds = true;
    set_on_for(nullptr);
}

// Runs one order with the lock held: the state is looked at and acted on in one step.
int run(const Order& order)
{
    LockHolder lock;
    switch (order.kind) {
    case daemon_order::on:
        // The user's now, also when the follower had switched it on.
        if (!game_mode_on) {
            Qel_DaemonDoGameModeOn();
            if (game_mode_on) note_on_by(nullptr);
        }
        if (game_mode_on) set_on_for(nullptr);
        users_off_holds = false;
        break;
    case daemon_order::off:
        Qel_DaemonDoGameModeOff();
        users_off();
        break;
    case daemon_order::follow_on:
        listed_running = true;
        if (game_mode_on || users_off_holds) break;
        // Named before the switch, so that the tray's first look at the new state names it.
        set_on_for(order.program);
        Qel_DaemonDoGameModeOn();
        if (game_mode_on) note_on_by(order.program);
        else set_on_for(nullptr);
        break;
    case daemon_order::follow_off:
        listed_running = false;
        users_off_holds = false;
        if (on_by_follower) Qel_DaemonDoGameModeOff();
        if (!game_mode_on) set_on_for(nullptr);
        break;
    case daemon_order::resume:
        // The counters and the northbridge bit may have been reset while the machine slept.
        if (game_mode_on) {
            Qel_DaemonDoGameModeOff();
            Qel_DaemonDoGameModeOn();
        }
        break;
    case daemon_order::users_change:
        if (turn_off_for_users_change(order.period)) users_off();
        break;
    case daemon_order::exit:
        // An on of the follower's is no start_mode of the user's.
        InterlockedExchange(&on_at_exit, game_mode_on && !on_by_follower ? 1 : 0);
        Qel_DaemonDoGameModeOff();
        set_on_for(nullptr);
        break;
    case daemon_order::state: break;
    }
    return game_mode_on ? 1 : 0;
}

DWORD WINAPI owner_main(LPVOID)
{
    for (;;) {
        WaitForSingleObject(wake_event.get(), INFINITE);
        for (;;) {
            Order order;
            {
                QueueGuard guard;
                if (queued == 0) break;
                order = queue[head];
            }
            int answer = run(order);
            HANDLE done = nullptr;
            {
                QueueGuard guard;
                Order& ran = queue[head];
                if (ran.done) {
                    *ran.answer = answer;
                    done = ran.done;
                }
                head = (head + 1) % queue_size;
                --queued;
                // Set inside: a waiter that gave up takes its event back under the same lock.
                if (done) SetEvent(done);
            }
            if (order.window) PostMessageA(order.window, order.message, static_cast<WPARAM>(answer), 0);
            if (order.kind == daemon_order::exit) return 0;
        }
    }
}

// Queues an order; its ticket, and in *bound_ms the longest it may wait for its answer (the
// bounds of every order before it and its own). 0 when it is refused.
DWORD enqueue(Order order, DWORD* bound_ms)
{
    if (!queue_lock_made) return 0;
    QueueGuard guard;
    if (!accepting || queued >= queue_size - (order.kind == daemon_order::exit ? 0 : 1)) return 0;
    DWORD bound = switch_driver_bound_ms + order_bound_ms(order.kind);
    for (int i = 0; i < queued; ++i) bound += order_bound_ms(queue[(head + i) % queue_size].kind);
    if (bound_ms) *bound_ms = bound;
    order.ticket = next_ticket++;
    if (order.kind == daemon_order::exit) accepting = false;
    queue[(head + queued) % queue_size] = order;
    ++queued;
    SetEvent(wake_event.get());
    return order.ticket;
}

// A waiter that gives up takes its event and answer back, so that the owner touches
// neither after it has gone; false when the order ran meanwhile (its answer is there).
bool withdraw_waiter(DWORD ticket)
{
    QueueGuard guard;
    for (int i = 0; i < queued; ++i) {
        Order& o = queue[(head + i) % queue_size];
        if (o.ticket != ticket) continue;
        o.done = nullptr;
        o.answer = nullptr;
        return true;
    }
    return false;
}

} // namespace

bool start_owner()
{
    if (!queue_lock_made) {
        InitializeCriticalSection(&queue_lock);
        queue_lock_made = true;
    }
    head = 0;
    queued = 0;
    listed_running = false;
    users_off_holds = false;
    set_on_for(nullptr);
    InterlockedExchange(&on_at_exit, -1);
    wake_event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!wake_event) return false;
    {
        QueueGuard guard;
        accepting = true;
    }
    owner_thread.reset(CreateThread(nullptr, 0, owner_main, nullptr, 0, nullptr));
    if (owner_thread) return true;
    QueueGuard guard;
    accepting = false;
    return false;
}

int stop_owner()
{
    if (!owner_thread) return -1;
    DWORD bound = 0;
    Order exit_order = {daemon_order::exit, 0, nullptr, nullptr, nullptr, 0, 0, ""};
    if (!enqueue(exit_order, &bound)) bound = 0;
    if (WaitForSingleObject(owner_thread.get(), bound) != WAIT_OBJECT_0) {
        // Every step of every sequence is bounded, so this takes a driver that never answers.
        // The owner keeps the lock; what it leaves owed stays in the record for the next start.
        TRACE("Qel_DaemonExit : the owner did not finish within %lu ms\n", bound);
        static_cast<void>(owner_thread.release());
        static_cast<void>(wake_event.release());
        return -1;
    }
    owner_thread.reset();
    wake_event.reset();
    return static_cast<int>(on_at_exit);
}

int order_and_wait(daemon_order kind, LONG period, HANDLE stop)
{
    tk::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done) return game_mode_refused;
    int answer = game_mode_busy;
    DWORD bound = 0;
    DWORD ticket = enqueue({kind, period, done.get(), &answer, nullptr, 0, 0, ""}, &bound);
    if (!ticket) return game_mode_refused;
    HANDLE events[2] = {done.get(), stop};
    DWORD woken = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, bound);
    if (woken == WAIT_OBJECT_0) return answer;
    // The order stays queued and runs in its turn; only its answer is no longer awaited.
    if (!withdraw_waiter(ticket)) return answer;
    TRACE("Qel_DaemonOrder : no answer within %lu ms\n", bound);
    return game_mode_busy;
}

int order_posted(daemon_order kind, LONG period, HWND window, UINT message, const char* program)
{
    Order order = {kind, period, nullptr, nullptr, window, message, 0, ""};
    if (program) lstrcpynA(order.program, program, sizeof order.program);
    return enqueue(order, nullptr) ? 1 : game_mode_refused;
}

} // namespace daemon_state

int Qel_DaemonOrder(daemon_order order, HANDLE stop)
{
    using namespace daemon_state;
    return order_and_wait(order, current_on_period(), stop);
}

int Qel_DaemonPostOrder(daemon_order order, HWND window, UINT message)
{
    using namespace daemon_state;
    return order_posted(order, current_on_period(), window, message);
}

int Qel_DaemonPostFollow(daemon_order order, const char* program)
{
    using namespace daemon_state;
    if (order != daemon_order::follow_on && order != daemon_order::follow_off) return game_mode_refused;
    return order_posted(order, current_on_period(), nullptr, 0, program);
}

void Qel_DaemonSetFollowed(int running, const char* program)
{
    using namespace daemon_state;
    static LONG was_running = 0;
    LONG now = running > 0 ? 1 : 0;
    if (InterlockedExchange(&was_running, now) == now) return;
    Qel_DaemonPostFollow(now ? daemon_order::follow_on : daemon_order::follow_off, now ? program : nullptr);
}

int Qel_DaemonFollowedProgram(char* buffer, int size)
{
    using namespace daemon_state;
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    if (!queue_lock_made) return 0;
    QueueGuard guard;
    if (!on_by_follower) return 0;
    lstrcpynA(buffer, on_for, size);
    return 1;
}

int Qel_DaemonGameModeShown()
{
    return daemon_state::game_mode_on ? 1 : 0;
}

int Qel_DaemonWasOnAtExit()
{
    return static_cast<int>(InterlockedCompareExchange(&daemon_state::on_at_exit, 0, 0));
}
