// The main window: its class, and its creation with what it registers for.
#include "app/window.h"
#include "app/events.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "app/tray.h"
#include "common/settings.h"
#include "common/trace.h"
#include "registry/registry.h"

#include <wtsapi32.h>

namespace {

HWND main_window_handle;
char window_title[100];
char window_class_name[100];

} // namespace

namespace app {

HWND main_window()
{
    return main_window_handle;
}

} // namespace app

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
    app::worker_stopped = 0;
    main_window_handle = window;

    DWORD handle_value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "window_handle", handle_value);

    if (!app::watch_power_personality(window)) return 0;

    WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);

    app::start_tray_icon(window);

    ShowWindow(window, show_command);
    return 1;
}
