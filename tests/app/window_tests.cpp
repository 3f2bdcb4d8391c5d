// The window procedure on a real hidden window, with the worker and the daemon replaced by
// fakes: every case is driven by the message Windows would send.
#include "app/app.h"
#include "app/resource.h"
#include "app/start_at_logon.h"
#include "app_test_support.h"
#include "common/handle.h"
#include "daemon/daemon.h"
#include "daemon/daemon_testing.h"
#include "fakes.h"
#include "support/fake_daemon.h"
#include "notice/notice.h"
#include "notice/wording.h"
#include "smp_enum/smp_enum.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <string.h>

using namespace app_testing;
using Calls = std::vector<std::string>;

namespace {

const GUID personality_setting = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
const GUID balanced = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
const GUID power_saver = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};
const GUID high_performance = {0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
// GUID_ACDC_POWER_SOURCE: another setting a window may be told about.
const GUID power_source_setting = {0x5d3e9a59, 0xe9d5, 0x4b00, {0xa6, 0xbd, 0xff, 0x34, 0xff, 0x51, 0x65, 0x48}};

// A POWERBROADCAST_SETTING record as Windows delivers it: the setting, the length, the data.
struct PowerSettingRecord {
    GUID setting;
    DWORD length;
    GUID data;
};

PowerSettingRecord personality_change(const GUID& setting, const GUID& personality)
{
    return PowerSettingRecord{setting, sizeof(GUID), personality};
}

bool is_vista_major()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwMajorVersion == 6;
}

class TrayWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::reset();
        drain_messages();
        register_main_window_class(instance()); // once per process; later calls find it there
        write_setting("start_mode", 7); // neither 0 nor 1: a write is seen
        delete_setting("window_handle");
        ASSERT_EQ(1, create_tray_window(instance(), SW_HIDE));
        window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(read_setting("window_handle")));
        ASSERT_TRUE(IsWindow(window));
        fakes::calls.clear();
    }
    void TearDown() override
    {
        if (IsWindow(window)) DestroyWindow(window);
        drain_messages();
    }
    LRESULT send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0)
    {
        return SendMessageA(window, message, wparam, lparam);
    }
    LRESULT send_personality_change(const GUID& setting, const GUID& personality)
    {
        PowerSettingRecord record = personality_change(setting, personality);
        return send(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(&record));
    }
    // Turns Gaming Mode on through the menu command, the way the user does it.
    void turn_gaming_mode_on()
    {
        send(WM_COMMAND, IDM_TRAY_GAMING_MODE);
        ASSERT_EQ(1, fakes::game_mode_on);
        fakes::calls.clear();
    }
    HWND window = nullptr;
};

