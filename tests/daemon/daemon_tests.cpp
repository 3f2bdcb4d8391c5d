// The daemon's roles, its command entry point and its locked state read.
#include "daemon_fixture.h"
#include "common/switch_bounds.h"
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>

using namespace daemon_testing;

namespace {

class DaemonRoles : public DaemonOnMachine {};

TEST_F(DaemonRoles, SingleProcessorStartsNothingAndSendsNothing)
{
    load("single-cpu");
    int available = 0x5A5A;
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, &available));
    EXPECT_EQ(0x5A5A, available);
    EXPECT_EQ(0u, sim_log_size());
    // No lock was made: the state reads at once, and commands do nothing.
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0u, sim_log_size());
}

TEST_F(DaemonRoles, OneNodeRegistersDriftAndOffersNoGamingMode)
{
    load("one-node");
    int available = 0x5A5A;
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, &available));
    EXPECT_EQ(0, available);
    std::vector<std::string> regs = log_lines("REGISTER_TSC_DRIFT");
    ASSERT_EQ(2u, regs.size());
    EXPECT_EQ("0x00000008", field(regs[0], "word"));
    EXPECT_EQ("0", field(regs[0], "cpu"));
    EXPECT_EQ("0x01000008", field(regs[1], "word"));
    EXPECT_EQ("1", field(regs[1], "cpu"));
    // Gaming Mode is not offered: "1" changes nothing and sends nothing.
    size_t before = sim_log_size();
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(before, sim_log_size());
}

TEST_F(DaemonRoles, SeveralNodesOfferGamingModeOffWithoutAnyRequest)
{
    load("two-node");
    int available = 0;
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, &available));
    EXPECT_EQ(1, available);
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0u, sim_log_size());
    EXPECT_EQ(2, node_count);
}

// A start that leaves nothing resident tells the user, from what it recorded, what to do next.
TEST_F(DaemonRoles, WhatAStartRecordsHasItsNextStep)
{
    const struct {
        const char* machine;
        bool driver_absent;
        const char* advice; // the beginning of the next step
    } rows[] = {{"single-cpu", false, "Nothing is needed"},
                {"one-node", false, "Nothing more is needed"},
                {"one-node", true, "Install the TSC driver, then start QEL Pacemill again"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.machine);
        load(row.machine);
        sim_set_driver_absent(row.driver_absent);
        int available = 0;
        Qel_DaemonStart(0, 0, &available);
        last_start_record start;
        ASSERT_EQ(1, last_start_read(&start));
        EXPECT_EQ(0u, std::string(start_advice(start.what)).find(row.advice)) << start.what;
        Qel_DaemonExit();
        sim_set_driver_absent(false);
    }
}

TEST_F(DaemonRoles, NullAvailabilityPointerIsNotWritten)
{
    load("two-node");
    EXPECT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    Qel_DaemonExit();
    load("one-node");
    EXPECT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
}

TEST_F(DaemonRoles, SecondStartWhileRunningIsRefusedAndChangesNothing)
{
    load("two-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(1, Qel_DaemonIsGameModeOn());
    int available = 0x5A5A;
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, &available));
    EXPECT_EQ(0x5A5A, available);
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
}

