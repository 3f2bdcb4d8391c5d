// The events: the main window's procedure and what it does for the power, session and
// end-of-session messages; the watch of the power personality.
#include "app/events.h"
#include "app/program_module.h"
#include "app/tray.h"
#include "app/tray_clicks.h"
#include "app/tray_menu.h"
#include "app/resource.h"
#include "common/os_version.h"
#include "common/settings.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "follow/follower.h"
#include "notice/notice.h"
#include "registry/registry.h"
#include "worker/worker.h"

#include <initializer_list>
#include <string.h>
#include <wtsapi32.h>

namespace {

// The active power personality ({245D8541-3943-4422-B025-13A784F679B7}) and High performance,
// the personality of the scheme that Gaming Mode activates on Vista.
const GUID power_personality = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
const GUID min_power_savings = {0x8C5E7FDA, 0xE8BF, 0x4A96, {0x9A, 0x85, 0xA6, 0xE2, 0x3A, 0x8C, 0x63, 0x5C}};
// The active power scheme ({31F9F286-5084-42FE-B720-2B0264993763}): its data is the GUID of
// the plan just made active, whoever made it.
const GUID active_power_scheme = {0x31F9F286, 0x5084, 0x42FE, {0xB7, 0x20, 0x2B, 0x02, 0x64, 0x99, 0x37, 0x63}};

using register_power_notification_fn = HPOWERNOTIFY(WINAPI*)(HANDLE, LPCGUID, DWORD);
using unregister_power_notification_fn = BOOL(WINAPI*)(HPOWERNOTIFY);

int is_vista;                             // Vista or later: the power personality is watched
register_power_notification_fn register_power_notification;
unregister_power_notification_fn unregister_power_notification;
HPOWERNOTIFY power_notify_handle;
HPOWERNOTIFY active_scheme_notify_handle;
// The plan Windows named last: the first notification after the registration is Windows'
// statement of the plan active then (it sends every setting's value at once), not a pick.
GUID named_scheme;
bool scheme_named;

using app::start_mode;
using app::worker_stopped;

void save_start_mode()
{
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "start_mode", static_cast<DWORD>(start_mode));
}

// Stops the worker, which has Gaming Mode's owner take every wish made before and turn it
// off, and keeps in start_mode whether it was on by the user's wish then (stored when store is
// set): once before the stop, from the user's wish as it stands (no wait), so that a stop cut
// short still finds it stored; and again after, from what the owner's last pass found, should
// it differ (an on that failed, a plan the user picked meanwhile). The one wait is the exit's.
// A worker stopped already has nothing to report: start_mode keeps the state before.
void stop_worker_keeping_state(bool store)
{
    const bool running = !worker_stopped;
    if (running) {
        int wished = Qel_DaemonUsersWish();
        if (wished == 0 || wished == 1) start_mode = wished;
    }
    if (store) save_start_mode();
    Qel_FollowStop();
    Qel_WorkerExit();
    worker_stopped = 1;
    if (!running) return;
    int at_exit = Qel_DaemonWasOnAtExit();
    if ((at_exit == 0 || at_exit == 1) && at_exit != start_mode) {
        start_mode = at_exit;
        if (store) save_start_mode();
    }
}

void save_state_and_stop_worker()
{
    stop_worker_keeping_state(true);
}

void on_destroy(HWND window)
{
    app::end_tray_ui();
    notice_set_window(nullptr, 0);
    save_state_and_stop_worker();
    app::remove_tray_icon();
    if (is_vista == 1 && unregister_power_notification) {
        for (HPOWERNOTIFY* handle : {&power_notify_handle, &active_scheme_notify_handle}) {
            if (*handle) unregister_power_notification(*handle);
            *handle = nullptr;
        }
    }
    WTSUnRegisterSessionNotification(window);
    PostQuitMessage(0);
}

// After a resume the on sequence runs again: the counters and the northbridge bit may have
// been reset while the machine slept. The owner looks at the state in its turn.
void on_resume()
{
    Qel_DaemonPostWish(daemon_wish::resume, nullptr, 0);
}

