// The programs Gaming Mode follows: window programs started and ended as a user's games.
#include "following.h"

namespace e2e {
namespace {

TEST_F(Following, OnWhenAListedProgramStartsOffWhenTheLastEndsAndTheUsersChoiceFirst)
{
    ASSERT_TRUE(power_plans_start_at(power_saver));
    start_instance();
    std::string a = game_copy("tickmend-game-a.exe"), b = game_copy("tickmend-game-b.exe");
    // One listed by its file name in another case, one by its full path.
    ASSERT_EQ(0, ctl("auto add TICKMEND-GAME-A.EXE")) << ctl_output_;
    ASSERT_EQ(0, ctl(("auto add \"" + b + "\"").c_str())) << ctl_output_;
    ASSERT_EQ(0, ctl("auto list"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("TICKMEND-GAME-A.EXE"))) << ctl_output_;

    RegDeleteKeyValueA(HKEY_CURRENT_USER, powercfg_state, "Log");
    start_game(a);
    long on_ms = state_becomes("on");
    EXPECT_GE(on_ms, 0) << "Gaming Mode did not go on when a listed program started";
    EXPECT_EQ(high_performance, registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"));
    EXPECT_EQ(0, ctl("topology"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("switched on when tickmend-game-a.exe, a program it follows, started")))
        << ctl_output_;
    // Two run: off only after both ended (the follower has let go of b when end_game returns).
    start_game(b);
    end_game(b);
    EXPECT_EQ(1, pipe_state()) << "off while a listed program still ran";
    end_game(a);
    long off_ms = state_becomes("off");
    EXPECT_GE(off_ms, 0) << "Gaming Mode stayed on after the last listed program ended";
    EXPECT_EQ(power_saver, registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"));
    EXPECT_EQ((std::vector<std::string>{std::string("-s ") + high_performance, std::string("-s ") + power_saver}),
              switches()) << "switched between the on and the last end";
    printf("follower: on %ld ms after the window, off %ld ms after the end (state asked)\n", on_ms, off_ms);

    // The user's off while one runs holds, also when another listed program starts: nothing
    // switches on until both have ended and been let go.
    start_game(a);
    ASSERT_GE(state_becomes("on"), 0);
    ASSERT_EQ(0, ctl("off"));
    RegDeleteKeyValueA(HKEY_CURRENT_USER, powercfg_state, "Log");
    start_game(b);
    end_game(b);
    end_game(a);
    EXPECT_EQ(0, pipe_state()) << "the follower switched on against the user's off";
    EXPECT_TRUE(switches().empty()) << "the follower switched against the user's off";
    // Once they all ended, the next start is followed again; the user's on is never undone.
    start_game(a);
    ASSERT_GE(state_becomes("on"), 0);
    ASSERT_EQ(0, ctl("on"));
    end_game(a);
    EXPECT_EQ(1, pipe_state()) << "the follower switched off the user's on";
    ASSERT_EQ(0, ctl("off"));

    // Removed from the list: no longer followed. A listed program started after it is what
    // turns Gaming Mode on (the follower looks at windows in the order they came).
    EXPECT_EQ(0, ctl("auto remove tickmend-game-a.exe")) << ctl_output_;
    EXPECT_EQ(7, ctl("auto remove tickmend-game-a.exe")) << ctl_output_;
    Sleep(1500); // an edit of the list is read within 1 s, once its key has been quiet
    start_game(a);
    start_game(b);
    ASSERT_GE(state_becomes("on"), 0);
    EXPECT_EQ(0, ctl("topology"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("switched on when tickmend-game-b.exe, a program it follows, started")))
        << "a program removed from the list was followed: " << ctl_output_;
    close_instance();
}

// Many copies of one listed program at once: the set has no limit (once 60).
TEST_F(Following, SeventyListedProcessesHoldGamingModeUntilTheLastEnds)
{
    start_instance();
    const std::string game = game_copy("tickmend-game-m.exe");
    ASSERT_EQ(0, ctl("auto add tickmend-game-m.exe")) << ctl_output_;
    std::vector<HANDLE> first, later;
    auto start_many = [&](std::vector<HANDLE>* started, int from, int count) {
        for (int i = from; i < from + count; ++i)
            started->push_back(start_process("\"" + game + "\" many-" + std::to_string(i)));
        for (int i = from; i < from + count; ++i) {
            const std::string title = "many-" + std::to_string(i);
            for (int k = 0; k < 1200 && !FindWindowA("tickmend_follow_target", title.c_str()); ++k) Sleep(25);
            EXPECT_TRUE(FindWindowA("tickmend_follow_target", title.c_str())) << title;
        }
    };
    auto end_all = [](std::vector<HANDLE>* started) {
        std::vector<DWORD> ids;
        for (HANDLE process : *started) ids.push_back(GetProcessId(process)), TerminateProcess(process, 0);
        for (HANDLE process : *started) WaitForSingleObject(process, 10000), CloseHandle(process);
        started->clear();
        await_let_go(ids);
    };
    start_many(&first, 0, 60);
    EXPECT_GE(state_becomes("on", 30000), 0);
    start_many(&later, 60, 10);
    end_all(&first);
    EXPECT_EQ(1, pipe_state()) << "off while 10 listed processes still ran";
    end_all(&later);
    EXPECT_GE(state_becomes("off", 30000), 0) << "on after the last listed process ended";
    close_instance();
}

// The list's key deleted while a listed program runs (a cleaner, a profile reset): the list
// is empty, then the next add is followed at once, and so are the starts after it.
TEST_F(Following, ListKeyDeletedAndAddedAgainIsFollowedAtOnce)
{
    start_instance();
    const std::string a = game_copy("tickmend-game-a.exe");
    ASSERT_EQ(0, ctl("auto add tickmend-game-a.exe")) << ctl_output_;
    start_game(a);
    ASSERT_GE(state_becomes("on"), 0);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill\\auto"));
    EXPECT_GE(state_becomes("off"), 0) << "a program no longer listed held Gaming Mode on";
    ASSERT_EQ(0, ctl("auto add tickmend-game-a.exe")) << ctl_output_;
    const long on_ms = state_becomes("on");
    EXPECT_GE(on_ms, 0) << "the running program was not followed after the list was made again";
    printf("follower: on %ld ms after the list was made again (status polled)\n", on_ms);
    end_game(a);
    EXPECT_GE(state_becomes("off"), 0);
    start_game(a);
    EXPECT_GE(state_becomes("on"), 0) << "a new start was not followed after the list was made again";
    close_instance();
}

// The list's key made unreadable while a listed program runs (a read error, access denied):
// the list read before holds, nothing is switched off for it, and the program's end still is.
TEST_F(Following, ListThatCannotBeReadSwitchesNothingOff)
{
    start_instance();
    const std::string a = game_copy("tickmend-game-a.exe");
    ASSERT_EQ(0, ctl("auto add tickmend-game-a.exe")) << ctl_output_;
    start_game(a);
    ASSERT_GE(state_becomes("on"), 0);
    const char* list_key = "Software\\QEL\\qel_pacemill\\auto";
    ASSERT_TRUE(key_readable(list_key, false));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, list_key, 0, KEY_SET_VALUE, &key));
    RegSetValueExA(key, "tickmend-other.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>("tickmend-other.exe"), 19);
    RegCloseKey(key);
    ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, list_key, 0, KEY_QUERY_VALUE, &key));
    EXPECT_TRUE(stays("on")) << "a list that could not be read switched Gaming Mode off";
    end_game(a);
    EXPECT_GE(state_becomes("off"), 0) << "the end of a program of the list read before was not followed";
    EXPECT_TRUE(key_readable(list_key, true));
    close_instance();
}

// A full path matches its file under any other name of it (here a hard link).
TEST_F(Following, ListedPathIsFollowedUnderAnotherNameOfItsFile)
{
    start_instance();
    const std::string a = game_copy("tickmend-game-a.exe");
    const std::string link = a.substr(0, a.find_last_of('\\') + 1) + "tickmend-game-link.exe";
    DeleteFileA(link.c_str());
    ASSERT_TRUE(CreateHardLinkA(link.c_str(), a.c_str(), nullptr));
    copies_.push_back(link);
    ASSERT_EQ(0, ctl(("auto add \"" + a + "\"").c_str())) << ctl_output_;
    start_game(link);
    EXPECT_GE(state_becomes("on"), 0) << "a hard link of the listed path was not followed";
    end_game(link);
    EXPECT_GE(state_becomes("off"), 0);
    close_instance();
}

// A to B while both run, in one edit: B is followed before A is let go, so nothing switches
// (one on, and one off when B ends).
TEST_F(Following, ChangingTheListBetweenTwoRunningProgramsSwitchesNothing)
{
    start_instance();
    const std::string a = game_copy("tickmend-game-a.exe"), b = game_copy("tickmend-game-b.exe");
    ASSERT_EQ(0, ctl("auto add tickmend-game-a.exe")) << ctl_output_;
    start_game(a);
    start_game(b);
    ASSERT_GE(state_becomes("on"), 0);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill\\auto", 0, KEY_SET_VALUE, &key));
    RegDeleteValueA(key, "tickmend-game-a.exe");
    RegSetValueExA(key, "tickmend-game-b.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>("tickmend-game-b.exe"), 20);
    RegCloseKey(key);
    EXPECT_TRUE(stays("on"));
    end_game(b);
    EXPECT_GE(state_becomes("off"), 0) << "B was not followed";
    // Bit 24 cleared once and set once: one on sequence, one off.
    EXPECT_EQ(2, count_lines(log(), "PCI_WRITE")) << lines_starting(log(), "PCI_WRITE");
    close_instance();
}

} // namespace
} // namespace e2e