TEST_F(TrayWindow, CreationGivesAHiddenWindowOfOurClassWithItsIconAndClassMenu)
{
    char class_name[64] = "";
    char title[64] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ("TICKMEND", class_name);
    EXPECT_STREQ("tickmend", title);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(nullptr, GetParent(window));
    EXPECT_EQ(find_own_window("TICKMEND"), window);
    EXPECT_TRUE(tray_icon_present(window));

    // The class menu is menu 109: "&File" then "&Help".
    HMENU menu = GetMenu(window);
    ASSERT_NE(nullptr, menu);
    ASSERT_EQ(2, GetMenuItemCount(menu));
    char text[32] = "";
    GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ("&File", text);
    GetMenuStringA(menu, 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ("&Help", text);
    EXPECT_TRUE(fakes::calls.empty());
}

TEST_F(TrayWindow, GamingModeCommandSwitchesBothWaysWhateverTheHighWord)
{
    EXPECT_EQ(0, send(WM_COMMAND, IDM_TRAY_GAMING_MODE));
    EXPECT_EQ(1, fakes::game_mode_on);
    EXPECT_EQ(0, send(WM_COMMAND, MAKEWPARAM(IDM_TRAY_GAMING_MODE, 1)));
    EXPECT_EQ(0, fakes::game_mode_on);
    EXPECT_EQ(0, send(WM_COMMAND, MAKEWPARAM(IDM_TRAY_GAMING_MODE, 0)));
    EXPECT_EQ((Calls{"DoCommand 1", "DoCommand 0", "DoCommand 1"}), fakes::calls);
}

TEST_F(TrayWindow, CommandsThatAreNotOursChangeNothing)
{
    for (WORD id : {3, 103, 106, 109, 0xFFFF}) {
        send(WM_COMMAND, id);
        EXPECT_TRUE(IsWindow(window)) << id;
    }
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_FALSE(drain_messages());
}

struct AboutCase {
    WORD command;
    const char* how;       // how the user ends the box
};

class AboutBox : public TrayWindow, public ::testing::WithParamInterface<AboutCase> {};

void end_about_box(HWND dialog, const char* how)
{
    if (strcmp(how, "ok button") == 0) {
        PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    } else if (strcmp(how, "enter") == 0) {
        PostMessageA(dialog, WM_KEYDOWN, VK_RETURN, 0);
    } else if (strcmp(how, "escape") == 0) {
        PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    } else if (strcmp(how, "close box") == 0) {
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
}

TEST_P(AboutBox, CommandShowsTheModalAboutBoxUntilTheUserEndsIt)
{
    const AboutCase c = GetParam();
    bool enabled_while_shown = true;
    HWND main_window = window;
    WindowWatcher watcher(
        "#32770", window,
        [&](HWND dialog) {
            enabled_while_shown = IsWindowEnabled(main_window) != FALSE;
            EXPECT_NE(nullptr, GetDlgItem(dialog, IDOK));
            end_about_box(dialog, c.how);
        },
        [&](HWND) { PostThreadMessageA(GetWindowThreadProcessId(main_window, nullptr), WM_QUIT, 99, 0); });

    EXPECT_EQ(0, send(WM_COMMAND, c.command));
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_FALSE(watcher.guard_fired()) << "the About box did not end on " << c.how;
    EXPECT_EQ("About QEL Pacemill", watcher.title());
    EXPECT_FALSE(enabled_while_shown) << "the box is modal: its owner is disabled meanwhile";
    EXPECT_TRUE(IsWindowEnabled(window));
    EXPECT_EQ(nullptr, find_own_window("#32770", window));
    EXPECT_TRUE(fakes::calls.empty());
}

std::string about_case_name(const ::testing::TestParamInfo<AboutCase>& param_info)
{
    std::string name = std::to_string(param_info.param.command) + "_" + param_info.param.how;
    for (char& ch : name)
        if (ch == ' ') ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(TrayWindow, AboutBox,
                         ::testing::Values(AboutCase{IDM_TRAY_ABOUT, "ok button"}, AboutCase{IDM_ABOUT, "ok button"},
                                           AboutCase{IDM_TRAY_ABOUT, "enter"}, AboutCase{IDM_ABOUT, "escape"},
                                           AboutCase{IDM_TRAY_ABOUT, "close box"}),
                         about_case_name);

TEST_F(TrayWindow, AboutDialogEndsWithTheButtonThatEndedIt)
{
    struct {
        const char* how;
        INT_PTR result;
    } cases[] = {{"ok button", IDOK}, {"enter", IDOK}, {"escape", IDCANCEL}, {"close box", IDCANCEL}};
    for (const auto& c : cases) {
        WindowWatcher watcher("#32770", window, [&](HWND dialog) { end_about_box(dialog, c.how); },
                              [&](HWND) { PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 99, 0); });
        INT_PTR result = DialogBoxParamA(instance(), MAKEINTRESOURCEA(IDD_ABOUTBOX), window, about_dialog_proc, 0);
        watcher.stop();
        EXPECT_EQ(c.result, result) << c.how;
        EXPECT_FALSE(watcher.guard_fired()) << c.how;
    }
}

TEST_F(TrayWindow, AboutDialogProcedureAnswersOnlyInitAndItsTwoCommands)
{
    HWND dialog = CreateDialogParamA(instance(), MAKEINTRESOURCEA(IDD_ABOUTBOX), window, about_dialog_proc, 0);
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(TRUE, about_dialog_proc(dialog, WM_INITDIALOG, 0, 0));
    EXPECT_EQ(FALSE, about_dialog_proc(dialog, WM_COMMAND, 3, 0));
    EXPECT_EQ(FALSE, about_dialog_proc(dialog, WM_TIMER, 1, 0));
    EXPECT_EQ(FALSE, about_dialog_proc(dialog, WM_CLOSE, 0, 0));
    DestroyWindow(dialog);
}

TEST_F(TrayWindow, ExitCommandsSaveGamingModeStopTheWorkerAndEndTheLoop)
{
    for (WORD command : {IDM_TRAY_EXIT, IDM_EXIT}) {
        for (int on : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "command " << command << ", Gaming Mode " << on);
            if (!IsWindow(window)) SetUp();
            if (on) turn_gaming_mode_on();
            EXPECT_EQ(0, send(WM_COMMAND, command));
            EXPECT_FALSE(IsWindow(window));
            EXPECT_EQ(static_cast<DWORD>(on), read_setting("start_mode"));
            // start_mode is stored before the worker stops (which turns Gaming Mode off).
            EXPECT_EQ(static_cast<DWORD>(on), fakes::start_mode_at_worker_exit);
            EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
            EXPECT_FALSE(tray_icon_present(window));
            int code = -1;
            EXPECT_TRUE(drain_messages(&code));
            EXPECT_EQ(0, code);
        }
    }
}

TEST_F(TrayWindow, DestroySentByAnotherProcessIsHandledLikeTheEnd)
{
    turn_gaming_mode_on();
    EXPECT_EQ(0, send(WM_DESTROY));
    EXPECT_TRUE(IsWindow(window)) << "the message alone destroys no window; the process ends instead";
    EXPECT_EQ(1u, read_setting("start_mode"));
    EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
    EXPECT_FALSE(tray_icon_present(window));
    int code = -1;
    EXPECT_TRUE(drain_messages(&code));
    EXPECT_EQ(0, code);
}

TEST_F(TrayWindow, ResumeRerunsGamingModeOnlyWhenItIsOn)
{
    EXPECT_EQ(0, send(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND));
    EXPECT_TRUE(fakes::calls.empty());

    turn_gaming_mode_on();
    EXPECT_EQ(0, send(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND));
    EXPECT_EQ((Calls{"DoCommand 0", "DoCommand 1"}), fakes::calls);
    EXPECT_EQ(1, fakes::game_mode_on);

    fakes::calls.clear();
    for (WPARAM other : {PBT_APMSUSPEND, PBT_APMRESUMEAUTOMATIC, PBT_APMPOWERSTATUSCHANGE})
        EXPECT_EQ(0, send(WM_POWERBROADCAST, other));
    EXPECT_TRUE(fakes::calls.empty());
}

TEST_F(TrayWindow, LeavingHighPerformanceWhileOnTurnsGamingModeOffAndKeepsThePlan)
{
    if (!is_vista_major()) GTEST_SKIP() << "Wine reports no version 6 here; the child runs cover it";
    for (const GUID& plan : {balanced, power_saver}) {
        turn_gaming_mode_on();
        EXPECT_EQ(0, send_personality_change(personality_setting, plan));
        // The flag is up when the command arrives, so the off sequence leaves the plan alone.
        EXPECT_EQ((Calls{"DoCommand 0 (scheme changed externally)"}), fakes::calls);
        EXPECT_EQ(0, fakes::game_mode_on);
    }
}

// Windows names the active plan as the window registers, then at each change. Each change is
// told to Gaming Mode's owner (which tells our own switches from the user's picks); the
// statement at the registration and a repeat are not.
TEST_F(TrayWindow, EachPlanWindowsMakesActiveIsToldToTheOwnerOnce)
{
    if (!is_vista_major()) GTEST_SKIP() << "Wine reports no version 6 here; the child runs cover it";
    const GUID active_scheme_setting = {0x31F9F286, 0x5084, 0x42FE, {0xB7, 0x20, 0x2B, 0x02, 0x64, 0x99, 0x37, 0x63}};
    EXPECT_EQ(0, send_personality_change(active_scheme_setting, power_saver));
    EXPECT_TRUE(fakes::calls.empty()) << "the plan active at the registration was taken for a pick";
    EXPECT_EQ(0, send_personality_change(active_scheme_setting, balanced));
    EXPECT_EQ(0, send_personality_change(active_scheme_setting, balanced));
    PowerSettingRecord short_record = personality_change(active_scheme_setting, power_saver);
    short_record.length = 4;
    EXPECT_EQ(0, send(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(&short_record)));
    EXPECT_EQ(0, send_personality_change(active_scheme_setting, high_performance));
    EXPECT_EQ((Calls{"PlanActivated 381b4222-f694-41f0-9685-ff5bb260df2e",
                     "PlanActivated 8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c"}),
              fakes::calls);
}

TEST_F(TrayWindow, PersonalityChangesThatAreNotOursChangeNothing)
{
    if (!is_vista_major()) GTEST_SKIP() << "Wine reports no version 6 here; the child runs cover it";
    // High performance is the plan Gaming Mode itself activates.
    turn_gaming_mode_on();
    EXPECT_EQ(0, send_personality_change(personality_setting, high_performance));
    // Another setting, even with a personality GUID as data.
    EXPECT_EQ(0, send_personality_change(power_source_setting, balanced));
    // A record too short to hold a personality.
    PowerSettingRecord short_record = personality_change(personality_setting, balanced);
    short_record.length = 4;
    EXPECT_EQ(0, send(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(&short_record)));
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_EQ(0, scheme_changed_externally);

    // While Gaming Mode is off, any personality is fine.
    send(WM_COMMAND, IDM_TRAY_GAMING_MODE);
    fakes::calls.clear();
    EXPECT_EQ(0, send_personality_change(personality_setting, balanced));
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_EQ(0, scheme_changed_externally);
}

TEST_F(TrayWindow, ConsoleDisconnectAndReconnectWithGamingModeOn)
{
    turn_gaming_mode_on();
    // The worker's exit turns Gaming Mode off, after whatever switch runs: no "0" of its own.
    EXPECT_EQ(0, send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT));
    EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
    EXPECT_EQ(0, fakes::game_mode_on);
    EXPECT_FALSE(fakes::worker_running);
    EXPECT_EQ(7u, read_setting("start_mode")) << "a disconnect writes nothing";

    fakes::calls.clear();
    EXPECT_EQ(0, send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT));
    EXPECT_EQ((Calls{"WorkerStart", "DoCommand 1"}), fakes::calls);
    EXPECT_TRUE(fakes::worker_running);
    EXPECT_EQ(1, fakes::game_mode_on);
    EXPECT_EQ(7u, read_setting("start_mode"));
}

