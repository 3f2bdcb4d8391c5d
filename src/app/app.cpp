#include "app/app.h"
#include "app/resource.h"
#include "common/handle.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "notice/notice.h"
#include "registry/registry.h"
#include "worker/worker.h"

#include <mbstring.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdio.h>
#include <string.h>
#include <wtsapi32.h>

namespace {

const char settings_key[] = "Software\\QEL\\qel_pacemill";
const char mutex_name[] = "QEL Pacemill Single Instance";
const char tray_title[] = "QEL Pacemill";

// NOTIFYICONDATAA up to and including its item GUID (shell 5.0 and later), and the older
// record that ends with the tooltip (488 bytes in a 32-bit process).
constexpr DWORD tray_record_size = 504;
constexpr DWORD tray_record_size_old = 488;

// The active power personality ({245D8541-3943-4422-B025-13A784F679B7}) and High performance,
// the personality of the scheme that Gaming Mode activates on Vista.
const GUID power_personality = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
const GUID min_power_savings = {0x8C5E7FDA, 0xE8BF, 0x4A96, {0x9A, 0x85, 0xA6, 0xE2, 0x3A, 0x8C, 0x63, 0x5C}};

using register_power_notification_fn = HPOWERNOTIFY(WINAPI*)(HANDLE, LPCGUID, DWORD);
using unregister_power_notification_fn = BOOL(WINAPI*)(HPOWERNOTIFY);

// The tray icon record: the shell reads only cbSize bytes, the storage has room for the
// largest size we hand it.
union tray_record {
    NOTIFYICONDATAA data;
    BYTE storage[tray_record_size > sizeof(NOTIFYICONDATAA) ? tray_record_size : sizeof(NOTIFYICONDATAA)];
};

// Application state, one set per process.
HANDLE single_instance_mutex;             // held until the process ends
char window_title[100];
char window_class_name[100];
int start_mode;                           // Gaming Mode to be on: read at start, kept at stops
HINSTANCE app_instance;
int is_vista;                             // the major version is exactly 6
HMODULE user32_module;                    // loaded on Vista only, never freed
register_power_notification_fn register_power_notification;
unregister_power_notification_fn unregister_power_notification;
HPOWERNOTIFY power_notify_handle;
tray_record tray_icon_data;
UINT taskbar_created_message;             // sent by the shell when the taskbar is (re)created
unsigned balloons_shown;                  // notices whose balloon was shown since they came up
char balloon_text[256];                   // the last balloon, as the shell was given it
// The worker was stopped by a console disconnect or a real end of the session: the Gaming Mode
// state then reads off, and start_mode keeps what it was before.
int worker_stopped;

template <class F>
F proc_address(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// An instance holds the single-instance mutex from its start to its end.
bool instance_running()
{
    tk::unique_handle mutex(OpenMutexA(SYNCHRONIZE, FALSE, mutex_name));
    return mutex.valid();
}

void save_start_mode()
{
    DWORD value = static_cast<DWORD>(start_mode);
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "start_mode", REG_DWORD, &value, sizeof value);
}

// Fills the tray icon record and adds the icon; the shell keeps its own copy of the image.
void add_tray_icon(HWND window)
{
    memset(&tray_icon_data, 0, sizeof tray_icon_data);
    NOTIFYICONDATAA& data = tray_icon_data.data;
    data.cbSize = tray_icon_data_size(get_shell_version("Shell32.dll"));
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.hIcon = static_cast<HICON>(LoadImageA(app_instance, MAKEINTRESOURCEA(IDI_TICKMEND), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_DEFAULTCOLOR));
    data.hWnd = window;
    data.uCallbackMessage = WM_TRAY_ICON;
    format_tray_tip(data.szTip, sizeof data.szTip, Qel_DaemonIsGameModeOn(), notice_raised());
    if (!Shell_NotifyIconA(NIM_ADD, &data)) TRACE("app add_tray_icon : Shell_NotifyIcon failed\n");
    if (data.hIcon && DestroyIcon(data.hIcon)) data.hIcon = nullptr;
}

// A warning or the Gaming Mode state changed: the tooltip follows, and every notice that has
// come up since it was last shown gets its balloon (one balloon, one paragraph each).
void on_notice(HWND window)
{
    NOTIFYICONDATAA& data = tray_icon_data.data;
    if (data.hWnd != window) return; // no icon of ours (yet)
    unsigned raised = notice_raised();
    balloons_shown &= raised; // a notice that went away is told again when it comes back
    unsigned fresh = raised & ~balloons_shown;
    data.uFlags = NIF_TIP;
    format_tray_tip(data.szTip, sizeof data.szTip, Qel_DaemonIsGameModeOn(), raised);
    if (fresh) {
        balloon_text[0] = '\0';
        for (int id = 0; id < NOTICE_COUNT; ++id) {
            if (!(fresh & (1u << id))) continue;
            char text[256];
            notice_text(static_cast<notice_id>(id), text, sizeof text);
            size_t used = strlen(balloon_text);
            if (used && used + 2 < sizeof balloon_text) strcat(balloon_text, "\n");
            strncat(balloon_text, text, sizeof balloon_text - strlen(balloon_text) - 1);
        }
        data.uFlags |= NIF_INFO;
        lstrcpynA(data.szInfo, balloon_text, sizeof data.szInfo);
        lstrcpynA(data.szInfoTitle, tray_title, sizeof data.szInfoTitle);
        data.dwInfoFlags = NIIF_WARNING;
        data.uTimeout = 10000;
        balloons_shown |= fresh;
    }
    if (!Shell_NotifyIconA(NIM_MODIFY, &data)) TRACE("app on_notice : Shell_NotifyIcon failed\n");
    data.uFlags = 0;
    data.szInfo[0] = '\0';
}

// Removes the tray icon (named by its window and id 0); harmless when it is gone already.
void remove_tray_icon()
{
    tray_icon_data.data.uFlags = 0;
    Shell_NotifyIconA(NIM_DELETE, &tray_icon_data.data);
}

// Keeps whether Gaming Mode is on, stores it, and stops the worker (which turns it off).
// A worker stopped already has nothing to report: start_mode keeps the state before the stop.
void save_state_and_stop_worker()
{
    if (!worker_stopped) start_mode = Qel_DaemonIsGameModeOn();
    save_start_mode();
    Qel_WorkerExit();
    worker_stopped = 1;
}

void on_destroy(HWND window)
{
    notice_set_window(nullptr, 0);
    save_state_and_stop_worker();
    remove_tray_icon();
    if (is_vista == 1 && unregister_power_notification && power_notify_handle) {
        unregister_power_notification(power_notify_handle);
        power_notify_handle = nullptr;
    }
    WTSUnRegisterSessionNotification(window);
    PostQuitMessage(0);
}

// Returns false for a command that is not ours.
bool on_command(HWND window, WORD id)
{
    switch (id) {
    case IDM_TRAY_GAMING_MODE:
        Qel_DaemonDoCommand(Qel_DaemonIsGameModeOn() ? "0" : "1");
        return true;
    case IDM_TRAY_ABOUT:
    case IDM_ABOUT:
        DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, about_dialog_proc, 0);
        return true;
    case IDM_TRAY_EXIT:
    case IDM_EXIT:
        DestroyWindow(window);
        return true;
    default:
        return false;
    }
}

