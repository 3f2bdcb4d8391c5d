// The program's entry and the tray window's set-up: "/k", the single instance, the exit
// codes, the restore of start_mode, the shell version, and the Windows version rule. Runs
// that hold the single-instance mutex or need another Windows version happen in a child
// process of this test program (InChildProcess.*), each with the fakes of its own.
#include "app/app.h"
#include "common/switch_bounds.h"
#include "app/resource.h"
#include "app_test_support.h"
#include "fakes.h"
#include "notice/notice.h"
#include "registry/registry.h"
#include "tickmend_version.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

using namespace app_testing;
using Calls = std::vector<std::string>;

namespace {

ULONGLONG dll_version_of(const char* dll)
{
    HMODULE module = LoadLibraryA(dll);
    if (!module) return 0;
    auto get = reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetVersion")));
    DLLVERSIONINFO info = {};
    info.cbSize = sizeof info;
    ULONGLONG packed = 0;
    if (get && SUCCEEDED(get(&info)))
        packed = static_cast<ULONGLONG>(info.dwMajorVersion) * 0x1000000000000ULL +
                 static_cast<ULONGLONG>(info.dwMinorVersion) * 0x100000000ULL;
    FreeLibrary(module);
    return packed;
}

TEST(ShellVersion, PacksMajorAndMinorIntoTheHighHalf)
{
    for (const char* dll : {"Shell32.dll", "comctl32.dll", "shlwapi.dll"}) {
        ULONGLONG expected = dll_version_of(dll);
        ASSERT_NE(0u, expected) << dll << " answers DllGetVersion under Wine";
        ULONGLONG packed = get_shell_version(dll);
        EXPECT_EQ(expected, packed) << dll;
        EXPECT_EQ(0u, packed & 0xFFFFFFFFu) << "build and platform are not used";
    }
}

TEST(ShellVersion, UnknownWithoutTheDllOrItsDllGetVersion)
{
    EXPECT_EQ(0u, get_shell_version("kernel32.dll"));
    EXPECT_EQ(0u, get_shell_version("no-such-library-here.dll"));
}

TEST(ShellVersion, TrayRecordSizeIs952FromShell5On)
{
    auto packed = [](ULONGLONG major, ULONGLONG minor) { return (major << 48) | (minor << 32); };
    // The Unicode record (NOTIFYICONDATAW) up to its item GUID, or without it.
    EXPECT_EQ(952u, tray_icon_data_size(packed(6, 0)));
    EXPECT_EQ(952u, tray_icon_data_size(packed(5, 0)));
    EXPECT_EQ(952u, tray_icon_data_size(packed(10, 1)));
    EXPECT_EQ(936u, tray_icon_data_size(packed(4, 71)));
    EXPECT_EQ(936u, tray_icon_data_size(packed(4, 0xFFFF)));
    EXPECT_EQ(936u, tray_icon_data_size(0));
    EXPECT_EQ(static_cast<size_t>(952), offsetof(NOTIFYICONDATAW, hBalloonIcon));
    EXPECT_EQ(static_cast<size_t>(936), offsetof(NOTIFYICONDATAW, guidItem));
    // The shell this test runs with, through the same reading the window uses.
    EXPECT_EQ(dll_version_of("Shell32.dll") >= packed(5, 0) ? 952u : 936u,
              tray_icon_data_size(get_shell_version("Shell32.dll")));
}

TEST(GuidCompare, WholeSixteenBytesDecide)
{
    const GUID a = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
    for (int byte = 0; byte < 16; ++byte) {
        GUID b = a;
        reinterpret_cast<BYTE*>(&b)[byte] ^= 0x01;
        EXPECT_EQ(0, guid_equal(&a, &b)) << byte;
        EXPECT_EQ(1, guid_not_equal(&a, &b)) << byte;
    }
    GUID copy = a;
    EXPECT_EQ(1, guid_equal(&a, &copy));
    EXPECT_EQ(0, guid_not_equal(&a, &copy));
}

// A window of our class that only records what it receives (the "/k" target).
std::vector<UINT> received;
LRESULT CALLBACK recording_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_DESTROY) received.push_back(message);
    return DefWindowProcA(window, message, wparam, lparam);
}