TEST_F(TrayWindow, ConsoleDisconnectAndReconnectWithGamingModeOff)
{
    EXPECT_EQ(0, send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT));
    EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
    fakes::calls.clear();
    EXPECT_EQ(0, send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT));
    EXPECT_EQ((Calls{"WorkerStart"}), fakes::calls);
    EXPECT_EQ(0, fakes::game_mode_on);
}

TEST_F(TrayWindow, ConsoleConnectWhileTheWorkerRunsStartsNothingTwice)
{
    // Disconnect with Gaming Mode on, so that start_mode is 1 in memory; then reconnect.
    turn_gaming_mode_on();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT);
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT);
    ASSERT_EQ(1, fakes::game_mode_on);

    // A second connect (a session started remotely, now at the console) with Gaming Mode on.
    fakes::calls.clear();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT);
    EXPECT_EQ((Calls{"WorkerStart (running)"}), fakes::calls);

    // The user turned it off since: a connect does not bring it back.
    send(WM_COMMAND, IDM_TRAY_GAMING_MODE);
    fakes::calls.clear();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT);
    EXPECT_EQ((Calls{"WorkerStart (running)"}), fakes::calls);
    EXPECT_EQ(0, fakes::game_mode_on);
}

TEST_F(TrayWindow, ConsoleConnectWithoutGamingModeAvailableTurnsNothingOn)
{
    turn_gaming_mode_on();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT);
    fakes::worker_start_result = 0;
    fakes::calls.clear();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT);
    EXPECT_EQ((Calls{"WorkerStart"}), fakes::calls);
}

