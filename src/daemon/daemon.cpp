// The daemon's lifecycle, its one command entry point, and Gaming Mode's on and off
// sequences with the watcher that turns Gaming Mode off on an outside power change.
#include "daemon/daemon.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/notice.h"
#include "platform/seam.h"
#include "pwr_enum/pwr_enum.h"
#include "smp_enum/smp_enum.h"
#include "common/handle.h"
#include "common/trace.h"

#include <stdio.h>
#include <string.h>

volatile LONG scheme_changed_externally = 0;

namespace {

constexpr DWORD WATCHER_WAIT_MS = 100;

bool daemon_started = false;
tk::unique_handle game_mode_lock;
volatile LONG game_mode_on = 0;
int drift_registered = 0;

// The watcher of one on-period; all empty while Gaming Mode is off.
tk::unique_handle watcher_thread;
tk::unique_handle powercfg_changed_event;
tk::unique_handle watcher_stop_event;
tk::unique_hkey powercfg_key;
DWORD watcher_thread_id = 0;
// Counts the on-periods; a watcher acts only on the period it was started for.
LONG on_period = 0;

// What the on-period owes the user: written to the registry before anything is taken, kept
// until everything is given back (nb_nodes: the node passes that cleared the northbridge
// bit). Changed under the lock, or before the lock exists.
restore_record owed;

// What one on sequence achieved.
struct on_outcome {
    enum { plan_switched, plan_unknown, plan_not_switched } plan;
    enum { bit_cleared, bit_already_clear, bit_unread } northbridge;
    enum { driver_synchronized, driver_absent, driver_refused, driver_undelivered } driver;
    TscReplyWords reply; // the first refusal
    bool cores_unbound;  // no core request went out: the affinity masks could not be read
};

// Node passes never go beyond the tables' eight entries.
int node_passes() { return node_count < MAX_NODES ? static_cast<int>(node_count) : MAX_NODES; }

// Holds the game-mode lock for a scope. The lock exists only while the daemon runs on a
// multi-node machine; without it nothing is locked and no sequence may run.
class LockHolder {
public:
    LockHolder() : held_(game_mode_lock.valid()) { if (held_) WaitForSingleObject(game_mode_lock.get(), INFINITE); }
    // Waits for the lock or for stop, whichever comes first.
    // The stop event comes first, so that it wins when both are signalled.
    explicit LockHolder(HANDLE stop)
    {
        if (!game_mode_lock.valid()) return;
        HANDLE pair[2] = {stop, game_mode_lock.get()};
        DWORD r = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
        held_ = r == WAIT_OBJECT_0 + 1 || r == WAIT_ABANDONED_0 + 1;
    }
    ~LockHolder() { if (held_) ReleaseMutex(game_mode_lock.get()); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool held() const { return held_; }

private:
    bool held_ = false;
};

// Stops the watcher of the current on-period and releases its handles; called with the
// lock held, so that it happens once per period. The wait is bounded: a watcher that is
// itself turning Gaming Mode off never waits for its own end.
void release_watcher()
{
    if (watcher_stop_event) SetEvent(watcher_stop_event.get());
    if (watcher_thread) {
        if (GetCurrentThreadId() != watcher_thread_id)
            WaitForSingleObject(watcher_thread.get(), WATCHER_WAIT_MS);
        watcher_thread.reset();
    }
    watcher_thread_id = 0;
    watcher_stop_event.reset();
    powercfg_changed_event.reset();
    powercfg_key.reset();
}

void __game_mode_off();

// What a new watcher is told; read before it signals armed.
struct WatcherStart {
    LONG period;  // the on-period it watches
    HANDLE armed; // set once the notification is armed, or cannot be
};

// The watcher: arms the change notification on the user's power configuration key, waits
// for a value of the key to change, then turns Gaming Mode off and leaves the power scheme
// as the user set it. It acts at most once.
//
// The notification is armed from this thread: Windows ends a registration (and signals its
// event) when the thread that made it ends. Armed from the thread that ran the on sequence,
// a pipe request's registration would fire as the pipe thread stops at exit, and Gaming
// Mode would go off as if the user had changed the scheme, leaving it unrestored.
DWORD WINAPI power_scheme_change_notification(LPVOID parameter)
{
    const WatcherStart* start = static_cast<const WatcherStart*>(parameter);
    LONG period = start->period;
    HANDLE changed = powercfg_changed_event.get();
    HANDLE stop = watcher_stop_event.get();
    bool armed = false;
    if (powercfg_key && changed) {
        LONG status = RegNotifyChangeKeyValue(powercfg_key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE);
        armed = status == ERROR_SUCCESS;
        if (!armed) TRACE("Qel_DaemonDoGameModeOn - RegNotifyChangeKeyValue Failed %i\n", (int)status);
    }
    SetEvent(start->armed); // start is gone after this
    if (!armed || !stop) return 1;

    HANDLE pair[2] = {changed, stop};
    if (WaitForMultipleObjects(2, pair, FALSE, INFINITE) != WAIT_OBJECT_0) return 1;

    TRACE("power_scheme_change_notification - power scheme changed! turning off game mode.\n");
    // Whoever turns Gaming Mode off meanwhile sets the stop event: then there is nothing
    // left to do, and waiting for the lock would only hold that thread up. The flag is set
    // only for our own on-period: set by a late watcher, it would keep the next period's
    // off from giving the user's plan back.
    LockHolder lock(stop);
    if (lock.held() && game_mode_on && period == on_period) {
        InterlockedExchange(&scheme_changed_externally, 1);
        release_watcher();
        __game_mode_off();
        notice_changed();
    }
    return 1;
}

// The watcher's events and key, made before the on sequence.
void prepare_watcher()
{
    powercfg_changed_event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!powercfg_changed_event) TRACE("Qel_DaemonDoGameModeOn - CreateEvent Failed %i\n", (int)GetLastError());
    watcher_stop_event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!watcher_stop_event) TRACE("Qel_DaemonDoGameModeOn - CreateEvent Failed %i\n", (int)GetLastError());
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", 0, KEY_ALL_ACCESS, powercfg_key.put());
    if (status != ERROR_SUCCESS) TRACE("Qel_DaemonDoGameModeOn - RegOpenKeyEx Failed %i\n", (int)status);
}