TEST(CloseArgument, SendsDestroyOnlyToAWindowOfOurClass)
{
    // A class of another program, with the same procedure, so only the class name differs.
    HWND foreign = make_window("SomeoneElsesWindow", recording_proc);
    ASSERT_NE(nullptr, foreign);
    received.clear();
    write_setting("window_handle", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(foreign)));
    EXPECT_EQ(1, tickmend_main(instance(), "/k"));
    EXPECT_TRUE(received.empty()) << "a stale window_handle naming another program's window is left alone";
    DestroyWindow(foreign);
    received.clear();

    // A window of class "TICKMEND" gets WM_DESTROY.
    HWND target = make_window("TICKMEND", recording_proc);
    ASSERT_NE(nullptr, target);
    write_setting("window_handle", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(target)));
    EXPECT_EQ(1, tickmend_main(instance(), "/k"));
    EXPECT_EQ((std::vector<UINT>{WM_DESTROY}), received);
    DestroyWindow(target); // the real WM_DESTROY of the window itself
    UnregisterClassA("TICKMEND", instance());
    received.clear();

    // No value, or a handle that names nothing, and no window of our class: nothing is
    // sent, and no instance was found; "/k" still ends with 1.
    delete_setting("window_handle");
    EXPECT_EQ(0, close_running_instance(instance()));
    EXPECT_EQ(1, tickmend_main(instance(), "/k"));
    write_setting("window_handle", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(target)));
    EXPECT_EQ(1, tickmend_main(instance(), "/k"));
    EXPECT_TRUE(received.empty());
    EXPECT_FALSE(drain_messages());

    // An instance that could not write its handle, or whose stored one is stale, is found
    // by its class.
    target = make_window("TICKMEND", recording_proc);
    ASSERT_NE(nullptr, target);
    delete_setting("window_handle");
    EXPECT_EQ(1, close_running_instance(instance()));
    foreign = make_window("SomeoneElsesWindow", recording_proc);
    write_setting("window_handle", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(foreign)));
    EXPECT_EQ(1, close_running_instance(instance()));
    EXPECT_EQ((std::vector<UINT>{WM_DESTROY, WM_DESTROY}), received) << "both to the window of our class";
    received.clear();
    DestroyWindow(foreign);
    DestroyWindow(target);
    UnregisterClassA("TICKMEND", instance());
    UnregisterClassA("SomeoneElsesWindow", instance());
}

// Each runs the InChildProcess test of its name in a child process.
class Entry : public ::testing::TestWithParam<const char*> {};

TEST_P(Entry, PassesInAChildProcess)
{
    EXPECT_EQ(0, run_child(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(InChild, Entry,
                         ::testing::Values("CloseArgumentInEitherCaseWithSlashOrDash",
                                           "UnknownSwitchShowsTheSwitchesAndStartsNothing",
                                           "StartAtLogonFollowsThisUsersChoice",
                                           "QuestionMarkShowsTheSwitchesAndTheLastStart",
                                           "SecondInstanceEndsWithZeroAndDoesNothing",
                                           "WithoutGamingModeTheProgramEndsWithOneAndNoWindow",
                                           "RunRestoresGamingModeBeforeTheWindowAndExitStoresIt",
                                           "AcceleratorsInTheMessageLoopOpenTheAboutBox",
                                           "WindowSetUpFailureStopsTheWorkerAndEndsWithZero",
                                           "CloseRequestEndsTheMessageLoopAsDestroyDoes",
                                           "PlanCloseCouldNotGiveBackIsToldByTheNextStartsBalloon"),
                         [](const ::testing::TestParamInfo<const char*>& param) { return std::string(param.param); });

// The About box's logo grows with the DPI as the dialog does (the program is DPI-aware).
TEST(EntryDpi, AboutBoxLogoIsDrawnForTheScreensDpi)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, "Control Panel\\Desktop", &key));
    const DWORD dpi = 144;
    RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
    EXPECT_EQ(0, run_child("AboutBoxLogoProbe", "TICKMEND_APP_DPI=144"));
    RegDeleteValueA(key, "LogPixels");
    RegCloseKey(key);
}

TEST(EntryVersion, PowerPersonalityIsWatchedFromVistaOnWhateverVersionIsReported)
{
    struct {
        const char* wine_version;
        int major;
        bool watched;
    } cases[] = {{"winxp", 5, false}, {"vista", 6, true}, {"win7", 6, true},
                 // This test program declares Windows 10 in its manifest, so it is told 10.0:
                 // a Windows that reports 10 has the notification as much as Vista does.
                 {"win10", 10, true}};
    for (const auto& c : cases) {
        std::string env = "TICKMEND_APP_MAJOR=" + std::to_string(c.major) +
                          "\nTICKMEND_APP_WATCHED=" + (c.watched ? "1" : "0");
        EXPECT_EQ(0, run_child("PowerPersonalityProbe", env, c.wine_version)) << c.wine_version;
    }
}