TEST_F(TrayWindow, OtherSessionChangesChangeNothing)
{
    turn_gaming_mode_on();
    for (WPARAM change : {WTS_REMOTE_CONNECT, WTS_REMOTE_DISCONNECT, WTS_SESSION_LOCK, WTS_SESSION_UNLOCK,
                          WTS_SESSION_LOGOFF})
        EXPECT_EQ(0, send(WM_WTSSESSION_CHANGE, change));
    EXPECT_TRUE(fakes::calls.empty());
    EXPECT_EQ(1, fakes::game_mode_on);
}

TEST_F(TrayWindow, EndOfSessionSavesAndStopsOnlyWhenTheSessionReallyEnds)
{
    turn_gaming_mode_on();
    send(WM_ENDSESSION, FALSE);
    EXPECT_TRUE(fakes::calls.empty()) << "a cancelled end of session changes nothing";
    EXPECT_EQ(7u, read_setting("start_mode"));
    EXPECT_TRUE(tray_icon_present(window));
    EXPECT_EQ(1, fakes::game_mode_on);

    send(WM_ENDSESSION, TRUE);
    EXPECT_EQ(1u, read_setting("start_mode"));
    EXPECT_EQ(1u, fakes::start_mode_at_worker_exit);
    EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
    EXPECT_FALSE(tray_icon_present(window));

    // Should the window still be destroyed afterwards, the stopped worker's "off" is not
    // mistaken for the user's choice.
    DestroyWindow(window);
    EXPECT_EQ(1u, read_setting("start_mode"));
}

TEST_F(TrayWindow, ExitWhileDisconnectedKeepsTheStateOfBeforeTheDisconnect)
{
    turn_gaming_mode_on();
    send(WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT);
    send(WM_COMMAND, IDM_TRAY_EXIT);
    EXPECT_EQ(1u, read_setting("start_mode"));
}

TEST_F(TrayWindow, PaintValidatesWithoutDrawing)
{
    InvalidateRect(window, nullptr, TRUE);
    EXPECT_EQ(0, send(WM_PAINT));
    RECT update;
    EXPECT_FALSE(GetUpdateRect(window, &update, FALSE));
}

TEST_F(TrayWindow, TaskbarCreatedAddsTheIconAgain)
{
    // Explorer restarted: its icons are gone.
    NOTIFYICONDATAA data = {};
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = window;
    data.uID = 0;
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &data));
    ASSERT_FALSE(tray_icon_present(window));

    UINT taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    EXPECT_EQ(0, send(taskbar_created));
    EXPECT_TRUE(tray_icon_present(window));
    EXPECT_TRUE(fakes::calls.empty());
}

TEST_F(TrayWindow, UnknownMessagesGoToTheDefaultProcedure)
{
    // WM_GETTEXT is answered by DefWindowProc from the window's title.
    char text[32] = "";
    EXPECT_EQ(8, send(WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)));
    EXPECT_STREQ("tickmend", text);
    EXPECT_EQ(0, send(WM_APP + 1, 0, WM_RBUTTONDOWN));
    EXPECT_TRUE(fakes::calls.empty());
}

TEST(TrayMenu, ListsItsItemsInOrderWithTheCheckMarksFollowingGamingModeAndStartAtLogon)
{
    for (int on : {0, 1}) {
        HMENU menu = build_tray_menu(on, on == 0);
        ASSERT_NE(nullptr, menu);
        // Each with its access key; "…" where a box opens.
        std::vector<std::string> expected = {on ? "&Gaming Mode|0|checked" : "&Gaming Mode|0", "&Status\u2026|5",
                                             "Gaming Mode for &Programs\u2026|4", "|0|separator",
                                             on ? "Start at &logon|3" : "Start at &logon|3|checked", "|0|separator",
                                             "&About\u2026|1", "E&xit|2"};
        EXPECT_EQ(expected, menu_items(menu));
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE;
        ASSERT_TRUE(GetMenuItemInfoA(menu, 0, TRUE, &info));
        EXPECT_EQ(static_cast<UINT>(MFT_STRING), info.fType);
        EXPECT_EQ(on ? static_cast<UINT>(MFS_CHECKED) : 0u, info.fState & MFS_CHECKED);
        EXPECT_EQ(0u, info.fState & (MFS_GRAYED | MFS_DISABLED)) << "the item can be picked";
        EXPECT_EQ(static_cast<UINT>(MFS_DEFAULT), info.fState & MFS_DEFAULT) << "Gaming Mode is the bold default";
        EXPECT_EQ(0u, GetMenuDefaultItem(menu, TRUE, 0));
        DestroyMenu(menu);
    }
}

struct MenuPick {
    std::vector<WPARAM> keys; // posted to the menu in order; empty: the menu is dismissed
};

