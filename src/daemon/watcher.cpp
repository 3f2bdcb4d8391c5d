// The watcher of an on-period: tells Gaming Mode's owner when the power scheme is changed
// from outside while it is on.
#include "daemon/daemon_state.h"
#include "notice/notice.h"
#include "pwr_enum/pwr_enum.h"
#include "common/handle.h"
#include "common/trace.h"

namespace daemon_state {

namespace {

constexpr DWORD WATCHER_WAIT_MS = 100;

// The watcher of one on-period; all empty while Gaming Mode is off.
tk::unique_handle watcher_thread;
tk::unique_handle powercfg_changed_event;
tk::unique_handle watcher_stop_event;
tk::unique_hkey powercfg_key;
DWORD watcher_thread_id = 0;
// Counts the on-periods; a watcher acts only on the period it was started for.
LONG on_period = 0;
// Where what the watcher sees goes: Gaming Mode's owner, which judges it in its next pass.
plan_seen_fn plan_seen = nullptr;

// What a new watcher is told; read before it signals armed.
struct WatcherStart {
    LONG period;  // the on-period it watches
    HANDLE armed; // set once the notification is armed, or cannot be
};

// The watcher: arms the change notification on the user's power configuration key, waits
// for a value of the key to change, and tells the owner, which turns Gaming Mode off and
// leaves the power scheme as the user set it, when the change is the user's.
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

    // Each change is handed to the owner, which judges it in its next pass; a change that is
    // not the user's (another value of the key, our own) leaves Gaming Mode on and the watch
    // goes on. The notification is armed again before the owner looks, so that a change made
    // while it looks is not missed. Whoever turns Gaming Mode off sets the stop event.
    HANDLE pair[2] = {changed, stop};
    for (;;) {
        if (WaitForMultipleObjects(2, pair, FALSE, INFINITE) != WAIT_OBJECT_0) return 1;
        bool rearmed = RegNotifyChangeKeyValue(powercfg_key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed,
                                               TRUE) == ERROR_SUCCESS;
        TRACE("power_scheme_change_notification - the power scheme changed: the owner judges it\n");
        if (plan_seen) plan_seen(period);
        if (!rearmed) return 1;
    }
}

} // namespace

LONG current_on_period() { return on_period; }

void watch_plan_changes(plan_seen_fn seen) { plan_seen = seen; }

// Stops the watcher of the current on-period and releases its handles; called with the
// lock held, so that it happens once per period. The wait is bounded.
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

} // namespace daemon_state
