#include "app_test_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <stdio.h>

namespace app_testing {

HINSTANCE instance()
{
    return GetModuleHandleA(nullptr);
}

HWND make_window(const char* class_name, WNDPROC proc)
{
    UnregisterClassA(class_name, instance());
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = instance();
    wc.lpszClassName = class_name;
    if (!RegisterClassA(&wc)) return nullptr;
    return CreateWindowExA(0, class_name, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, instance(), nullptr);
}


const char settings_key[] = "Software\\QEL\\qel_pacemill";

DWORD read_setting(const char* name)
{
    DWORD value = 0xFFFFFFFF;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return value;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0xFFFFFFFF;
    RegCloseKey(key);
    return value;
}

void write_setting(const char* name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void delete_setting(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

HWND find_own_window(const char* class_name, HWND owner)
{
    for (HWND w = FindWindowExA(nullptr, nullptr, class_name, nullptr); w;
         w = FindWindowExA(nullptr, w, class_name, nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != GetCurrentProcessId()) continue;
        if (owner && GetWindow(w, GW_OWNER) != owner) continue;
        return w;
    }
    return nullptr;
}

bool drain_messages(int* quit_code)
{
    bool quit = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            if (quit_code) *quit_code = static_cast<int>(msg.wParam);
        } else {
            DispatchMessageA(&msg);
        }
    }
    return quit;
}

bool tray_icon_present(HWND window)
{
    NOTIFYICONDATAA data = {};
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = 0;
    return Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE;
}

WindowWatcher::WindowWatcher(const char* class_name, HWND owner, std::function<void(HWND)> action,
                             std::function<void(HWND)> guard)
    : class_name_(class_name), owner_(owner), action_(std::move(action)), guard_(std::move(guard))
{
    stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, thread_main, this, 0, nullptr);
}

WindowWatcher::~WindowWatcher()
{
    stop();
    CloseHandle(stop_event_);
}

void WindowWatcher::stop()
{
    if (!thread_) return;
    SetEvent(stop_event_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI WindowWatcher::thread_main(void* self)
{
    static_cast<WindowWatcher*>(self)->run();
    return 0;
}

void WindowWatcher::run()
{
    HWND window = nullptr;
    for (int i = 0; i < 1000 && !window; ++i) {
        if (WaitForSingleObject(stop_event_, 10) == WAIT_OBJECT_0) return;
        HWND w = find_own_window(class_name_.c_str(), owner_);
        if (w && IsWindowVisible(w)) window = w;
    }
    if (!window) return;
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    title_ = text;
    found_ = true;
    action_(window);
    for (int i = 0; i < 1000; ++i) {
        if (!IsWindow(window) || !IsWindowVisible(window)) return;
        if (WaitForSingleObject(stop_event_, 10) == WAIT_OBJECT_0) return;
    }
    guard_fired_ = true;
    guard_(window);
}

std::vector<std::string> menu_items(HMENU menu)
{
    std::vector<std::string> items;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t wide[64] = L"";
        GetMenuStringW(menu, i, wide, 64, MF_BYPOSITION);
        char text[192] = ""; // UTF-8, as the sources spell "…"
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        std::string item = text;
        item += "|" + std::to_string(static_cast<int>(GetMenuItemID(menu, i)));
        if (state & MF_SEPARATOR) item += "|separator";
        if (state & MF_CHECKED) item += "|checked";
        items.push_back(item);
    }
    return items;
}

namespace {

const char child_variable[] = "TICKMEND_APP_CHILD";
const char wine_defaults_root[] = "Software\\Wine\\AppDefaults";

std::string own_path()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string own_file_name()
{
    std::string path = own_path();
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool in_child()
{
    char value[8] = "";
    return GetEnvironmentVariableA(child_variable, value, sizeof value) > 0 && value[0] == '1';
}

int run_child(const char* test, const std::string& extra_env, const char* wine_version)
{
    std::string defaults = std::string(wine_defaults_root) + "\\" + own_file_name();
    if (wine_version) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, defaults.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return -1;
        RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(wine_version),
                       static_cast<DWORD>(strlen(wine_version) + 1));
        RegCloseKey(key);
    }
    std::string env = std::string(child_variable) + "=1";
    if (!extra_env.empty()) env += "\n" + extra_env;
    std::string output;
    int code = testing_support::run_capture("\"" + own_path() + "\" --gtest_filter=InChildProcess." + test, &output,
                                            env, 60000);
    if (code != 0) fprintf(stderr, "---- child InChildProcess.%s (exit %d):\n%s----\n", test, code, output.c_str());
    if (wine_version) testing_support::delete_tree(HKEY_CURRENT_USER, defaults.c_str());
    return code;
}

namespace {

// For the whole run: the program's settings as they were before, and one tray icon of our
// own, so that the shell never removes its last icon (which takes seconds without a window
// manager).
class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        start_mode_ = read_setting("start_mode");
        window_handle_ = read_setting("window_handle");
        keeper_ = CreateWindowExA(0, "STATIC", "tray keeper", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
        NOTIFYICONDATAA data = {};
        data.cbSize = NOTIFYICONDATAA_V2_SIZE;
        data.hWnd = keeper_;
        data.uID = 7;
        data.uFlags = NIF_TIP;
        lstrcpynA(data.szTip, "app_tests", sizeof data.szTip);
        Shell_NotifyIconA(NIM_ADD, &data);
    }
    void TearDown() override
    {
        restore("start_mode", start_mode_);
        restore("window_handle", window_handle_);
        if (keeper_) DestroyWindow(keeper_); // the shell drops the icon of a window that is gone
    }

private:
    static void restore(const char* name, DWORD value)
    {
        if (value == 0xFFFFFFFF) delete_setting(name);
        else write_setting(name, value);
    }
    DWORD start_mode_ = 0xFFFFFFFF;
    DWORD window_handle_ = 0xFFFFFFFF;
    HWND keeper_ = nullptr;
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

} // namespace
} // namespace app_testing

// The tests of the child processes (InChildProcess.*) run only where run_child asks for them.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!app_testing::in_child()) {
        std::string filter = ::testing::GTEST_FLAG(filter);
        filter += filter.find('-') == std::string::npos ? "-InChildProcess.*" : ":InChildProcess.*";
        ::testing::GTEST_FLAG(filter) = filter;
    }
    return RUN_ALL_TESTS();
}