class TrayCallback : public TrayWindow {
protected:
    // Sends the tray callback; a watcher reads the menu shown and plays the keys into it.
    std::vector<std::string> right_click(LPARAM mouse_message, std::vector<WPARAM> keys, bool* shown)
    {
        std::vector<std::string> items;
        HWND main_window = window;
        foreground_while_shown = nullptr;
        null_posted_after = false;
        WindowWatcher watcher(
            "#32768", nullptr,
            [&](HWND popup) {
                foreground_while_shown = GetForegroundWindow();
                HMENU menu = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
                items = menu_items(menu);
                if (keys.empty()) keys.push_back(VK_ESCAPE);
                for (WPARAM key : keys) PostMessageA(main_window, WM_KEYDOWN, key, 0);
            },
            [&](HWND) { PostMessageA(main_window, WM_CANCELMODE, 0, 0); });
        EXPECT_EQ(0, send(WM_TRAY_ICON, 0, mouse_message));
        watcher.stop();
        EXPECT_FALSE(watcher.guard_fired());
        *shown = watcher.found();
        // The choice arrives as a posted WM_COMMAND.
        MSG msg;
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_NULL) null_posted_after = true;
            DispatchMessageA(&msg);
        }
        return items;
    }
    // The menu's owner is made the foreground window, or the menu would not close when the
    // user clicks elsewhere; the WM_NULL posted afterwards lets it close at once.
    HWND foreground_while_shown = nullptr;
    bool null_posted_after = false;
};

TEST_F(TrayCallback, RightClickShowsTheMenuAndItsChoiceArrivesAsACommand)
{
    // Version 4 puts the icon's id in the high word: the event is the low word alone.
    for (LPARAM click : {LPARAM(WM_CONTEXTMENU), MAKELPARAM(WM_CONTEXTMENU, 0)}) {
        SCOPED_TRACE(click);
        bool shown = false;
        // Down to the first item, "Gaming Mode", and pick it: Gaming Mode goes on.
        std::vector<std::string> items = right_click(click, {VK_DOWN, VK_RETURN}, &shown);
        EXPECT_TRUE(shown);
        EXPECT_EQ(window, foreground_while_shown);
        EXPECT_TRUE(null_posted_after);
        ASSERT_EQ(8u, items.size());
        EXPECT_EQ("&Gaming Mode|0", items[0]);
        EXPECT_EQ("&Status\u2026|5", items[1]);
        EXPECT_EQ("Gaming Mode for &Programs\u2026|4", items[2]);
        EXPECT_EQ("E&xit|2", items[7]);
        EXPECT_EQ((Calls{"DoCommand 1"}), fakes::calls);

        // Built anew: now with the check mark; dismissed, nothing happens.
        fakes::calls.clear();
        items = right_click(click, {}, &shown);
        EXPECT_TRUE(shown);
        ASSERT_FALSE(items.empty());
        EXPECT_EQ("&Gaming Mode|0|checked", items[0]);
        EXPECT_TRUE(fakes::calls.empty());

        // Picked again: off.
        right_click(click, {VK_DOWN, VK_RETURN}, &shown);
        EXPECT_EQ((Calls{"DoCommand 0"}), fakes::calls);
        fakes::calls.clear();
    }
}

TEST_F(TrayCallback, ExitFromTheMenuEndsTheProgram)
{
    turn_gaming_mode_on();
    bool shown = false;
    right_click(WM_CONTEXTMENU, {VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN},
                &shown); // separators are skipped
    EXPECT_TRUE(shown);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(1u, read_setting("start_mode"));
    EXPECT_TRUE(drain_messages());
}

TEST_F(TrayCallback, OtherMouseMessagesShowNoMenu)
{
    // The menu opens on the right button's release (WM_CONTEXTMENU), never on its press.
    for (LPARAM click : {LPARAM(WM_LBUTTONDOWN), LPARAM(WM_RBUTTONDOWN), LPARAM(WM_MOUSEMOVE)}) {
        bool shown = true;
        right_click(click, {}, &shown);
        EXPECT_FALSE(shown) << click;
        EXPECT_FALSE(null_posted_after) << click;
    }
    EXPECT_TRUE(fakes::calls.empty());
}

// A double click switches Gaming Mode, and so does Enter on the icon (NIN_KEYSELECT), which
// some shells send twice for one key press.
TEST_F(TrayCallback, DoubleClickAndEnterSwitchGamingMode)
{
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, WM_LBUTTONDBLCLK));
    EXPECT_EQ(1, fakes::game_mode_on);
    drain_messages(); // the owner's word that the switch ran
    Sleep(GetDoubleClickTime() + 50);
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_KEYSELECT));
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_KEYSELECT));
    EXPECT_EQ(0, fakes::game_mode_on);
    EXPECT_EQ((Calls{"DoCommand 1", "DoCommand 0"}), fakes::calls);

    // A switch slower than the double-click time: the shell's second Enter, which comes
    // after the double-click time but before the switch has ended, switches nothing.
    drain_messages();
    Sleep(GetDoubleClickTime() + 50);
    fakes::calls.clear();
    fake_daemon::set_command_delay(GetDoubleClickTime() + 100);
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_KEYSELECT));
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_KEYSELECT));
    fake_daemon::set_command_delay(0);
    drain_messages();
    EXPECT_EQ((Calls{"DoCommand 1"}), fakes::calls);
    EXPECT_EQ(1, fakes::game_mode_on);
}