// Starts the watcher after the switch to the non-throttling scheme, so that our own switch
// does not count as a change from outside, and returns once its notification is armed.
void start_watcher()
{
    tk::unique_handle armed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!armed) return; // without it we could not know when the start record may go
    WatcherStart start = {++on_period, armed.get()};
    watcher_thread.reset(CreateThread(nullptr, 0, power_scheme_change_notification, &start, 0, &watcher_thread_id));
    if (!watcher_thread) {
        watcher_thread_id = 0;
        TRACE("Qel_DaemonDoGameModeOn - CreateThread Failed %i\n", (int)GetLastError());
        return;
    }
    // The thread signals before anything that could block it; its end counts too.
    HANDLE either[2] = {armed.get(), watcher_thread.get()};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
}

// Notes the outcome of one TSC request; the first failure is the one reported.
void note_request([[maybe_unused]] const char* name, on_outcome& outcome, TscResult result,
                  const TscReplyWords& reply)
{
    if (result == TscResult::accepted) {
        TRACE(" %s: registered succesfully\n", name);
        return;
    }
    if (outcome.driver != on_outcome::driver_synchronized) return;
    outcome.driver = result == TscResult::refused ? on_outcome::driver_refused : on_outcome::driver_undelivered;
    outcome.reply = reply;
}

// The power plan of the on sequence. The plan to give back is written down before the
// switch; a plan that cannot be read is never switched away from, and a plan still owed
// from an earlier period stays the one to give back.
void switch_plan(on_outcome& outcome)
{
    power_plan active;
    if (!ReadActivePowerScheme(&active)) {
        outcome.plan = on_outcome::plan_unknown;
        journal_write(&owed);
        return;
    }
    if (owed.plan.kind == plan_none) owed.plan = active;
    journal_write(&owed);
    outcome.plan = SwitchToAlwaysOnScheme() ? on_outcome::plan_switched : on_outcome::plan_not_switched;
}

