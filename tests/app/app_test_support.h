// What the tray application's tests share: the program's settings saved around the run,
// a tray icon kept for the whole run, message draining, watchers that act on the modal
// About box or popup menu from another thread, and child runs of this test program.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

namespace app_testing {

extern const char settings_key[]; // "Software\\QEL\\qel_pacemill" under HKEY_CURRENT_USER

// The REG_DWORD value under settings_key, or 0xFFFFFFFF when missing.
DWORD read_setting(const char* name);
void write_setting(const char* name, DWORD value);
void delete_setting(const char* name);

// This test program's module: its resources are the program's.
HINSTANCE instance();

// Registers a window class of this name with proc (again, if it exists with another) and
// makes a small window of it; null when it cannot.
HWND make_window(const char* class_name, WNDPROC proc);

// A top-level window of this process with this class name (and owner, when given), or null.
HWND find_own_window(const char* class_name, HWND owner = nullptr);

// Removes every message waiting for this thread; true when WM_QUIT was among them, with
// its wParam in *quit_code.
bool drain_messages(int* quit_code = nullptr);

// Whether the shell has an icon for (window, id 0): a modification succeeds only then.
bool tray_icon_present(HWND window);

// Watches, on its own thread, for a visible top-level window of class_name in this process
// (owned by owner when given) and runs action(window) on that thread once it appears.
// A window still there 10 s later is ended with guard(window) and counted as a failure;
// with no window at all by then, found() stays false.
class WindowWatcher {
public:
    WindowWatcher(const char* class_name, HWND owner, std::function<void(HWND)> action,
                  std::function<void(HWND)> guard);
    ~WindowWatcher(); // stops watching and joins
    void stop();
    bool found() const { return found_; }
    bool guard_fired() const { return guard_fired_; }
    std::string title() const { return title_; }

private:
    static DWORD WINAPI thread_main(void* self);
    void run();
    std::string class_name_;
    HWND owner_;
    std::function<void(HWND)> action_, guard_;
    HANDLE stop_event_ = nullptr;
    HANDLE thread_ = nullptr;
    volatile bool found_ = false;
    volatile bool guard_fired_ = false;
    std::string title_;
};

// The items of a menu as "text|id|state" strings (text in UTF-8), for a popup menu window of
// another thread.
std::vector<std::string> menu_items(HMENU menu);

// Runs InChildProcess.<test> of this program in a new process with TICKMEND_APP_CHILD=1 and
// the extra environment entries; with wine_version ("winxp", "vista", "win7", "win10")
// Wine reports that Windows version to the child. Returns the child's exit code (0: passed)
// and shows the child's output when it failed. This program's main runs InChildProcess.*
// only in such a child.
int run_child(const char* test, const std::string& extra_env = "", const char* wine_version = nullptr);
// True in such a child.
bool in_child();

} // namespace app_testing