// A single left click opens the menu once no second click can make it a double click.
TEST_F(TrayCallback, SingleClickOpensTheMenuAfterTheDoubleClickTime)
{
    Sleep(GetDoubleClickTime()); // no double click of an earlier test is still close
    std::vector<std::string> items;
    HWND main_window = window;
    WindowWatcher watcher(
        "#32768", nullptr,
        [&](HWND popup) {
            items = menu_items(reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0)));
            PostMessageA(main_window, WM_KEYDOWN, VK_ESCAPE, 0);
        },
        [&](HWND) { PostMessageA(main_window, WM_CANCELMODE, 0, 0); });
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_SELECT));
    const DWORD start = GetTickCount();
    while (!watcher.found() && GetTickCount() - start < 3000) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(10);
    }
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_GE(GetTickCount() - start + 20, GetDoubleClickTime()) << "opened before a second click could come";
    ASSERT_FALSE(items.empty());
    EXPECT_EQ("&Gaming Mode|0", items[0]);
    EXPECT_TRUE(fakes::calls.empty());
}

// "/k" while the menu is open: the menu closes and the loop ends, as with no menu.
TEST_F(TrayCallback, EndWhileTheMenuIsOpenClosesItAndEndsTheLoop)
{
    HWND main_window = window;
    WindowWatcher watcher(
        "#32768", nullptr, [&](HWND) { SendMessageA(main_window, WM_DESTROY, 0, 0); },
        [&](HWND) { PostMessageA(main_window, WM_CANCELMODE, 0, 0); });
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, WM_CONTEXTMENU));
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_FALSE(watcher.guard_fired()) << "the menu outlived the end";
    EXPECT_EQ((Calls{"WorkerExit"}), fakes::calls);
    int code = -1;
    EXPECT_TRUE(drain_messages(&code));
    EXPECT_EQ(0, code);
}

int own_dialogs()
{
    struct Count {
        static BOOL CALLBACK one(HWND w, LPARAM n)
        {
            char name[16] = "";
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            GetClassNameA(w, name, sizeof name);
            if (pid == GetCurrentProcessId() && strcmp(name, "#32770") == 0 && IsWindowVisible(w))
                ++*reinterpret_cast<int*>(n);
            return TRUE;
        }
    };
    int n = 0;
    EnumWindows(Count::one, reinterpret_cast<LPARAM>(&n));
    return n;
}

// A second About while one is open brings that one forward; "/k" while it is open ends it.
TEST_F(TrayWindow, OneAboutBoxAtATimeAndAnEndClosesIt)
{
    HWND main_window = window;
    int boxes = 0;
    WindowWatcher watcher(
        "#32770", window,
        [&](HWND) {
            PostMessageA(main_window, WM_COMMAND, IDM_TRAY_ABOUT, 0);
            PostMessageA(main_window, WM_COMMAND, IDM_ABOUT, 0);
            Sleep(300);
            boxes = own_dialogs();
            SendMessageA(main_window, WM_DESTROY, 0, 0);
        },
        [&](HWND) { PostThreadMessageA(GetWindowThreadProcessId(main_window, nullptr), WM_QUIT, 99, 0); });
    EXPECT_EQ(0, send(WM_COMMAND, IDM_TRAY_ABOUT));
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_EQ(1, boxes);
    EXPECT_FALSE(watcher.guard_fired()) << "the About box outlived the end";
    EXPECT_EQ(0, own_dialogs());
    int code = -1;
    EXPECT_TRUE(drain_messages(&code));
    EXPECT_EQ(0, code);
}

// Closed while "Measure again" waits for a held switch: the window goes at once (the
// measurement ends on its own, within its bound), and the end of the program waits for it.
TEST_F(TrayWindow, StatusWindowClosedWhileMeasuringGoesAtOnce)
{
    tk::unique_handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    tk::unique_handle entered(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    fake_daemon::set_measure_gate(gate.get(), entered.get());
    bool measuring = false, gone_while_measuring = false;
    HWND main_window = window;
    WindowWatcher watcher(
        "#32770", window,
        [&](HWND dialog) {
            PostMessageA(dialog, WM_COMMAND, IDC_STATUS_MEASURE, 0);
            measuring = WaitForSingleObject(entered.get(), 20000) == WAIT_OBJECT_0;
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            for (int i = 0; i < 2000 && IsWindow(dialog); ++i) Sleep(10);
            gone_while_measuring = !IsWindow(dialog) && WaitForSingleObject(gate.get(), 0) == WAIT_TIMEOUT;
            SetEvent(gate.get());
        },
        [&](HWND) { PostThreadMessageA(GetWindowThreadProcessId(main_window, nullptr), WM_QUIT, 99, 0); });
    EXPECT_EQ(0, send(WM_COMMAND, IDM_TRAY_STATUS));
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_TRUE(measuring);
    EXPECT_TRUE(gone_while_measuring) << "closing the window waited for the measurement";
    EXPECT_EQ(0, own_dialogs());
    // The end waits for the measurement, which uses the daemon, before the gate goes.
    DestroyWindow(window);
    drain_messages();
    fake_daemon::set_measure_gate(nullptr, nullptr);
}

// The status window asks the PC's facts anew: the tooltip says the same from then on (the
// driver went away since the icon was added).
TEST_F(TrayWindow, StatusWindowsAnswerIsTheTooltipsToo)
{
    const LONG cpus = cpu_count, nodes = node_count;
    send(WM_TRAY_NOTICE);
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tray_tip_text());
    cpu_count = 4; // two nodes, and no TSC driver under Wine
    node_count = 2;
    WindowWatcher watcher("#32770", window, [&](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); },
                          [&](HWND dialog) { EndDialog(dialog, IDCANCEL); });
    EXPECT_EQ(0, send(WM_COMMAND, IDM_TRAY_STATUS));
    watcher.stop();
    drain_messages();
    cpu_count = cpus;
    node_count = nodes;
    EXPECT_TRUE(watcher.found());
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off\nno TSC driver: power plan only", tray_tip_text());
}

} // namespace