// Runs with the lock held: power scheme, northbridge bit, then the node and core
// synchronization, each core request from the core it names.
void __game_mode_on(on_outcome& outcome)
{
    outcome = on_outcome{};
    owed.open = 1;
    switch_plan(outcome);

    // Every pass reads the same register; a read that fails gives no value to write back.
    // Each bit to be cleared is written down before it is.
    outcome.northbridge = on_outcome::bit_already_clear;
    for (int i = 0; i < node_passes(); ++i) {
        DWORD value = 0;
        if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) {
            if (i == 0) outcome.northbridge = on_outcome::bit_unread;
            continue;
        }
        if (value & NB_BIT) {
            owed.nb_nodes |= 1u << i;
            journal_write(&owed);
            WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, value & ~NB_BIT);
            outcome.northbridge = on_outcome::bit_cleared;
        }
    }

    // Without the affinity masks there is no mask to go back to: the process is bound to
    // no processor at all, so the node requests go out from wherever the thread runs and
    // no core request can be sent from its core.
    const ProcessorOps& cpus = platform_processors();
    DWORD_PTR process_mask = 0, system_mask = 0;
    bool have_masks = cpus.get_affinity(&process_mask, &system_mask) != FALSE;
    if (!have_masks) TRACE("GetProcessAffinityMask failed.\n");
    outcome.cores_unbound = !have_masks;

    HANDLE device = open_tsc_device();
    if (device == INVALID_HANDLE_VALUE) {
        TRACE("OpenDriverInterface failed.\n");
        outcome.driver = on_outcome::driver_absent;
    } else {
        BYTE source = node_first_cpu[0];
        if (have_masks && source < MAX_CPUS && !cpus.set_affinity(static_cast<DWORD_PTR>(1) << source))
            TRACE("SetProcessAffinityMask failed.\n");
        if (node_count > 1) {
            for (int n = node_passes() - 1; n >= 0; --n) {
                TRACE("NB to NB src %i, dst %i\n", (int)source, n);
                TscReplyWords reply = {-1, -1};
                TscResult result = send_tsc_command(device, sync_node_command_word(static_cast<BYTE>(n)), 0, &reply);
                note_request("SYNC_NODE_TSC", outcome, result, reply);
            }
        }
        for (int p = 0; p < MAX_CPUS; ++p) {
            DWORD_PTR bit = static_cast<DWORD_PTR>(1) << p;
            if (!(system_mask & bit) || !cpu_present(p) || !cpus.set_affinity(bit)) continue;
            TscReplyWords reply = {-1, -1};
            TscResult result =
                send_tsc_command(device, sync_command_word(SYNC_CORE_TSC, cpu_node[p], cpu_core[p]), 0, &reply);
            note_request("SYNC_CORE_TSC", outcome, result, reply);
        }
        close_tsc_device(device);
    }
    if (have_masks) cpus.set_affinity(process_mask);
    game_mode_on = 1;
}

// Records what the on sequence achieved where tickmend-ctl reads it, and tells the user
// through the tray icon what was left out.
void report(const on_outcome& outcome)
{
    last_on_record record;
    memset(&record, 0, sizeof record);
    switch (outcome.plan) {
    case on_outcome::plan_switched:
        strcpy(record.plan, "switched to a plan that does not throttle the processor");
        break;
    case on_outcome::plan_unknown:
        strcpy(record.plan, "left alone: the active plan could not be read");
        break;
    case on_outcome::plan_not_switched:
        strcpy(record.plan, "left alone: the plan that does not throttle could not be activated");
        break;
    }
    switch (outcome.northbridge) {
    case on_outcome::bit_cleared: strcpy(record.northbridge, "power management bit cleared"); break;
    case on_outcome::bit_already_clear: strcpy(record.northbridge, "power management bit already clear"); break;
    case on_outcome::bit_unread: strcpy(record.northbridge, "left alone: the register could not be read"); break;
    }
    char detail[64] = "";
    switch (outcome.driver) {
    case on_outcome::driver_synchronized:
        strcpy(record.driver, outcome.cores_unbound
                                  ? "nodes synchronized, cores not: the processor affinity could not be read"
                                  : "counters synchronized");
        break;
    case on_outcome::driver_absent:
        strcpy(record.driver, "absent: counters not synchronized");
        break;
    case on_outcome::driver_refused:
        snprintf(detail, sizeof detail, "Status 0x%08lX, RetCode %ld", static_cast<unsigned long>(outcome.reply.status),
                 static_cast<long>(outcome.reply.ret_code));
        snprintf(record.driver, sizeof record.driver, "refused (%s): counters not synchronized", detail);
        break;
    case on_outcome::driver_undelivered:
        strcpy(detail, "a request was not delivered");
        strcpy(record.driver, "failed (a request was not delivered): counters not synchronized");
        break;
    }
    last_on_write(&record);

    notice_set(NOTICE_PLAN_UNKNOWN, outcome.plan == on_outcome::plan_unknown);
    notice_set(NOTICE_PLAN_NOT_SWITCHED, outcome.plan == on_outcome::plan_not_switched);
    notice_set(NOTICE_DRIVER_ABSENT, outcome.driver == on_outcome::driver_absent);
    notice_set(NOTICE_DRIVER_REFUSED,
               outcome.driver == on_outcome::driver_refused || outcome.driver == on_outcome::driver_undelivered, detail);
}