// After a resume the on sequence runs again: the counters and the northbridge bit may have
// been reset while the machine slept.
void on_resume()
{
    if (Qel_DaemonIsGameModeOn()) {
        Qel_DaemonDoCommand("0");
        Qel_DaemonDoCommand("1");
    }
}

// The user picked a power plan whose personality is not High performance while Gaming Mode
// is on: Gaming Mode goes off and leaves that plan active.
void on_power_setting_change(const POWERBROADCAST_SETTING* setting)
{
    if (is_vista != 1 || !setting) return;
    if (!guid_equal(&setting->PowerSetting, &power_personality)) return;
    if (!Qel_DaemonIsGameModeOn()) return;
    if (setting->DataLength < sizeof(GUID)) return;
    GUID personality;
    memcpy(&personality, setting->Data, sizeof personality);
    if (guid_not_equal(&personality, &min_power_savings)) {
        InterlockedExchange(&scheme_changed_externally, 1);
        Qel_DaemonDoCommand("0");
    }
}

void on_console_connect()
{
    // The worker may still run (a session started remotely and now connected at the console):
    // it then returns at once, and Gaming Mode stays as the user left it. Only a worker that
    // the disconnect stopped brings back the Gaming Mode of before.
    int was_stopped = worker_stopped;
    worker_stopped = Qel_WorkerStart(0, 0) ? 0 : 1;
    if (was_stopped && !worker_stopped && start_mode && !Qel_DaemonIsGameModeOn()) Qel_DaemonDoCommand("1");
}

