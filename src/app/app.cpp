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
#include "notice/notice.h"
#include "notice/wording.h"
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
// The longest "/k" waits for the instance to end: the exit waits once for Gaming Mode's owner
// to take its wish (the pass that runs, then the off), within the one bound, and a little
// more; exit code 2 when it still runs then.
DWORD close_bound_ms() { return wish_bound_ms() + 5000; }
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

// The switch on the command line, spaces around it ignored: "/k", "/K" or "-k" (end the
// running instance), "/?" or "-?" (what the program takes and what its last start did),
// "/logon" or "-logon" in any case (the start at logon); any other text is a switch the
// program does not take.
enum class program_switch { none, close, help, logon, unknown };
const int exit_unknown_switch = 64;

program_switch switch_of(const char* command_line)
{
    if (!command_line) return program_switch::none;
    while (*command_line == ' ' || *command_line == '\t') ++command_line;
    int length = lstrlenA(command_line);
    while (length > 0 && (command_line[length - 1] == ' ' || command_line[length - 1] == '\t')) --length;
    if (length == 0) return program_switch::none;
    if (command_line[0] != '/' && command_line[0] != '-') return program_switch::unknown;
    if (length == 2 && (command_line[1] == 'k' || command_line[1] == 'K')) return program_switch::close;
    if (length == 2 && command_line[1] == '?') return program_switch::help;
    if (length == 6 && _strnicmp(command_line + 1, "logon", 5) == 0) return program_switch::logon;
    return program_switch::unknown;
}

// What the last start did, as the daemon recorded it: "Last start (when): what."; with advice,
// what to do about it follows in sentences.
void last_start_text(char* buffer, int size, bool advice = false)
{
    last_start_record start;
    if (!last_start_read(&start)) {
        _snprintf(buffer, size - 1, "Last start: not recorded.");
    } else {
        const char* next = advice ? start_advice(start.what) : "";
        _snprintf(buffer, size - 1, "Last start%s%s%s: %s.%s%s", start.when[0] ? " (" : "", start.when,
                  start.when[0] ? ")" : "", start.what, next[0] ? "\n\n" : "", next);
    }
    buffer[size - 1] = '\0';
}

// The switches, a short paragraph each: no tabs and no long lines, so that every message box
// (Windows' and Wine's) shows it whole. unknown: the text that was not a switch, or null.
void show_help_box(const char* command_line, bool unknown)
{
    char last[256];
    last_start_text(last, sizeof last);
    char wrong[96] = "";
    if (unknown) {
        while (*command_line == ' ' || *command_line == '\t') ++command_line;
        _snprintf(wrong, sizeof wrong - 1, "tickmend.exe does not take \"%.40s\": it started nothing.\n\n",
                  command_line);
    }
    char text[1024];
    _snprintf(text, sizeof text - 1,
              "%s"
              "tickmend.exe [/k | /logon | /?]\n\n"
              "Without a switch: starts QEL Pacemill in the notification area.\n"
              "One instance runs per session; a second start ends at once.\n\n"
              "/k (also /K or -k): ends the running instance.\n"
              "Gaming Mode goes off and your power plan is given back.\n"
              "Exit code 1: no instance runs afterwards; 2: one still runs.\n\n"
              "/logon: the start at logon, for the autostart entry.\n"
              "It starts QEL Pacemill only while \"Start at logon\" is ticked\n"
              "in its tray menu for you.\n\n"
              "/?: this message.\n\n%s",
              wrong, last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | (unknown ? MB_ICONWARNING : MB_ICONINFORMATION));
}

const char start_at_logon_value[] = "start_at_logon";

// A start from the shortcut that leaves nothing resident says why.
void explain_start_without_instance()
{
    if (!started_by_user_shortcut()) return;
    char last[512];
    last_start_text(last, sizeof last, true);
    char text[640];
    _snprintf(text, sizeof text - 1, "QEL Pacemill does not stay in the notification area on this machine.\n\n%s",
              last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONINFORMATION);
}

} // namespace

namespace app {

HINSTANCE app_instance;

} // namespace app

bool start_at_logon_chosen()
{
    DWORD chosen = 1;
    if (!get_registry_typed(HKEY_CURRENT_USER, settings_key, start_at_logon_value, REG_DWORD, &chosen, sizeof chosen))
        return true; // never chosen: the autostart entry starts it for every user
    return chosen != 0;
}

bool choose_start_at_logon(bool on)
{
    DWORD chosen = on ? 1 : 0;
    return set_registry_dword(HKEY_CURRENT_USER, settings_key, start_at_logon_value, REG_DWORD, &chosen,
                              sizeof chosen) != 0;
}

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
    single_instance_mutex = CreateMutexA(nullptr, FALSE, mutex_name);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (started_by_user_shortcut())
            MessageBoxA(nullptr,
                        "QEL Pacemill is running already: its icon is in the notification area. Right-click the "
                        "icon for Gaming Mode and the program's other choices.",
                        box_title, MB_OK | MB_ICONINFORMATION);
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
    if (!SendMessageTimeoutA(window, WM_DESTROY, 0, 0, SMTO_NORMAL, close_bound_ms(), &result))
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