// Gives back what the on-period still owes: the northbridge bits set again, then the
// user's plan made active (or, when the user picked a plan meanwhile, that plan kept).
// What cannot be given back stays owed, in memory and in the registry, and is tried again
// at the next off and the next start. True when nothing is owed any more.
bool give_back(bool restore_plan)
{
    if (!owed.open) return true;
    for (int i = 0; i < MAX_NODES; ++i) {
        if (!(owed.nb_nodes & (1u << i))) continue;
        DWORD value = 0;
        if (ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value) &&
            WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, value | NB_BIT))
            owed.nb_nodes &= ~(1u << i);
    }
    if (owed.plan.kind != plan_none && (!restore_plan || ActivatePowerScheme(&owed.plan)))
        owed.plan.kind = plan_none;
    bool done = owed.plan.kind == plan_none && owed.nb_nodes == 0;
    if (done) owed.open = 0;
    journal_write(&owed);
    notice_set(NOTICE_RESTORE_PENDING, !done);
    return done;
}

// Runs with the lock held.
void __game_mode_off()
{
    give_back(!scheme_changed_externally);
    game_mode_on = 0;
}

} // namespace

int Qel_DaemonStart(int, int, int* available)
{
    TRACE("Qel_DaemonStart - ENTRY\n");
    if (daemon_started) return 0; // already running: a second start changes nothing
    // Before anything else: what an earlier run (ended by a crash, a kill or a power loss
    // while Gaming Mode was on) or an earlier failed restore still owes the user.
    if (!owed.open) journal_read(&owed);
    if (owed.open) give_back(true);
    if (!enumerate_cpus()) return 0;
    if (cpu_count < 2) return 0;

    if (node_count == 1) {
        drift_registered = register_tickmend();
        if (!drift_registered) {
            TRACE("Qel_DaemonStart register_tickmend failed\n");
            return 0;
        }
        if (available) *available = 0;
        daemon_started = true;
        return 1;
    }

    game_mode_on = 0;
    game_mode_lock.reset(CreateMutexA(nullptr, FALSE, nullptr));
    if (!game_mode_lock) {
        TRACE("Qel_DaemonStart CreateMutex error: %d\n", (int)GetLastError());
        return 0;
    }
    if (available) *available = 1;
    daemon_started = true;
    return 1;
}

void Qel_DaemonExit()
{
    TRACE("Qel_DaemonExit - ENTRY\n");
    Qel_DaemonDoGameModeOff();
    game_mode_lock.reset();
    if (drift_registered) {
        deregister_tickmend();
        drift_registered = 0;
    }
    daemon_started = false;
    TRACE("Qel_DaemonExit - EXIT\n");
}

void Qel_DaemonDoCommand(const char* command)
{
    if (!command) return;
    TRACE("Qel_DaemonDoCommand: Command[ %s ]\n", command);
    if (strcmp(command, "1") == 0)
        Qel_DaemonDoGameModeOn();
    else if (strcmp(command, "0") == 0)
        Qel_DaemonDoGameModeOff();
}

int Qel_DaemonFinishRestore()
{
    if (daemon_started) return owed.open ? 0 : 1; // the running daemon gives back itself
    journal_read(&owed);
    return give_back(true) ? 1 : 0;
}

int Qel_DaemonIsGameModeOn()
{
    LockHolder lock;
    return game_mode_on ? 1 : 0;
}

// The state is checked again under the lock, so that two "1" at once (menu and pipe) make
// one on-period with one watcher.
void Qel_DaemonDoGameModeOn()
{
    if (!game_mode_lock || Qel_DaemonIsGameModeOn()) return;
    LockHolder lock;
    if (game_mode_on) return;

    release_watcher(); // leftovers of an earlier period, if any
    prepare_watcher();

    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    on_outcome outcome;
    __game_mode_on(outcome);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    report(outcome);

    InterlockedExchange(&scheme_changed_externally, 0);
    start_watcher();
    notice_changed(); // the tray icon shows the state
}

// "0" while Gaming Mode is off tries again to give back what an earlier off could not.
void Qel_DaemonDoGameModeOff()
{
    if (!game_mode_lock) return;
    if (!Qel_DaemonIsGameModeOn()) {
        if (!owed.open) return;
        LockHolder lock;
        if (!game_mode_on && owed.open) give_back(true);
        return;
    }
    LockHolder lock;
    if (!game_mode_on) return;
    release_watcher();
    __game_mode_off();
    notice_changed();
}