void on_console_disconnect()
{
    if (worker_stopped) return;
    start_mode = Qel_DaemonIsGameModeOn();
    if (start_mode) Qel_DaemonDoCommand("0");
    Qel_WorkerExit();
    worker_stopped = 1;
}

} // namespace

int tickmend_main(HINSTANCE instance, const char* command_line)
{
    if (command_line && _mbscmp(reinterpret_cast<const unsigned char*>(command_line),
                                reinterpret_cast<const unsigned char*>("/k")) == 0) {
        // With no instance to close, what an earlier run left owed is given back here.
        if (!close_running_instance(instance) && !instance_running()) Qel_DaemonFinishRestore();
        return 1;
    }

    SetLastError(0);
    single_instance_mutex = CreateMutexA(nullptr, FALSE, mutex_name);
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;

    LoadStringA(instance, IDS_APP_TITLE, window_title, sizeof window_title);
    LoadStringA(instance, IDC_TICKMEND, window_class_name, sizeof window_class_name);
    register_main_window_class(instance);

    if (!Qel_WorkerStart(0, 0)) return 1;

    DWORD saved = 0;
    start_mode = GetRegistryValue(HKEY_CURRENT_USER, settings_key, "start_mode", &saved, sizeof saved)
                     ? static_cast<int>(saved)
                     : 0;
    if (start_mode) Qel_DaemonDoCommand("1");

    if (!create_tray_window(instance, SW_HIDE)) {
        // No window to stop it later: stop the worker now, which also turns Gaming Mode off.
        Qel_WorkerExit();
        return 0;
    }

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_TICKMEND));
    MSG msg = {};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
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
    SendMessageA(window, WM_DESTROY, 0, 0);
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

ULONGLONG get_shell_version(const char* dll_name)
{
    HMODULE module = LoadLibraryA(dll_name);
    if (!module) return 0;
    ULONGLONG version = 0;
    auto dll_get_version = proc_address<DLLGETVERSIONPROC>(module, "DllGetVersion");
    if (dll_get_version) {
        DLLVERSIONINFO info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (SUCCEEDED(dll_get_version(&info)))
            version = (static_cast<ULONGLONG>(info.dwMajorVersion) << 48) |
                      (static_cast<ULONGLONG>(info.dwMinorVersion & 0xFFFF) << 32);
    }
    FreeLibrary(module);
    return version;
}

DWORD tray_icon_data_size(ULONGLONG shell_version)
{
    return (shell_version >> 32) >= 0x50000 ? tray_record_size : tray_record_size_old;
}