TEST_F(DaemonRoles, ExitTwiceClosesAndWithdrawsOnlyOnce)
{
    load("one-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    sim_log_clear();
    Qel_DaemonExit();
    EXPECT_EQ(2u, log_lines("Deregister_TSC_DRIFT").size());
    Qel_DaemonExit();
    EXPECT_EQ(2u, log_lines("Deregister_TSC_DRIFT").size());
    EXPECT_EQ(2u, sim_log_size());
}

TEST_F(DaemonRoles, ExitWhileOnRunsTheWholeOffSequenceAndStopsCommands)
{
    load("two-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    Qel_DaemonDoCommand("1");
    sim_log_clear();
    Qel_DaemonExit();
    EXPECT_EQ(1u, log_lines("PCI_WRITE").size());
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    // After Exit, before the next Start: a command is ignored, nothing is sent.
    sim_log_clear();
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0u, sim_log_size());
    // And a new start begins off.
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
}

class DaemonCommands : public DaemonOnMachine {};

TEST_F(DaemonCommands, OnlyTheExactTextsSwitch)
{
    load("two-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    for (const char* text : {"", "1\n", "1 ", " 1", "01", "10", "on", "ON", "true"}) {
        Qel_DaemonDoCommand(text);
        EXPECT_EQ(0, Qel_DaemonIsGameModeOn()) << "text: \"" << text << "\"";
    }
    Qel_DaemonDoCommand(nullptr);
    EXPECT_EQ(0u, sim_log_size());

    Qel_DaemonDoCommand("1");
    ASSERT_EQ(1, Qel_DaemonIsGameModeOn());
    for (const char* text : {"0\n", "0 ", "00", "off"}) {
        Qel_DaemonDoCommand(text);
        EXPECT_EQ(1, Qel_DaemonIsGameModeOn()) << "text: \"" << text << "\"";
    }
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
}

TEST_F(DaemonCommands, RepeatedCommandsDoNothingMore)
{
    load("two-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(0u, sim_log_size()) << "\"0\" while off touched the machine";
    Qel_DaemonDoCommand("1");
    size_t after_on = sim_log_size();
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(after_on, sim_log_size()) << "\"1\" while on synchronized again";
    Qel_DaemonDoCommand("0");
    size_t after_off = sim_log_size();
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(after_off, sim_log_size());
}

// The follower's orders against the user's: F a listed program started, f the last one
// ended, 1 and 0 the user's on and off; after each step the state and whether it is the
// follower's on-period ('F') or not ('-'); then whether the exit keeps it as the user's on.
TEST_F(DaemonCommands, FollowerOrdersGiveWayToTheUsersChoice)
{
    struct Row {
        const char* steps;
        const char* after; // per step: state, then F when the follower's on-period runs
        int user_on_at_exit;
    };
    const Row rows[] = {
        {"Ff", "1F0-", 0},           // on when one starts, off when the last ends
        {"1Ff", "1-1-1-", 1},        // the user's on is never switched off
        {"F0FfF", "1F0-0-0-1F", 0},  // the user's off holds until the programs have ended
        {"F1f", "1F1-1-", 1},        // an on of the user's while one runs makes it the user's
        {"0F", "0-1F", 0},           // an off with nothing running holds nothing
        {"F", "1F", 0},              // the follower's on is no start_mode of the user's
    };
    load("two-node");
    for (const Row& row : rows) {
        ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
        std::string after;
        for (const char* step = row.steps; *step; ++step) {
            if (*step == 'F' || *step == 'f') {
                Qel_DaemonSetFollowed(*step == 'F' ? 1 : 0, "game.exe");
            } else {
                Qel_DaemonDoCommand(*step == '1' ? "1" : "0");
            }
            after += Qel_DaemonIsGameModeOn() == 1 ? '1' : '0';
            char program[MAX_PATH] = "sentinel";
            bool followed = Qel_DaemonFollowedProgram(program, sizeof program) == 1;
            after += followed ? 'F' : '-';
            if (followed) EXPECT_STREQ("game.exe", program) << row.steps;
            else EXPECT_STREQ("", program) << row.steps;
        }
        EXPECT_EQ(row.after, after) << row.steps;
        Qel_DaemonExit();
        EXPECT_EQ(row.user_on_at_exit, Qel_DaemonWasOnAtExit()) << row.steps;
    }
    EXPECT_EQ(game_mode_refused, Qel_DaemonWish(daemon_wish::on)) << "the daemon has ended";
}

// A device that holds every request until released, so that a test can keep an on
// sequence (and with it the game-mode lock) in progress.
HANDLE gate = nullptr;
HANDLE entered = nullptr;
const DeviceOps* sim_device = nullptr;

BOOL gated_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    SetEvent(entered);
    WaitForSingleObject(gate, INFINITE);
    return sim_device->control(device, code, in, in_size, out, out_size, returned);
}

// Puts the gated device in place of the simulated one, its gate closed.
void install_gated_device()
{
    static DeviceOps gated;
    sim_device = &platform_device();
    gated = *sim_device;
    gated.control = gated_control;
    gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    platform_install(&platform_processors(), &gated);
}

DWORD WINAPI run_command(LPVOID text)
{
    Qel_DaemonDoCommand(static_cast<const char*>(text));
    return 0;
}

DWORD WINAPI read_state(LPVOID result)
{
    *static_cast<int*>(result) = Qel_DaemonIsGameModeOn();
    return 0;
}

TEST_F(DaemonCommands, StateReadWaitsForASequenceInProgress)
{
    load("two-node");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    install_gated_device();

    HANDLE on = CreateThread(nullptr, 0, run_command, const_cast<char*>("1"), 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered, 10000));
    int state = -1;
    HANDLE reader = CreateThread(nullptr, 0, read_state, &state, 0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(reader, 300))
        << "the state was read while the on sequence held the lock";
    SetEvent(gate);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reader, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(on, 10000));
    EXPECT_EQ(1, state) << "the read did not report the outcome of the sequence it waited for";
    platform_install(&platform_processors(), sim_device);
    for (HANDLE h : {on, reader, gate, entered}) CloseHandle(h);
}

// An exit whose owner does not end within its bound (a driver that never answers) leaves it
// running with its lock: no second owner starts beside it, and the start says so; once it has
// ended, a start runs again.
TEST_F(DaemonCommands, NoSecondOwnerStartsWhileTheFirstStillRuns)
{
    load("two-node");
    set_switch_bounds(50, 200); // every wait derived from them: 1.6 s for a wish
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    install_gated_device();
    EXPECT_EQ(1, Qel_DaemonPostWish(daemon_wish::on, nullptr, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered, 10000));
    const DWORD start = GetTickCount();
    Qel_DaemonExit();
    EXPECT_LT(GetTickCount() - start, 10000u) << "the exit waited past its bound";
    EXPECT_EQ(-1, Qel_DaemonWasOnAtExit());
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, nullptr)) << "a second owner started beside the first";
    last_start_record record;
    ASSERT_EQ(1, last_start_read(&record));
    EXPECT_NE(nullptr, strstr(record.what, "still finishing a switch")) << record.what;
    SetEvent(gate);
    platform_install(&platform_processors(), sim_device);
    bool started = false;
    for (int i = 0; i < 100 && !started; ++i) {
        started = Qel_DaemonStart(0, 0, nullptr) == 1;
        if (!started) Sleep(100);
    }
    EXPECT_TRUE(started) << "no start once the first owner ended";
    Qel_DaemonExit();
    set_switch_bounds(0, 0);
    for (HANDLE h : {gate, entered}) CloseHandle(h);
}

} // namespace