// ---- The child processes' side -------------------------------------------------------

// Run by hand, outside a child, these would hold the mutex or change the Windows version
// for the rest of the run.
#define CHILD_ONLY()                                                                      \
    do {                                                                                  \
        if (!in_child()) GTEST_SKIP() << "runs as a child process of the Entry test";     \
    } while (0)

int environment_number(const char* name)
{
    char value[16] = "";
    if (!GetEnvironmentVariableA(name, value, sizeof value)) return -1;
    return atoi(value);
}

// Posts a message to the main window from another thread once it exists, and reports it.
struct MainWindowPoster {
    explicit MainWindowPoster(std::function<void(HWND)> act) : act_(std::move(act))
    {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~MainWindowPoster()
    {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    static DWORD WINAPI run(void* p)
    {
        auto* self = static_cast<MainWindowPoster*>(p);
        for (int i = 0; i < 1000; ++i) {
            HWND window = find_own_window("TICKMEND");
            if (window) {
                self->window = window;
                self->act_(window);
                return 0;
            }
            Sleep(10);
        }
        return 0;
    }
    std::function<void(HWND)> act_;
    HANDLE thread_;
    HWND window = nullptr;
};

TEST(InChildProcess, CloseArgumentInEitherCaseWithSlashOrDash)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    fakes::worker_start_result = 0; // no Gaming Mode: a normal start ends right after the worker start
    delete_setting("window_handle");

    for (const char* text : {"/k", "/K", "-k", "-K", " /k "}) {
        fakes::calls.clear();
        EXPECT_EQ(1, tickmend_main(instance(), text)) << text;
        EXPECT_EQ((Calls{"FinishRestore"}), fakes::calls)
            << text << ": with no instance it gives back what an earlier run owes, takes no mutex, starts nothing";
    }

    fakes::calls.clear();
    EXPECT_EQ(1, tickmend_main(instance(), "/logon"));
    EXPECT_EQ((Calls{"WorkerStart"}), fakes::calls) << "the start at logon: a normal start";

    // From now on this process holds the mutex: a normal start is a second instance.
    fakes::calls.clear();
    EXPECT_EQ(0, tickmend_main(instance(), " /logon "));
    EXPECT_TRUE(fakes::calls.empty());
    // An instance runs (this process) and has no window: it is asked, does not end, and
    // "/k" (here spelt "-K") says so at its bound (shortened: switches of 0.4 s at most).
    set_switch_bounds(50, 200);
    EXPECT_EQ(2, tickmend_main(instance(), "-K"));
    set_switch_bounds(0, 0);
    EXPECT_TRUE(fakes::calls.empty()) << "an instance runs (this process): it gives back itself";
}

// The message box this thread's call shows, read and closed: its title and text.
struct ShownBox {
    std::string title, text;
};

ShownBox box_of(const std::function<void()>& call)
{
    ShownBox shown;
    WindowWatcher watcher(
        "#32770", nullptr,
        [&](HWND box) {
            char buffer[1024] = "";
            GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer); // the message box's text
            shown.text = buffer;
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        },
        [](HWND box) { PostMessageA(box, WM_CLOSE, 0, 0); });
    call();
    watcher.stop();
    shown.title = watcher.title();
    return shown;
}

// A switch the program does not take shows the "/?" box and starts nothing, not even when
// Gaming Mode was on at the last exit; the exit code is the usage error's.
TEST(InChildProcess, UnknownSwitchShowsTheSwitchesAndStartsNothing)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    write_setting("start_mode", 1);
    for (const char* text : {"--help", "--version", "/k now", "/kx", "k", "--k", "/k/k", "/logon now"}) {
        int code = -1;
        const ShownBox shown = box_of([&] { code = tickmend_main(instance(), text); });
        EXPECT_EQ(64, code) << text;
        EXPECT_EQ("QEL Pacemill", shown.title) << text;
        EXPECT_EQ(0u, shown.text.find(std::string("tickmend.exe does not take \"") + text + "\"")) << shown.text;
        EXPECT_NE(std::string::npos, shown.text.find("/k (also /K or -k)")) << shown.text;
        EXPECT_NE(std::string::npos, shown.text.find("QEL Pacemill " TICKMEND_VERSION "\n")) << "the version: " << shown.text;
    }
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_EQ(nullptr, find_own_window("TICKMEND"));
}