// A power plan whose personality is not High performance became active: when Gaming Mode is
// on and it is the user's pick (the owner judges it as now, as it does the XP watcher's),
// Gaming Mode goes off and leaves that plan active. A late notification of our own switch is
// not the user's; one that comes during a switch (the icon showing off) is judged after it.
//
// The plan itself, as Windows names it when it becomes active, is told to the owner as it
// comes: one that is not of our own latest switch is the user's pick and stands, also when
// a switch of ours ran at that moment and overwrote it.
void on_power_setting_change(const POWERBROADCAST_SETTING* setting)
{
    if (is_vista != 1 || !setting) return;
    if (guid_equal(&setting->PowerSetting, &active_power_scheme)) {
        if (setting->DataLength < sizeof(GUID)) return;
        GUID plan;
        memcpy(&plan, setting->Data, sizeof plan);
        const bool change = scheme_named && guid_not_equal(&plan, &named_scheme);
        named_scheme = plan;
        scheme_named = true;
        if (!change) return;
        char text[40];
        wsprintfA(text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(plan.Data1),
                  plan.Data2, plan.Data3, plan.Data4[0], plan.Data4[1], plan.Data4[2], plan.Data4[3], plan.Data4[4],
                  plan.Data4[5], plan.Data4[6], plan.Data4[7]);
        Qel_DaemonPlanActivated(text);
        return;
    }
    if (!guid_equal(&setting->PowerSetting, &power_personality)) return;
    if (setting->DataLength < sizeof(GUID)) return;
    GUID personality;
    memcpy(&personality, setting->Data, sizeof personality);
    if (guid_not_equal(&personality, &min_power_savings)) Qel_DaemonPlanChangedOutside();
}

void on_console_connect()
{
    // The worker may still run (a session started remotely and now connected at the console):
    // it then returns at once, and Gaming Mode stays as the user left it. Only a worker that
    // the disconnect stopped brings back the Gaming Mode of before.
    int was_stopped = worker_stopped;
    worker_stopped = Qel_WorkerStart(0, 0) ? 0 : 1;
    if (was_stopped && !worker_stopped && start_mode) Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
    if (!worker_stopped) Qel_FollowStart();
}

// Gaming Mode goes off with the worker, after whatever switch runs (a pipe client's "1"
// finishes, and counts in start_mode): nothing of ours is left switched while disconnected.
void on_console_disconnect()
{
    if (worker_stopped) return;
    stop_worker_keeping_state(false);
}

} // namespace

namespace app {

int start_mode;
int worker_stopped;

bool watch_power_personality(HWND window)
{
    // Vista and every later Windows, whether it reports 6.x (no manifest names it) or 10.
    is_vista = os_has_power_setting_notifications() ? 1 : 0;
    if (is_vista != 1) return true;
    // Neither function exists on Windows XP: both are looked up, never imported.
    // User32 is loaded in every windowed process: it is asked, not loaded again.
    HMODULE user32_module = GetModuleHandleA("user32.dll");
    if (!user32_module) return false;
    register_power_notification =
        proc_address<register_power_notification_fn>(user32_module, "RegisterPowerSettingNotification");
    unregister_power_notification =
        proc_address<unregister_power_notification_fn>(user32_module, "UnregisterPowerSettingNotification");
    if (!register_power_notification || !unregister_power_notification) {
        TRACE("app watch_power_personality : power setting notification functions missing\n");
        return false;
    }
    power_notify_handle = register_power_notification(window, &power_personality, DEVICE_NOTIFY_WINDOW_HANDLE);
    scheme_named = false;
    active_scheme_notify_handle =
        register_power_notification(window, &active_power_scheme, DEVICE_NOTIFY_WINDOW_HANDLE);
    return true;
}

} // namespace app

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        if (app::on_command(window, LOWORD(wparam))) return 0;
        break;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_ENDSESSION:
        // wParam FALSE: the end of the session was cancelled and the program goes on as it was.
        if (wparam) {
            save_state_and_stop_worker();
            app::remove_tray_icon();
        }
        break;
    case WM_DESTROY:
        on_destroy(window);
        return 0;
    case WM_POWERBROADCAST:
        if (wparam == PBT_APMRESUMESUSPEND) on_resume();
        else if (wparam == PBT_POWERSETTINGCHANGE)
            on_power_setting_change(reinterpret_cast<const POWERBROADCAST_SETTING*>(lparam));
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (wparam == WTS_CONSOLE_CONNECT) on_console_connect();
        else if (wparam == WTS_CONSOLE_DISCONNECT) on_console_disconnect();
        return 0;
    case WM_TRAY_ICON:
        app::on_tray_callback(window, wparam, lparam);
        return 0;
    case WM_TIMER:
        if (app::on_tray_timer(window, wparam)) return 0;
        break;
    case WM_TRAY_NOTICE:
        app::on_notice(window);
        return 0;
    case WM_TRAY_SWITCHED:
        app::on_tray_switched(window);
        return 0;
    case WM_NULL:
        app::on_menu_closed();
        return 0;
    default:
        // Explorer restarted (or the taskbar was re-created): our icon is gone with it.
        if (app::is_taskbar_created(message)) {
            app::add_tray_icon(window);
            return 0;
        }
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int guid_equal(const GUID* a, const GUID* b)
{
    return memcmp(a, b, sizeof(GUID)) == 0 ? 1 : 0;
}

int guid_not_equal(const GUID* a, const GUID* b)
{
    return guid_equal(a, b) ? 0 : 1;
}