// Warnings reach the tray icon from any thread. A balloon tells each once it holds (those
// about the on sequence only while Gaming Mode is on), the tooltip says the state and what
// Gaming Mode left out, a balloon whose warning no longer holds is withdrawn, and a click on
// a balloon explains it in full.
TEST_F(TrayWindow, BalloonsTellWarningsWhileTheyHoldAndAClickExplainsThem)
{
    drain_messages();
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tray_tip_text());
    EXPECT_STREQ("", tray_balloon_text());
    auto text_of = [](notice_id id) {
        char text[256];
        notice_text(id, text, sizeof text);
        return std::string(text);
    };
    // The balloon puts a sentence a line.
    auto balloon = [] {
        std::string text = tray_balloon_text();
        for (char& c : text) c = c == '\n' ? ' ' : c;
        return text;
    };
    auto switch_gaming_mode = [&] {
        send(WM_COMMAND, IDM_TRAY_GAMING_MODE);
        notice_changed(); // what the daemon does after a switch
        drain_messages();
    };

    struct Raiser {
        static DWORD WINAPI run(void*) { notice_raise(NOTICE_DRIVER_ABSENT); return 0; }
    };
    HANDLE raiser = CreateThread(nullptr, 0, Raiser::run, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, raiser);
    WaitForSingleObject(raiser, INFINITE);
    CloseHandle(raiser);
    drain_messages();
    EXPECT_STREQ("", tray_balloon_text()) << "off: nothing was left out";
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tray_tip_text());
    EXPECT_EQ(IDI_TICKMEND, tray_icon_shown());

    switch_gaming_mode();
    EXPECT_EQ(text_of(NOTICE_DRIVER_ABSENT), balloon()) << "on: it holds now";
    notice_raise(NOTICE_PIPE_NAME_TAKEN, "pid 1234");
    drain_messages();
    EXPECT_STREQ("QEL Pacemill: Gaming Mode on\nno TSC driver\npipe taken by another program", tray_tip_text());
    EXPECT_EQ(text_of(NOTICE_PIPE_NAME_TAKEN), balloon()) << "each told once";
    EXPECT_EQ(IDI_TRAY_ON_WARNING, tray_icon_shown()) << "the icon does not follow the state";
    EXPECT_NE(nullptr, strstr(tray_balloon_text(), "(pid 1234)")) << tray_balloon_text();

    // Off: the pipe's warning still holds, and its balloon stands; a click explains it.
    switch_gaming_mode();
    EXPECT_EQ(text_of(NOTICE_PIPE_NAME_TAKEN), balloon());
    std::string explained;
    WindowWatcher watcher(
        "#32770", window,
        [&](HWND box) {
            wchar_t wide[2048] = L"";
            GetDlgItemTextW(box, 0xFFFF, wide, 2048); // the message box's text
            char text[4096] = "";
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            explained = text;
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        },
        [](HWND box) { PostMessageA(box, WM_CLOSE, 0, 0); });
    EXPECT_EQ(0, send(WM_TRAY_ICON, 0, NIN_BALLOONUSERCLICK));
    watcher.stop();
    EXPECT_TRUE(watcher.found());
    EXPECT_EQ("QEL Pacemill", watcher.title());
    EXPECT_EQ(0u, explained.find(text_of(NOTICE_PIPE_NAME_TAKEN))) << explained;
    EXPECT_EQ(std::string::npos, explained.find("TSC driver is not")) << "not the warning that no longer holds";
    EXPECT_STREQ("", tray_balloon_text()) << "a clicked balloon is gone";

    // On again: the driver's warning holds again and is told again; off: it is withdrawn.
    notice_clear(NOTICE_PIPE_NAME_TAKEN);
    switch_gaming_mode();
    EXPECT_EQ(text_of(NOTICE_DRIVER_ABSENT), balloon());
    EXPECT_EQ(IDI_TRAY_ON_WARNING, tray_icon_shown());
    switch_gaming_mode();
    EXPECT_STREQ("", tray_balloon_text()) << "a balloon about Gaming Mode stood after it went off";
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tray_tip_text());
    EXPECT_EQ(IDI_TICKMEND, tray_icon_shown()) << "the icon does not follow the state";
    notice_clear(NOTICE_DRIVER_ABSENT);

    // An on-period that a listed program began names it in the tooltip; the first such
    // period ever is told in a balloon too, once (follow_told), not at every later one.
    delete_setting("follow_told");
    fake_daemon::set_followed_program("game.exe");
    for (const char* told : {"Gaming Mode on for game.exe", ""}) {
        switch_gaming_mode();
        EXPECT_STREQ("QEL Pacemill: Gaming Mode on for game.exe", tray_tip_text());
        EXPECT_STREQ(told, tray_balloon_text());
        send(WM_TRAY_ICON, 0, NIN_BALLOONTIMEOUT); // the shell took it away
        switch_gaming_mode();
        EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tray_tip_text());
    }
    fake_daemon::set_followed_program("");
    delete_setting("follow_told");
}