// "/logon", the start at logon, goes on only while this user's "Start at logon" is on.
TEST(InChildProcess, StartAtLogonFollowsThisUsersChoice)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    fakes::worker_start_result = 0; // no Gaming Mode: a start ends right after the worker start
    delete_setting("last_start"); // no record of an earlier start (another test's) to answer from
    ASSERT_TRUE(choose_start_at_logon(false));
    for (const char* text : {"/logon", "-LOGON", " /Logon "}) EXPECT_EQ(0, tickmend_main(instance(), text)) << text;
    EXPECT_TRUE(fakes::calls.empty()) << "turned off: nothing starts";
    // The user's own start is not the start at logon: it starts, and, ending at once (a
    // double click, no shortcut), says why in a box.
    int code = -1;
    const ShownBox box = box_of([&] { code = tickmend_main(instance(), ""); });
    EXPECT_EQ(1, code);
    EXPECT_EQ((Calls{"WorkerStart"}), fakes::calls);
    EXPECT_NE(std::string::npos, box.text.find("QEL Pacemill does not stay in the notification area")) << box.text;
    fakes::calls.clear();
    ASSERT_TRUE(choose_start_at_logon(true));
    EXPECT_EQ(0, tickmend_main(instance(), "/logon")) << "a second instance now";
    delete_setting("start_at_logon");
}

// "/?" shows the switches and what the last start did, starts nothing and ends with 0.
TEST(InChildProcess, QuestionMarkShowsTheSwitchesAndTheLastStart)
{
    CHILD_ONLY();
    fakes::reset();
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, settings_key, &key));
    const char what[] = "one node: drift compensation not registered: the TSC driver is absent";
    RegSetValueExA(key, "last_start", 0, REG_SZ, reinterpret_cast<const BYTE*>(what), sizeof what);
    RegCloseKey(key);
    for (const char* text : {"/?", "-?"}) {
        int code = -1;
        const ShownBox box = box_of([&] { code = tickmend_main(instance(), text); });
        const std::string& shown = box.text;
        EXPECT_EQ(0, code) << text;
        EXPECT_EQ("QEL Pacemill", box.title) << text;
        EXPECT_NE(std::string::npos, shown.find("/k")) << shown;
        EXPECT_NE(std::string::npos, shown.find(what)) << shown;
        EXPECT_NE(std::string::npos, shown.find("One instance runs per session")) << shown;
        EXPECT_EQ(0u, shown.find("QEL Pacemill " TICKMEND_VERSION "\n\n")) << shown;
        // Paragraphs without tabs whose sentences flow: the box wraps them, no line of
        // a sentence stands alone.
        EXPECT_EQ(std::string::npos, shown.find('\t')) << shown;
        const std::string switches = shown.substr(0, shown.find("Last start"));
        for (size_t at = 0, end; at < switches.size(); at = end + 2) {
            end = switches.find("\n\n", at);
            if (end == std::string::npos) end = switches.size();
            EXPECT_EQ(std::string::npos, switches.substr(at, end - at).find('\n')) << switches.substr(at, end - at);
        }
    }
    EXPECT_TRUE(fakes::calls.empty());
    delete_setting("last_start"); // the record was this test's own
}

TEST(InChildProcess, SecondInstanceEndsWithZeroAndDoesNothing)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    HANDLE first = CreateMutexA(nullptr, FALSE, "QEL Pacemill Single Instance");
    ASSERT_NE(nullptr, first);
    write_setting("start_mode", 1);
    EXPECT_EQ(0, tickmend_main(instance(), "/logon"));
    // Started by hand, it says that it runs already.
    int code = -1;
    const ShownBox box = box_of([&] { code = tickmend_main(instance(), ""); });
    EXPECT_EQ(0, code);
    EXPECT_EQ(0u, box.text.find("QEL Pacemill is running already")) << box.text;
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_EQ(nullptr, find_own_window("TICKMEND"));
    CloseHandle(first);
}