int create_tray_window(HINSTANCE instance, int show_command)
{
    app_instance = instance;
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

    DWORD handle_value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "window_handle", REG_DWORD, &handle_value,
                       sizeof handle_value);

    OSVERSIONINFOEXA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    is_vista = version.dwMajorVersion == 6 ? 1 : 0;

    if (is_vista == 1) {
        // Neither function exists on Windows XP: both are looked up, never imported.
        user32_module = LoadLibraryA("User32.dll");
        if (!user32_module) return 0;
        register_power_notification =
            proc_address<register_power_notification_fn>(user32_module, "RegisterPowerSettingNotification");
        unregister_power_notification =
            proc_address<unregister_power_notification_fn>(user32_module, "UnregisterPowerSettingNotification");
        if (!register_power_notification || !unregister_power_notification) {
            TRACE("app create_tray_window : power setting notification functions missing\n");
            return 0;
        }
        power_notify_handle = register_power_notification(window, &power_personality, DEVICE_NOTIFY_WINDOW_HANDLE);
    }

    WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);

    taskbar_created_message = RegisterWindowMessageA("TaskbarCreated");
    add_tray_icon(window);
    // Warnings raised before the window existed (at the restore of start_mode) show now.
    balloons_shown = 0;
    notice_set_window(window, WM_TRAY_NOTICE);
    PostMessageA(window, WM_TRAY_NOTICE, 0, 0);

    ShowWindow(window, show_command);
    return 1;
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_COMMAND:
        if (on_command(window, LOWORD(wparam))) return 0;
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
            remove_tray_icon();
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
        if (lparam == WM_CONTEXTMENU || lparam == WM_RBUTTONDOWN) show_tray_menu(window);
        return 0;
    case WM_TRAY_NOTICE:
        on_notice(window);
        return 0;
    default:
        // Explorer restarted (or the taskbar was re-created): our icon is gone with it.
        if (message == taskbar_created_message && message != 0) {
            add_tray_icon(window);
            return 0;
        }
        break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

void format_tray_tip(char* buffer, int size, int game_mode_on, unsigned raised)
{
    if (size <= 0) return;
    int used = _snprintf(buffer, size, "%s: Gaming Mode %s", tray_title, game_mode_on ? "on" : "off");
    if (used < 0 || used >= size) {
        buffer[size - 1] = '\0';
        return;
    }
    // What Gaming Mode left out, or what still stands in the way, one brief a line; a brief
    // that two notices share (power plan unchanged) is said once.
    const char* said[NOTICE_COUNT];
    int said_count = 0;
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        if (!(raised & (1u << id))) continue;
        bool about_sequence = id != NOTICE_PIPE_NAME_TAKEN && id != NOTICE_RESTORE_PENDING;
        if (about_sequence && !game_mode_on) continue;
        const char* brief = notice_short(static_cast<notice_id>(id));
        bool repeated = false;
        for (int k = 0; k < said_count; ++k) repeated = repeated || strcmp(said[k], brief) == 0;
        if (repeated) continue;
        said[said_count++] = brief;
        int more = _snprintf(buffer + used, size - used, "\n%s", brief);
        if (more < 0 || more >= size - used) break; // the tooltip is full: cut at a whole line
        used += more;
    }
    buffer[used] = '\0';
}

const char* tray_balloon_text()
{
    return balloon_text;
}

const char* tray_tip_text()
{
    return tray_icon_data.data.szTip;
}

HMENU build_tray_menu(int game_mode_on)
{
    HMENU menu = CreatePopupMenu();
    if (!menu) return nullptr;
    const UINT_PTR at_end = 0xFFFFFFFF;
    InsertMenuA(menu, at_end, MF_BYPOSITION | (game_mode_on ? MF_CHECKED : MF_UNCHECKED), IDM_TRAY_GAMING_MODE,
                "Gaming Mode");
    InsertMenuA(menu, at_end, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuA(menu, at_end, MF_BYPOSITION, IDM_TRAY_ABOUT, "About");
    InsertMenuA(menu, at_end, MF_BYPOSITION, IDM_TRAY_EXIT, "Exit");
    return menu;
}

void show_tray_menu(HWND window)
{
    POINT cursor = {};
    GetCursorPos(&cursor);
    HMENU menu = build_tray_menu(Qel_DaemonIsGameModeOn());
    if (!menu) return;
    // Without the foreground the menu would not close when the user clicks elsewhere, and
    // without the WM_NULL it would not close at once after a choice.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int guid_equal(const GUID* a, const GUID* b)
{
    return memcmp(a, b, sizeof(GUID)) == 0 ? 1 : 0;
}

int guid_not_equal(const GUID* a, const GUID* b)
{
    return guid_equal(a, b) ? 0 : 1;
}