// The tick is what will happen at logon: a Run value that starts this very program, not turned
// off in Task Manager's Startup tab (StartupApproved), and this user's choice. Ticking it
// where nothing would start writes this user's own Run value; unticking keeps the choice.
TEST_F(TrayWindow, StartAtLogonIsTickedOnlyWhenSomethingStartsThisProgramAtLogon)
{
    const char* const run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const char* const approved = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
    auto set = [](const char* key, DWORD type, const void* data, DWORD size) {
        HKEY opened;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, key, &opened));
        RegSetValueExA(opened, "QEL Pacemill", 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(opened);
    };
    auto forget = [&] {
        for (const char* key : {run, approved}) RegDeleteKeyValueA(HKEY_CURRENT_USER, key, "QEL Pacemill");
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, run, "QEL Pacemill");
        delete_setting("start_at_logon");
    };
    char self[MAX_PATH];
    ASSERT_TRUE(GetModuleFileNameA(nullptr, self, MAX_PATH));
    const std::string starts_this = std::string("\"") + self + "\" /logon";
    const BYTE off[12] = {3, 0, 0, 0, 0xd4, 0x0d, 0x43, 0x8d, 0xc8, 0x3b, 0xd9, 0x01}, on[12] = {2};

    forget();
    EXPECT_TRUE(start_at_logon_chosen()) << "never chosen: on, as the autostart entry is";
    EXPECT_FALSE(start_at_logon_ticked()) << "no Run value: nothing starts at logon";
    const std::string elsewhere = "\"C:\\elsewhere\\tickmend.exe\" /logon";
    set(run, REG_SZ, elsewhere.c_str(), static_cast<DWORD>(elsewhere.size() + 1));
    EXPECT_FALSE(start_at_logon_ticked()) << "a Run value that starts another program";
    set(run, REG_SZ, starts_this.c_str(), static_cast<DWORD>(starts_this.size() + 1));
    EXPECT_TRUE(start_at_logon_ticked());
    set(approved, REG_BINARY, off, sizeof off);
    EXPECT_FALSE(start_at_logon_ticked()) << "turned off in Task Manager's Startup tab";
    set(approved, REG_BINARY, on, sizeof on);
    EXPECT_TRUE(start_at_logon_ticked());

    // Ticked where nothing starts this program: this user's own Run value starts it.
    forget();
    send(WM_COMMAND, IDM_TRAY_START_AT_LOGON);
    EXPECT_EQ(1u, read_setting("start_at_logon"));
    EXPECT_TRUE(start_at_logon_ticked());
    send(WM_COMMAND, IDM_TRAY_START_AT_LOGON);
    EXPECT_EQ(0u, read_setting("start_at_logon"));
    EXPECT_FALSE(start_at_logon_chosen());
    EXPECT_FALSE(start_at_logon_ticked());
    EXPECT_TRUE(fakes::calls.empty());
    forget();
}

// Off, on, and the warning mark only for a notice that matters in that state.
TEST(TrayIcon, FollowsTheStateAndTheNoticesThatMatter)
{
    EXPECT_EQ(IDI_TICKMEND, tray_icon_id(0, 0));
    EXPECT_EQ(IDI_TRAY_ON, tray_icon_id(1, 0));
    EXPECT_EQ(IDI_TRAY_ON_WARNING, tray_icon_id(1, 1u << NOTICE_DRIVER_ABSENT));
    EXPECT_EQ(IDI_TICKMEND, tray_icon_id(0, 1u << NOTICE_DRIVER_ABSENT)) << "off: nothing was left out";
    EXPECT_EQ(IDI_TRAY_OFF_WARNING, tray_icon_id(0, 1u << NOTICE_PIPE_NAME_TAKEN));
    EXPECT_EQ(IDI_TRAY_OFF_WARNING, tray_icon_id(0, 1u << NOTICE_LIST_UNREAD)) << "the list holds while off too";
}

// Every warning, with as long a detail as its words take, fits a balloon (255 characters) and
// says what happened and what to do, in sentences.
TEST(TrayTip, EveryNoticeFitsABalloonInWholeSentences)
{
    const std::string detail(48, 'd');
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        const bool takes_detail = strstr(notice_balloon_words(id), "%s") != nullptr;
        notice_raise(static_cast<notice_id>(id), takes_detail ? detail.c_str() : nullptr);
        char text[512];
        notice_text(static_cast<notice_id>(id), text, sizeof text);
        notice_clear(static_cast<notice_id>(id));
        EXPECT_LE(strlen(text), 255u) << text;
        EXPECT_EQ('.', text[strlen(text) - 1]) << text;
        EXPECT_NE(nullptr, strstr(text, ". ")) << "what happened, then what to do: " << text;
    }
}

TEST(TrayTip, EveryNoticeAtOnceIsCutAtAWholeLine)
{
    char tip[128];
    format_tray_tip(tip, sizeof tip, 1, (1u << NOTICE_COUNT) - 1);
    EXPECT_EQ(0, strncmp(tip, "QEL Pacemill: Gaming Mode on\n", 29)) << tip;
    EXPECT_LT(strlen(tip), sizeof tip);
    EXPECT_NE('\n', tip[strlen(tip) - 1]);
    EXPECT_EQ(1, [&] { int n = 0; for (const char* p = tip; (p = strstr(p, "power plan unchanged")); ++p) ++n; return n; }());
}