TEST(InChildProcess, WithoutGamingModeTheProgramEndsWithOneAndNoWindow)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    fakes::worker_start_result = 0;
    write_setting("start_mode", 1);
    delete_setting("window_handle");
    EXPECT_EQ(1, tickmend_main(instance(), "/logon"));
    EXPECT_EQ((Calls{"WorkerStart"}), fakes::calls);
    EXPECT_EQ(nullptr, find_own_window("TICKMEND"));
    EXPECT_EQ(0xFFFFFFFFu, read_setting("window_handle"));
}

TEST(InChildProcess, RunRestoresGamingModeBeforeTheWindowAndExitStoresIt)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    write_setting("start_mode", 1);
    bool icon_was_present = false;
    int result;
    HWND seen;
    {
        MainWindowPoster poster([&](HWND window) {
            // The window exists a moment before its icon is added.
            for (int i = 0; i < 500 && !icon_was_present; ++i) {
                icon_was_present = tray_icon_present(window);
                if (!icon_was_present) Sleep(10);
            }
            PostMessageA(window, WM_COMMAND, IDM_TRAY_EXIT, 0);
        });
        result = tickmend_main(instance(), "");
        seen = poster.window;
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ((Calls{"WorkerStart", "DoCommand 1", "WorkerExit"}), fakes::calls);
    EXPECT_FALSE(fakes::window_existed_at_command_on) << "Gaming Mode is restored before the window exists";
    EXPECT_TRUE(icon_was_present);
    EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(seen)), read_setting("window_handle"));
    EXPECT_EQ(1u, fakes::start_mode_at_worker_exit);
    EXPECT_EQ(1u, read_setting("start_mode"));
    EXPECT_FALSE(tray_icon_present(seen));
}

TEST(InChildProcess, AcceleratorsInTheMessageLoopOpenTheAboutBox)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    write_setting("start_mode", 0);
    int boxes = 0;
    int result;
    {
        MainWindowPoster poster([&](HWND window) {
            // Alt held, in the key state the loop's thread sees: shared through attached input.
            AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr), TRUE);
            BYTE keys[256];
            GetKeyboardState(keys);
            keys[VK_MENU] = keys[VK_LMENU] = 0x80;
            SetKeyboardState(keys);
            for (WPARAM key : {WPARAM('?'), WPARAM('/')}) {
                // Alt held: the context bit of a WM_SYSCHAR.
                WindowWatcher watcher("#32770", window, [](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDOK, 0); },
                                      [](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); });
                PostMessageA(window, WM_SYSCHAR, key, 0x20000001);
                for (int i = 0; i < 500 && !watcher.found(); ++i) Sleep(10);
                watcher.stop();
                if (watcher.found() && watcher.title() == "About QEL Pacemill") ++boxes;
            }
            keys[VK_MENU] = keys[VK_LMENU] = 0;
            SetKeyboardState(keys);
            AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr), FALSE);
            PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
        });
        result = tickmend_main(instance(), "");
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ(2, boxes);
    EXPECT_EQ((Calls{"WorkerStart", "WorkerExit"}), fakes::calls);
}

// "/k" that finds no window asks through the close-request event: the message loop ends
// the instance on it as on WM_DESTROY.
TEST(InChildProcess, CloseRequestEndsTheMessageLoopAsDestroyDoes)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    write_setting("start_mode", 0);
    bool ended_by_request = false;
    int result;
    {
        MainWindowPoster poster([&](HWND window) {
            HANDLE request = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Local\\QEL Pacemill Close Request");
            if (request) SetEvent(request);
            if (request) CloseHandle(request);
            // The end stops the worker (and then the loop ends).
            for (int i = 0; i < 500 && fakes::worker_running; ++i) Sleep(10);
            ended_by_request = !fakes::worker_running;
            if (!ended_by_request) PostMessageA(window, WM_COMMAND, IDM_TRAY_EXIT, 0);
        });
        result = tickmend_main(instance(), "");
    }
    EXPECT_TRUE(ended_by_request) << "the loop did not look at the close request";
    EXPECT_EQ(0, result);
    EXPECT_EQ((Calls{"WorkerStart", "WorkerExit"}), fakes::calls);
}

