// Messages of the machine and the session, sent to the hidden window as Windows would.
#include "e2e.h"

namespace e2e {
namespace {

// Messages of the machine and the session, sent to the hidden window as Windows would.
class WindowMessages : public Program {
protected:
    HWND window()
    {
        HWND w = FindWindowA("TICKMEND", nullptr);
        EXPECT_TRUE(w) << "no window of class TICKMEND";
        return w;
    }
    bool pipe_present() { return WaitNamedPipeA("\\\\.\\pipe\\QelTscPipe", 100) != FALSE; }
};

TEST_F(WindowMessages, MenuCommandSwitchesBothWays)
{
    start_instance();
    SendMessageA(window(), WM_COMMAND, 0, 0);
    EXPECT_EQ(0, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    SendMessageA(window(), WM_COMMAND, 0, 0);
    EXPECT_EQ(0, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: off")));
    close_instance();
}

TEST_F(WindowMessages, ResumeWhileOnSynchronizesAgain)
{
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, user_key, 0, KEY_SET_VALUE, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "last_on_checked"));
    RegCloseKey(key);
    SendMessageA(window(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(0, ctl("status")); // answered once the resume, queued before it, has run
    EXPECT_EQ(0, ctl("topology"));
    EXPECT_TRUE(squeezed(ctl_output_).find(squeezed("last Gaming Mode on: counters within ")) != std::string::npos ||
                squeezed(ctl_output_).find(squeezed("last Gaming Mode on: cannot tell how close")) != std::string::npos)
        << "no check after resume";
    EXPECT_EQ(4, count_lines(log(), "SYNC_NODE_TSC")) << "not two full synchronizations";
    EXPECT_EQ(8, count_lines(log(), "SYNC_CORE_TSC"));
    EXPECT_EQ(0, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    // While off, resume does nothing.
    ASSERT_EQ(0, ctl("off"));
    SendMessageA(window(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(0, ctl("status"));
    EXPECT_EQ(4, count_lines(log(), "SYNC_NODE_TSC"));
    close_instance();
}

TEST_F(WindowMessages, ConsoleDisconnectRemovesThePipeAndConnectBringsItBackOn)
{
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    SendMessageA(window(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, 0);
    EXPECT_FALSE(pipe_present());
    EXPECT_EQ(6, ctl("status")) << "tickmend runs without its pipe: " << ctl_output_;
    SendMessageA(window(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, 0);
    for (int i = 0; i < 50 && !pipe_present(); ++i) Sleep(20);
    EXPECT_EQ(0, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    // A second connect while the worker runs changes nothing.
    int syncs = count_lines(log(), "SYNC_NODE_TSC");
    SendMessageA(window(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, 0);
    EXPECT_EQ(syncs, count_lines(log(), "SYNC_NODE_TSC"));
    close_instance();
}

TEST_F(WindowMessages, CancelledEndOfSessionChangesNothing)
{
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    SendMessageA(window(), WM_ENDSESSION, FALSE, 0);
    EXPECT_TRUE(pipe_present());
    EXPECT_EQ(0, ctl("status"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    EXPECT_EQ(0xDEADu, stored_start_mode());
    SendMessageA(window(), WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(1u, stored_start_mode());
    EXPECT_EQ(6, ctl("status")) << "the worker still runs after the session ended"; // its window is still there
    close_instance();
}

} // namespace
} // namespace e2e
