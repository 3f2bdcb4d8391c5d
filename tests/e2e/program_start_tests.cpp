// The resident program started and ended: by hand, at logon, with "/k", on a machine where
// nothing stays, with its pipe name taken, and a client that comes first.
#include "e2e.h"
#include "answer/answer.h"

namespace e2e {
namespace {

// Started by hand (its Start Menu shortcut, a double click), a start that leaves nothing
// resident says why in a message box; started at logon ("/logon") it stays silent, as above.
TEST_F(Program, OneNodeStartFromTheShortcutSaysWhyNothingStays)
{
    machine_ = "one-node";
    // From the Start Menu's shortcut, and by a double click (no shortcut, no switch).
    for (bool from_shortcut : {true, false}) {
        SCOPED_TRACE(from_shortcut ? "from the shortcut" : "a double click");
        std::string shown;
        const DWORD code = run_to_its_box(sim_command(), env(), from_shortcut, &shown);
        const char* text = shown.c_str();
        ASSERT_NE("", shown) << "no message box";
        EXPECT_EQ(1u, code);
        // The PC's answer first (it says what to do), then what the start did.
        EXPECT_EQ(0u, shown.find(pc_answer_words(pc_answer::one_node_held))) << text;
        EXPECT_NE(nullptr, strstr(text, "one node: drift compensation registered on 2 processors")) << text;
        EXPECT_EQ(nullptr, strstr(text, "in step")) << "drift held is not in step: " << text;
    }
}

TEST_F(Program, SingleProcessorEndsAtOnceAndSendsNothing)
{
    machine_ = "single-cpu";
    EXPECT_EQ(1, run_process(sim_command("/logon"), env()));
    EXPECT_EQ("", log());
    EXPECT_EQ(nullptr, FindWindowA("TICKMEND", nullptr));
}

TEST_F(Program, CloseArgumentTakesEitherCaseAndASlashOrADash)
{
    start_instance();
    // Not a switch it takes: the "/?" box, closed here, and nothing else; the instance runs on.
    for (const char* args : {"/kx", "/k x", "k"}) {
        std::string text;
        EXPECT_EQ(64u, run_to_its_box(sim_command(args), env(), false, &text)) << args;
        EXPECT_EQ(0u, text.find("tickmend.exe does not take")) << args << ": " << text;
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(instance_, 0));
    EXPECT_EQ(1, run_process(sim_command("-K"), env()));
    instance_ends_well();
}

// "/k" while the tray menu or the About box is open: the instance ends all the same, and
// the next start runs (the single-instance mutex went with it).
TEST_F(Program, CloseEndsTheInstanceWithItsMenuOrAboutBoxOpen)
{
    for (const char* open : {"#32768", "#32770"}) {
        SCOPED_TRACE(open);
        start_instance();
        HWND window = FindWindowA("TICKMEND", nullptr);
        if (strcmp(open, "#32768") == 0) PostMessageA(window, 0x8000, 0, WM_CONTEXTMENU); // the icon's callback
        else PostMessageA(window, WM_COMMAND, 1, 0);                                      // the menu's About
        bool shown = false;
        for (int i = 0; i < 300 && !shown; ++i) {
            HWND w = FindWindowA(open, nullptr);
            shown = w && IsWindowVisible(w);
            if (!shown) Sleep(10);
        }
        EXPECT_TRUE(shown);
        close_instance();
    }
    start_instance();
    close_instance();
}

TEST_F(Program, CloseWithoutInstanceLeavesAnotherProgramsWindowAlone)
{
    // A stale window_handle naming a window of another class.
    HWND other = CreateWindowExA(0, "STATIC", "not tickmend", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_TRUE(other);
    DWORD handle = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(other));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "window_handle", REG_DWORD, &handle, 4));
    EXPECT_EQ(1, run_process(sim_command("/k"), env()));
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    EXPECT_TRUE(IsWindow(other));
    DestroyWindow(other);
    // With no value at all, "/k" still ends with 1.
    delete_tree(HKEY_CURRENT_USER, user_key);
    EXPECT_EQ(1, run_process(sim_command("/k"), env()));
}

TEST_F(Program, CloseWorksWhenTheSettingsCannotBeWritten)
{
    ASSERT_TRUE(key_read_only(HKEY_CURRENT_USER, user_key, true));
    start_instance(); // window_handle is never written
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, user_key, 0, KEY_READ, &key));
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExA(key, "window_handle", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key);
    close_instance();
}

TEST_F(Program, PipeNameTakenBeforeStartIsRefusedByTheClientAndOursOnceFreed)
{
    // This process holds the name first, one instance, and answers every client "on".
    HANDLE squat = CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 256,
                                    256, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, squat);
    std::atomic<bool> stop{false}, stopped{false};
    std::thread answering([&] {
        while (!stop && (ConnectNamedPipe(squat, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)) {
            DWORD n = 0;
            WriteFile(squat, "1", 2, &n, nullptr);
            char sink[300];
            while (ReadFile(squat, sink, sizeof sink, &n, nullptr) || GetLastError() == ERROR_MORE_DATA) {
            }
            DisconnectNamedPipe(squat);
        }
        stopped = true;
    });
    start_instance();
    // tickmend runs without its pipe: busy, and nothing is sent to the other program.
    EXPECT_EQ(6, ctl("on")) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("but does not serve its pipe now: process " +
                                                  std::to_string(GetCurrentProcessId()) + " holds the pipe's name")))
        << ctl_output_;

    stop = true;
    while (!stopped) { // wake the answering thread from its connect
        HANDLE poke = CreateFileA(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (poke != INVALID_HANDLE_VALUE) CloseHandle(poke);
        Sleep(20);
    }
    answering.join();
    CloseHandle(squat);
    int code = -1;
    for (DWORD start = GetTickCount(); code != 0 && GetTickCount() - start < 15000; Sleep(200)) code = ctl("status");
    EXPECT_EQ(0, code) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: off"))) << ctl_output_;
    close_instance();
}

TEST_F(Program, ClientFindsNoInstanceAndSaysSo)
{
    EXPECT_EQ(2, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("not running"))) << ctl_output_;
}

// tickmend serves its pipe before its window exists, and with Gaming Mode remembered as on
// runs the whole on sequence in that gap: a client then waits for the window.
TEST_F(Program, ClientRightAfterThePipeAppearsWaitsForAStartingTickmend)
{
    DWORD on = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_DWORD, &on, sizeof on));
    instance_ = start_process(sim_command(), env());
    ASSERT_TRUE(instance_);
    bool pipe = false;
    for (DWORD start = GetTickCount(); !pipe && GetTickCount() - start < 20000;) {
        pipe = WaitNamedPipeA(pipe_name, 10);
        if (!pipe) Sleep(5);
    }
    ASSERT_TRUE(pipe) << "the pipe never appeared";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, ctl("status")) << ctl_output_;
        EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on"))) << ctl_output_;
    }
    close_instance();
}

} // namespace
} // namespace e2e