// A plan "/k" could not give back, with no window to say it in and no one who started it by
// hand, is said by the next start's balloon, once.
TEST(InChildProcess, PlanCloseCouldNotGiveBackIsToldByTheNextStartsBalloon)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    delete_setting("window_handle");
    delete_setting("restore_untold");
    const char* const plan = "01234567-89ab-cdef-0123-456789abcdef";
    notice_raise(NOTICE_PLAN_NOT_GIVEN_BACK, plan); // as the daemon's restore finds the plan gone
    EXPECT_EQ(1, tickmend_main(instance(), "/k"));
    notice_clear(NOTICE_PLAN_NOT_GIVEN_BACK);
    char kept[96] = "";
    EXPECT_EQ(1, GetRegistryValue(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill", "restore_untold", kept, sizeof kept));
    EXPECT_STREQ(plan, kept);

    write_setting("start_mode", 0);
    std::string balloon;
    {
        MainWindowPoster poster([&](HWND window) {
            for (int i = 0; i < 500 && !strstr(tray_balloon_text(), plan); ++i) Sleep(10);
            balloon = tray_balloon_text();
            PostMessageA(window, WM_COMMAND, IDM_TRAY_EXIT, 0);
        });
        EXPECT_EQ(0, tickmend_main(instance(), ""));
    }
    EXPECT_EQ(0u, balloon.find("Your power plan could not be given back")) << balloon;
    EXPECT_NE(std::string::npos, balloon.find(plan)) << balloon;
    EXPECT_EQ(0, GetRegistryValue(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill", "restore_untold", kept, sizeof kept))
        << "told again at the next start: " << kept;
}

HHOOK refusing_hook;
LRESULT CALLBACK refuse_window_creation(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_CREATEWND) return 1; // the creation fails
    return CallNextHookEx(refusing_hook, code, wparam, lparam);
}

TEST(InChildProcess, WindowSetUpFailureStopsTheWorkerAndEndsWithZero)
{
    CHILD_ONLY();
    fakes::reset();
    fakes::worker_running = false;
    write_setting("start_mode", 1);
    refusing_hook = SetWindowsHookExA(WH_CBT, refuse_window_creation, nullptr, GetCurrentThreadId());
    ASSERT_NE(nullptr, refusing_hook);
    int result = tickmend_main(instance(), "");
    UnhookWindowsHookEx(refusing_hook);
    EXPECT_EQ(0, result);
    EXPECT_EQ((Calls{"WorkerStart", "DoCommand 1", "WorkerExit"}), fakes::calls);
    EXPECT_EQ(0, fakes::game_mode_on);
    EXPECT_FALSE(fakes::worker_running);
    EXPECT_EQ(1u, read_setting("start_mode")) << "nothing to save: start_mode stays as it was";
}

TEST(InChildProcess, PowerPersonalityProbe)
{
    CHILD_ONLY();
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    ASSERT_EQ(static_cast<DWORD>(environment_number("TICKMEND_APP_MAJOR")), version.dwMajorVersion)
        << "Wine did not report the Windows version asked for";
    bool watched = environment_number("TICKMEND_APP_WATCHED") == 1;

    fakes::reset();
    register_main_window_class(instance());
    ASSERT_EQ(1, create_tray_window(instance(), SW_HIDE));
    HWND window = find_own_window("TICKMEND");
    ASSERT_NE(nullptr, window);
    SendMessageA(window, WM_COMMAND, IDM_TRAY_GAMING_MODE, 0);
    ASSERT_EQ(1, fakes::game_mode_on);
    fakes::calls.clear();

    struct {
        GUID setting;
        DWORD length;
        GUID data;
    } record = {{0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}},
                sizeof(GUID),
                {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}}};
    SendMessageA(window, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(&record));
    if (watched)
        EXPECT_EQ((Calls{"DoCommand 0 (scheme changed externally)"}), fakes::calls);
    else
        EXPECT_TRUE(fakes::calls.empty());

    DestroyWindow(window);
    drain_messages();
}

} // namespace

TEST(InChildProcess, AboutBoxLogoProbe)
{
    CHILD_ONLY();
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(environment_number("TICKMEND_APP_DPI"), dpi) << "Wine did not take the DPI asked for";
    HWND dialog = CreateDialogParamA(instance(), MAKEINTRESOURCEA(IDD_ABOUTBOX), nullptr, about_dialog_proc, 0);
    ASSERT_NE(nullptr, dialog);
    BITMAP shown = {};
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
            GetObjectA(reinterpret_cast<HBITMAP>(SendMessageA(c, STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof shown, &shown);
    DestroyWindow(dialog);
    EXPECT_EQ(MulDiv(95, dpi, 96), shown.bmWidth);
    EXPECT_EQ(MulDiv(37, dpi, 96), shown.bmHeight);
}
