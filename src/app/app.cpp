// The program: its entry with "/k" and the single instance, the main window's class and
// creation, and the message loop.
#include "app/app.h"
#include "app/app_internal.h"
#include "app/resource.h"
#include "common/handle.h"
#include "common/settings.h"
#include "common/switch_bounds.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "follow/follower.h"
#include "journal/journal.h"
#include "registry/registry.h"
#include "worker/worker.h"

#include <stdio.h>
#include <string.h>
#include <wtsapi32.h>

namespace {

const char mutex_name[] = "QEL Pacemill Single Instance";
// Set by "/k" for an instance that has no window yet; the instance looks at it from the moment
// it holds the mutex: between the steps of its start, and in its message loop.
const char close_event_name[] = "Local\\QEL Pacemill Close Request";
// The longest "/k" waits for the instance to end: a switch that runs, then the off sequence,
// each within its bound; exit code 2 when one still runs then.
const DWORD close_bound_ms = 2 * switch_bound_ms + 5000;
const int close_exit_ended = 1;
const int close_exit_still_running = 2;

HANDLE close_request;                     // the instance's copy of the event, for its life
HWND main_window;

HANDLE single_instance_mutex;             // held until the process ends
char window_title[100];
char window_class_name[100];

using app::start_mode;
using app::worker_stopped;

const char box_title[] = "QEL Pacemill";

// An instance holds the single-instance mutex from its start to its end.
bool instance_running()
{
    tk::unique_handle mutex(OpenMutexA(SYNCHRONIZE, FALSE, mutex_name));
    return mutex.valid();
}

bool close_requested()
{
    return close_request && WaitForSingleObject(close_request, 0) == WAIT_OBJECT_0;
}

// "/k": the window of a running instance is sent WM_DESTROY; an instance that has no window
// yet is asked through the event. Waits, at most close_bound_ms, for the instance to end.
int close_command(HINSTANCE instance)
{
    DWORD start = GetTickCount();
    bool found = close_running_instance(instance) != 0;
    if (!found) {
        if (!instance_running()) {
            // With no instance to close, what an earlier run left owed is given back here.
            Qel_DaemonFinishRestore();
            return close_exit_ended;
        }
        tk::unique_handle request(CreateEventA(nullptr, TRUE, FALSE, close_event_name));
        if (request) SetEvent(request.get());
        // Held until the instance is gone, so that it still finds the request set.
        while (instance_running() && GetTickCount() - start < close_bound_ms) Sleep(50);
    }
    while (instance_running() && GetTickCount() - start < close_bound_ms) Sleep(50);
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

// The switch on the command line, spaces around it ignored: "/k", "/K" or "-k" (end the
// running instance), "/?" or "-?" (what the program takes and what its last start did).
enum class program_switch { none, close, help };

program_switch switch_of(const char* command_line)
{
    if (!command_line) return program_switch::none;
    while (*command_line == ' ' || *command_line == '\t') ++command_line;
    int length = lstrlenA(command_line);
    while (length > 0 && (command_line[length - 1] == ' ' || command_line[length - 1] == '\t')) --length;
    if (length != 2 || (command_line[0] != '/' && command_line[0] != '-')) return program_switch::none;
    if (command_line[1] == 'k' || command_line[1] == 'K') return program_switch::close;
    if (command_line[1] == '?') return program_switch::help;
    return program_switch::none;
}

// What the last start did, as the daemon recorded it: "Last start (when): what".
void last_start_text(char* buffer, int size)
{
    last_start_record start;
    if (!last_start_read(&start)) {
        _snprintf(buffer, size - 1, "Last start: not recorded.");
    } else {
        _snprintf(buffer, size - 1, "Last start%s%s%s: %s.", start.when[0] ? " (" : "", start.when,
                  start.when[0] ? ")" : "", start.what);
    }
    buffer[size - 1] = '\0';
}

void show_help_box()
{
    char last[256];
    last_start_text(last, sizeof last);
    char text[1024];
    _snprintf(text, sizeof text - 1,
              "tickmend.exe [/k | /?]\n\n"
              "No switch:\tstarts QEL Pacemill in the notification area (one instance a user).\n"
              "/k:\tends the running instance: Gaming Mode goes off and the power plan is given back "
              "(also /K or -k; exit code 1, also when none was running).\n"
              "/?:\tthis message.\n\n%s",
              last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONINFORMATION);
}

// Started by the user from a shortcut (the Start Menu's), not by the autostart entry (the
// Run key) nor from a shortcut in a Startup folder: such a start may say why it ends.
bool started_by_user_shortcut()
{
    STARTUPINFOA info = {};
    info.cb = sizeof info;
    GetStartupInfoA(&info);
    if (!(info.dwFlags & STARTF_TITLEISLINKNAME) || !info.lpTitle) return false;
    char link[MAX_PATH];
    lstrcpynA(link, info.lpTitle, sizeof link);
    CharLowerA(link);
    return strstr(link, "\\startup\\") == nullptr;
}

// A start from the shortcut that leaves nothing resident says why.
void explain_start_without_instance()
{
    if (!started_by_user_shortcut()) return;
    char last[256];
    last_start_text(last, sizeof last);
    char text[512];
    _snprintf(text, sizeof text - 1, "QEL Pacemill does not stay in the notification area on this machine.\n\n%s",
              last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONINFORMATION);
}

} // namespace

namespace app {

HINSTANCE app_instance;

} // namespace app

int tickmend_main(HINSTANCE instance, const char* command_line)
{
    const program_switch given = switch_of(command_line);
    if (given == program_switch::help) {
        show_help_box();
        return 0;
    }
    if (given == program_switch::close) {
        return close_command(instance);
    }

    SetLastError(0);
    single_instance_mutex = CreateMutexA(nullptr, FALSE, mutex_name);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (started_by_user_shortcut())
            MessageBoxA(nullptr, "QEL Pacemill is running already: its icon is in the notification area.", box_title,
                        MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    close_request = CreateEventA(nullptr, TRUE, FALSE, close_event_name);

    LoadStringA(instance, IDS_APP_TITLE, window_title, sizeof window_title);
    LoadStringA(instance, IDC_TICKMEND, window_class_name, sizeof window_class_name);
    register_main_window_class(instance);

    if (!Qel_WorkerStart(0, 0)) {
        explain_start_without_instance();
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

    if (!create_tray_window(instance, SW_HIDE)) {
        // No window to stop it later: stop the worker now, which also turns Gaming Mode off.
        Qel_FollowStop();
        Qel_WorkerExit();
        return 0;
    }

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_TICKMEND));
    MSG msg = {};
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(close_request ? 1 : 0, &close_request, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 && close_request) {
            // "/k" found no window a moment ago: it is closed as "/k" closes it.
            ResetEvent(close_request);
            SendMessageA(main_window, WM_DESTROY, 0, 0);
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
    if (!SendMessageTimeoutA(window, WM_DESTROY, 0, 0, SMTO_NORMAL, close_bound_ms, &result))
        TRACE("app close_running_instance : the instance did not answer in time\n");
    return 1;
}

void register_main_window_class(HINSTANCE instance)
{
    if (!window_class_name[0]) LoadStringA(instance, IDC_TICKMEND, window_class_name, sizeof window_class_name);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_VREDRAW | CS_HREDRAW;
    wc.lpfnWndProc = main_window_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TICKMEND));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDC_TICKMEND);
    wc.lpszClassName = window_class_name;
    wc.hIconSm = nullptr;
    if (!RegisterClassExA(&wc)) TRACE("app register_main_window_class : RegisterClassEx failed\n");
}

int create_tray_window(HINSTANCE instance, int show_command)
{
    app::app_instance = instance;
    if (!window_class_name[0]) LoadStringA(instance, IDC_TICKMEND, window_class_name, sizeof window_class_name);
    if (!window_title[0]) LoadStringA(instance, IDS_APP_TITLE, window_title, sizeof window_title);

    HWND window = CreateWindowExA(0, window_class_name, window_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!window) {
        TRACE("app create_tray_window : CreateWindowEx failed\n");
        return 0;
    }
    // The window is set up with the worker running (WinMain starts it first).
    worker_stopped = 0;
    main_window = window;

    DWORD handle_value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "window_handle", REG_DWORD, &handle_value,
                       sizeof handle_value);

    if (!app::watch_power_personality(window)) return 0;

    WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);

    app::start_tray_icon(window);

    ShowWindow(window, show_command);
    return 1;
}
