// The program: its entry with "/k" and the single instance, and the message loop. The window
// is in window.cpp, the switches and their boxes in help_box.cpp.
#include "app/app.h"
#include "app/events.h"
#include "app/help_box.h"
#include "app/resource.h"
#include "app/start_at_logon.h"
#include "app/window.h"
#include "common/handle.h"
#include "common/settings.h"
#include "common/switch_bounds.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "follow/follower.h"
#include "journal/journal.h"
#include "notice/notice.h"
#include "notice/wording.h"
#include "registry/registry.h"
#include "worker/worker.h"

namespace {

const char mutex_name[] = "QEL Pacemill Single Instance";
// Set by "/k" for an instance that has no window yet; the instance looks at it from the moment
// it holds the mutex: between the steps of its start, and in its message loop.
const char close_event_name[] = "Local\\QEL Pacemill Close Request";
// The longest "/k" waits for the instance to end: the exit waits once for Gaming Mode's owner
// to take its wish (the pass that runs, then the off), within the one bound, and a little
// more; exit code 2 when it still runs then.
DWORD close_bound_ms() { return wish_bound_ms() + 5000; }
const int close_exit_ended = 1;
const int close_exit_still_running = 2;

tk::unique_handle close_request;          // the instance's copy of the event, for its life
tk::unique_handle single_instance_mutex; // held until the process ends

using app::start_mode;
using namespace app;

// An instance holds the single-instance mutex from its start to its end.
bool instance_running()
{
    tk::unique_handle mutex(OpenMutexA(SYNCHRONIZE, FALSE, mutex_name));
    return mutex.valid();
}

bool close_requested()
{
    return close_request && WaitForSingleObject(close_request.get(), 0) == WAIT_OBJECT_0;
}

// A plan that "/k" with no instance running could not give back (it no longer exists, or
// its record is damaged) is told where the user sees it: in a message box when the user
// started "/k" from a shortcut, else (the installer, a script, a logoff task: no one may be
// there to close a box, and a box would hold them up) in the balloon of the next start.
void tell_plan_not_given_back()
{
    if (!(notice_raised() & (1u << NOTICE_PLAN_NOT_GIVEN_BACK))) return;
    if (started_by_user_shortcut()) {
        char text[256];
        notice_text(NOTICE_PLAN_NOT_GIVEN_BACK, text, sizeof text);
        MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONWARNING);
        return;
    }
    char detail[96];
    notice_detail(NOTICE_PLAN_NOT_GIVEN_BACK, detail, sizeof detail);
    journal_keep_untold(detail);
}

// "/k": the window of a running instance is sent WM_DESTROY; an instance that has no window
// yet is asked through the event. Waits, at most close_bound_ms(), for the instance to end.
int close_command(HINSTANCE instance)
{
    DWORD start = GetTickCount();
    bool found = close_running_instance(instance) != 0;
    if (!found) {
        if (!instance_running()) {
            // With no instance to close, what an earlier run left owed is given back here.
            Qel_DaemonFinishRestore();
            tell_plan_not_given_back();
            return close_exit_ended;
        }
        tk::unique_handle request(CreateEventA(nullptr, TRUE, FALSE, close_event_name));
        if (request) SetEvent(request.get());
        // Held until the instance is gone, so that it still finds the request set.
        while (instance_running() && GetTickCount() - start < close_bound_ms()) Sleep(50);
    }
    while (instance_running() && GetTickCount() - start < close_bound_ms()) Sleep(50);
    return instance_running() ? close_exit_still_running : close_exit_ended;
}

// Ends a start that "/k" interrupted before the window: the worker stops (which turns Gaming
// Mode off), start_mode stays as it was stored.
int end_start_early()
{
    TRACE("app : closed by /k during the start\n");
    Qel_WorkerExit();
    return 0;
}

} // namespace

int tickmend_main(HINSTANCE instance, const char* command_line)
{
    const program_switch given = switch_of(command_line);
    if (given == program_switch::help || given == program_switch::unknown) {
        // A switch mistyped starts nothing: no instance, no Gaming Mode brought back.
        show_help_box(command_line, given == program_switch::unknown);
        return given == program_switch::help ? 0 : exit_unknown_switch;
    }
    if (given == program_switch::close) {
        return close_command(instance);
    }
    // The start at logon, for a user who turned it off: nothing at all.
    if (given == program_switch::logon && !start_at_logon_chosen()) return 0;

    SetLastError(0);
    single_instance_mutex.reset(CreateMutexA(nullptr, FALSE, mutex_name));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (started_by_hand(given))
            MessageBoxA(nullptr,
                        "QEL Pacemill is running already: its icon is in the notification area. Right-click the "
                        "icon for Gaming Mode and the program's other choices.",
                        box_title, MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    close_request.reset(CreateEventA(nullptr, TRUE, FALSE, close_event_name));

    register_main_window_class(instance);

    if (!Qel_WorkerStart(0, 0)) {
        explain_start_without_instance(given);
        return 1;
    }
    if (close_requested()) return end_start_early();

    // Read with its type: a start_mode of another type reads as absent (off).
    DWORD saved = 0;
    start_mode = get_registry_typed(HKEY_CURRENT_USER, settings_key, "start_mode", REG_DWORD, &saved, sizeof saved)
                     ? static_cast<int>(saved)
                     : 0;
    if (start_mode) Qel_DaemonDoCommand("1");
    if (close_requested()) return end_start_early();
    // After start_mode: its on is the user's, and a listed program already running finds
    // Gaming Mode on.
    Qel_FollowStart();

    // What a "/k" could not give back, and could tell no one, is told by this start's balloon.
    char untold[96];
    if (journal_take_untold(untold, sizeof untold)) notice_raise(NOTICE_PLAN_NOT_GIVEN_BACK, untold);

    if (!create_tray_window(instance, SW_HIDE)) {
        // No window to stop it later: stop the worker now, which also turns Gaming Mode off.
        Qel_FollowStop();
        Qel_WorkerExit();
        return 0;
    }

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_TICKMEND));
    MSG msg = {};
    for (;;) {
        HANDLE close_event = close_request.get();
        DWORD woken = MsgWaitForMultipleObjects(close_event ? 1 : 0, &close_event, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 && close_event) {
            // "/k" found no window a moment ago: it is closed as "/k" closes it.
            ResetEvent(close_event);
            SendMessageA(app::main_window(), WM_DESTROY, 0, 0);
        }
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            if (!TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
}

int close_running_instance(HINSTANCE instance)
{
    char expected[100];
    if (!LoadStringA(instance, IDC_TICKMEND, expected, sizeof expected)) return 0;

    // window_handle outlives the instance that wrote it: the handle may name another
    // program's window by now, which must not get our WM_DESTROY. It may also be missing:
    // an instance that could not write its settings is found by its window's class.
    HWND window = nullptr;
    DWORD stored = 0;
    if (GetRegistryValue(HKEY_CURRENT_USER, settings_key, "window_handle", &stored, sizeof stored)) {
        window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(stored));
        char actual[100];
        if (!GetClassNameA(window, actual, sizeof actual) || lstrcmpA(actual, expected) != 0) {
            TRACE("app close_running_instance : window_handle names no window of ours\n");
            window = nullptr;
        }
    }
    if (!window) window = FindWindowA(expected, nullptr);
    if (!window) return 0;
    // Bounded: an instance busy in a long sequence is waited for, not for ever.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_DESTROY, 0, 0, SMTO_NORMAL, close_bound_ms(), &result))
        TRACE("app close_running_instance : the instance did not answer in time\n");
    return 1;
}
