// A power plan the user picks stands, at any moment of a switch of ours: Gaming Mode's owner
// against the stand-in powercfg, whose runs are held (Hang: every run; HangSwitch: a switch
// alone) until the pick is made. The pick is what Windows shows of it: the plan active, and
// the notification naming it.
#include "daemon_fixture.h"
#include "daemon/daemon.h"
#include "registry/registry.h"
#include "support/test_support.h"

#include <string.h>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

using namespace daemon_testing;

namespace {

const char powercfg_key[] = "Software\\tickmend-sim\\powercfg";
const char record_key[] = "Software\\QEL\\qel_pacemill";
const char power_saver[] = "a1841308-3541-4fab-bc81-f71556f20b4a";
const char high_performance[] = "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
const char balanced[] = "381b4222-f694-41f0-9685-ff5bb260df2e";

std::string active_plan()
{
    char text[64] = "";
    DWORD size = sizeof text - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, powercfg_key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "Active", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
    }
    return text;
}

void set_active(const char* guid)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_key, "Active", REG_SZ, guid,
                                    static_cast<DWORD>(strlen(guid) + 1)));
}

void set_powercfg(const char* name, DWORD value)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_key, name, REG_DWORD, &value, sizeof value));
}

bool record_pending()
{
    DWORD value = 0;
    return get_registry_typed(HKEY_CURRENT_USER, record_key, "restore_pending", REG_DWORD, &value, sizeof value) &&
           value;
}

std::string owed_plan()
{
    char text[64] = "";
    DWORD size = sizeof text - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, record_key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "restore_scheme_guid", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
    }
    return text;
}

// The stand-in's runs since its log was cleared, their arguments in order.
std::vector<std::string> powercfg_runs()
{
    std::vector<std::string> runs;
    char text[64 * 128 + 2] = "";
    DWORD size = sizeof text - 2;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, powercfg_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return runs;
    if (RegQueryValueExA(key, "Log", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS)
        for (const char* line = text; *line; line += strlen(line) + 1) runs.push_back(line);
    RegCloseKey(key);
    return runs;
}

void clear_powercfg_log() { RegDeleteKeyValueA(HKEY_CURRENT_USER, powercfg_key, "Log"); }

// Waits, on the stand-in's own log, until a run whose arguments begin with prefix has started
// (it then sits, held); false when none did within 60 s.
bool run_started(const char* prefix)
{
    for (int i = 0; i < 6000; ++i, Sleep(10))
        for (const std::string& run : powercfg_runs())
            if (run.rfind(prefix, 0) == 0) return true;
    return false;
}

class UsersPick : public DaemonOnMachine {
protected:
    void SetUp() override
    {
        DaemonOnMachine::SetUp();
        testing_support::delete_tree(HKEY_CURRENT_USER, powercfg_key);
        set_active(power_saver);
        load("two-node");
        int available = 0;
        ASSERT_EQ(1, Qel_DaemonStart(0, 0, &available));
        ASSERT_EQ(1, available);
    }
    void TearDown() override
    {
        set_powercfg("Hang", 0);
        set_powercfg("HangSwitch", 0);
        DaemonOnMachine::TearDown();
        testing_support::delete_tree(HKEY_CURRENT_USER, powercfg_key);
    }
    // The user picks a plan: it becomes active, and Windows names it.
    static int pick(const char* guid)
    {
        set_active(guid);
        return Qel_DaemonPlanActivated(guid);
    }
    // Wishes without waiting, as the tray does; the run held by held (a value of the stand-in)
    // and beginning with prefix is awaited, the pick made during it, and the run let go. The
    // state once every wish before is taken.
    int pick_during(daemon_wish wish, const char* held, const char* prefix, const char* plan)
    {
        clear_powercfg_log();
        set_powercfg(held, 600000);
        EXPECT_EQ(1, Qel_DaemonPostWish(wish, nullptr, 0));
        const bool during = run_started(prefix);
        EXPECT_TRUE(during) << "no run " << prefix << " was held";
        EXPECT_EQ(1, pick(plan)) << "the pick was taken for our own switch";
        set_powercfg(held, 0);
        return Qel_DaemonIsGameModeOn();
    }
};

// The on looks at the active plan (a list), then switches (-s): a pick during either stands.
TEST_F(UsersPick, PickDuringAHeldOnStandsTenTimesOfTen)
{
    const char* from = power_saver;
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("on " + std::to_string(i));
        const bool during_look = i % 2 == 0;
        const char* picked = from == power_saver ? balanced : power_saver;
        int state = pick_during(daemon_wish::on, during_look ? "Hang" : "HangSwitch", during_look ? "-l" : "-s",
                                picked);
        EXPECT_EQ(0, state) << "Gaming Mode stayed on over the user's pick";
        EXPECT_EQ(picked, active_plan()) << "the pick was overwritten";
        EXPECT_FALSE(record_pending());
        Qel_DaemonDoCommand("0");
        EXPECT_EQ(picked, active_plan()) << "the off left another plan active";
        from = picked;
        if (HasFailure()) return;
    }
}

// The off looks at the active plan and whether the user's still exists, then gives it back.
TEST_F(UsersPick, PickDuringAHeldGiveBackStandsTenTimesOfTen)
{
    const char* from = power_saver;
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("off " + std::to_string(i));
        Qel_DaemonDoCommand("1");
        ASSERT_EQ(high_performance, active_plan());
        const bool during_look = i % 2 == 0;
        const char* picked = from == power_saver ? balanced : power_saver;
        int state = pick_during(daemon_wish::off, during_look ? "Hang" : "HangSwitch", during_look ? "-l" : "-s",
                                picked);
        EXPECT_EQ(0, state);
        EXPECT_EQ(picked, active_plan()) << "the give-back overwrote the user's pick";
        EXPECT_FALSE(record_pending());
        from = picked;
        if (HasFailure()) return;
    }
}

// A resume while on runs the whole sequence again: an off and an on in one pass.
TEST_F(UsersPick, PickDuringAHeldResyncStands)
{
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("resync " + std::to_string(i));
        set_active(power_saver);
        Qel_DaemonDoCommand("1");
        ASSERT_EQ(high_performance, active_plan());
        // The resync's give-back (-s power saver), or its on's switch back to High performance.
        const bool in_give_back = i % 2 == 0;
        const std::string prefix = in_give_back ? std::string("-s ") + power_saver : std::string("-s ") + high_performance;
        EXPECT_EQ(0, pick_during(daemon_wish::resume, "HangSwitch", prefix.c_str(), balanced));
        EXPECT_EQ(balanced, active_plan());
        EXPECT_FALSE(record_pending());
        if (HasFailure()) return;
    }
}

// Windows names our own switches too: those are no pick, and the on stays.
TEST_F(UsersPick, OurOwnPlanNamedDuringOrAfterOurSwitchIsNoPick)
{
    clear_powercfg_log();
    set_powercfg("HangSwitch", 600000);
    Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
    ASSERT_TRUE(run_started("-s"));
    EXPECT_EQ(0, Qel_DaemonPlanActivated(high_performance)) << "our own switch was taken for the user's";
    set_powercfg("HangSwitch", 0);
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(0, Qel_DaemonPlanActivated(high_performance));
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(high_performance, active_plan());
    // The pick after it: off, and it stays.
    EXPECT_EQ(1, pick(balanced));
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(balanced, active_plan());
    EXPECT_FALSE(record_pending());
}

// Windows names plans as they become active, but its notification may come late: our on's
// High performance named while the next off's give-back runs, our give-back's power saver
// named while the next on runs. Neither is a pick: the off ends on power saver, the on stays.
TEST_F(UsersPick, LateNotificationOfOurEarlierSwitchIsNoPick)
{
    Qel_DaemonDoCommand("1");
    ASSERT_EQ(high_performance, active_plan());
    clear_powercfg_log();
    set_powercfg("HangSwitch", 600000);
    Qel_DaemonPostWish(daemon_wish::off, nullptr, 0);
    ASSERT_TRUE(run_started(("-s " + std::string(power_saver)).c_str()));
    EXPECT_EQ(0, Qel_DaemonPlanActivated(high_performance)) << "our on, named late, was taken for a pick";
    set_powercfg("HangSwitch", 0);
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(power_saver, active_plan()) << "the late notification left our plan active";
    EXPECT_FALSE(record_pending());

    for (const char* held : {"Hang", "HangSwitch"}) {
        SCOPED_TRACE(std::string("on held in ") + held);
        clear_powercfg_log();
        set_powercfg(held, 600000);
        Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
        ASSERT_TRUE(run_started(held == std::string("Hang") ? "-l" : "-s"));
        EXPECT_EQ(0, Qel_DaemonPlanActivated(power_saver)) << "our give-back, named late, was taken for a pick";
        set_powercfg(held, 0);
        EXPECT_EQ(1, Qel_DaemonIsGameModeOn()) << "Gaming Mode went off for our own give-back";
        EXPECT_EQ(high_performance, active_plan());
        Qel_DaemonDoCommand("0");
        EXPECT_EQ(power_saver, active_plan());
        EXPECT_FALSE(record_pending());
    }
    // Once Windows has named a plan of someone else's, nothing of ours is still to come: the
    // user's power saver after it is a pick.
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(1, pick(balanced));
    EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(1, pick(power_saver)) << "the user's pick was taken for our own late notification";
    EXPECT_EQ(power_saver, active_plan());
    EXPECT_FALSE(record_pending());
}

// The exit right after a pick that our held on overwrote: the exit takes the pick with it,
// leaves the pick active, nothing owed, and the on no start_mode of the user's.
TEST_F(UsersPick, ExitRightAfterAnOverwrittenPickLeavesThePick)
{
    clear_powercfg_log();
    set_powercfg("HangSwitch", 600000);
    Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
    ASSERT_TRUE(run_started("-s"));
    EXPECT_EQ(1, pick(balanced));
    std::thread exiting([] { Qel_DaemonExit(); });
    for (int i = 0; i < 6000 && Qel_DaemonUsersWish() != -1; ++i) Sleep(10); // the end is wished
    set_powercfg("HangSwitch", 0);
    exiting.join();
    EXPECT_EQ(balanced, active_plan()) << "the exit gave back the plan before the pick";
    EXPECT_FALSE(record_pending());
    EXPECT_EQ(0, Qel_DaemonWasOnAtExit()) << "the pick did not count as the user's off";
}

// Our last switch gave power saver back, and the user has picked another plan since: power
// saver picked again during the next on's look at the active plan is the user's, not ours.
TEST_F(UsersPick, PlanOurLastSwitchSetIsTheUsersOnceOurNextSwitchBegins)
{
    Qel_DaemonDoCommand("1");
    Qel_DaemonDoCommand("0");
    ASSERT_EQ(power_saver, active_plan());
    EXPECT_EQ(1, pick(balanced));
    EXPECT_EQ(0, pick_during(daemon_wish::on, "Hang", "-l", power_saver));
    EXPECT_EQ(power_saver, active_plan());
    EXPECT_FALSE(record_pending());
}

// A newer on of the user's than the pick switches on again, from the pick: the off gives the
// pick back.
TEST_F(UsersPick, UsersOnAfterThePickSwitchesOnFromIt)
{
    Qel_DaemonDoCommand("1");
    clear_powercfg_log();
    set_powercfg("Hang", 600000);
    Qel_DaemonPostWish(daemon_wish::resume, nullptr, 0);
    ASSERT_TRUE(run_started("-l"));
    EXPECT_EQ(1, pick(balanced));
    Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
    set_powercfg("Hang", 0);
    EXPECT_EQ(1, Qel_DaemonIsGameModeOn());
    EXPECT_EQ(high_performance, active_plan());
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(balanced, active_plan());
    EXPECT_FALSE(record_pending());
}

// An off that could not give the plan back leaves it owed. An on after it keeps owing the
// user's plan, not the plan active (ours), and Windows naming our plan does not end the debt.
TEST_F(UsersPick, OnAfterAFailedGiveBackKeepsOwingTheUsersPlan)
{
    Qel_DaemonDoCommand("1");
    set_powercfg("SetFails", 1);
    Qel_DaemonDoCommand("0");
    ASSERT_TRUE(record_pending());
    ASSERT_EQ(high_performance, active_plan());
    Qel_DaemonPlanActivated(high_performance); // Windows names the plan active as we register
    Qel_DaemonIsGameModeOn();
    EXPECT_EQ(power_saver, owed_plan()) << "our own plan ended the debt";
    set_powercfg("SetFails", 0);
    Qel_DaemonDoCommand("1");
    EXPECT_EQ(power_saver, owed_plan()) << "the on took the active plan (ours) for the user's";
    Qel_DaemonDoCommand("0");
    EXPECT_EQ(power_saver, active_plan()) << "the user's plan was lost";
    EXPECT_FALSE(record_pending());
}

// Every source at once against slow switches: the tray's and the pipe's on and off, resumes,
// a listed program that starts and ends, and picks; the last pick comes while a switch of
// ours runs. It ends on the last pick: off, that plan active, nothing owed.
TEST_F(UsersPick, StormOfEverySourceEndsOnTheLastPick)
{
    // A plan of the user's own beside Windows' three, picked last only: never one we gave back.
    const char schemes[] = "381b4222-f694-41f0-9685-ff5bb260df2e|Balanced\0"
                           "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c|High performance\0"
                           "a1841308-3541-4fab-bc81-f71556f20b4a|Power saver\0"
                           "5d3e9a59-e9d5-4b00-a6bd-ff34ff516548|Quiet evening\0";
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_key, "Schemes", REG_MULTI_SZ, schemes, sizeof schemes));
    const char own_plan[] = "5d3e9a59-e9d5-4b00-a6bd-ff34ff516548";
    for (DWORD hang : {0u, 40u, 150u}) {
        SCOPED_TRACE("powercfg " + std::to_string(hang) + " ms a run");
        set_active(power_saver);
        set_powercfg("Hang", hang);
        std::vector<std::thread> sources;
        sources.emplace_back([] {
            for (int i = 0; i < 12; ++i) Qel_DaemonWish(i % 2 ? daemon_wish::off : daemon_wish::on);
        });
        sources.emplace_back([] {
            for (int i = 0; i < 40; ++i, Sleep(5))
                Qel_DaemonPostWish(i % 3 ? daemon_wish::resume : daemon_wish::on, nullptr, 0);
        });
        sources.emplace_back([] {
            for (int i = 0; i < 40; ++i, Sleep(5)) Qel_DaemonSetFollowed(i % 2 ? 0 : 1, "game.exe");
        });
        sources.emplace_back([] {
            for (int i = 0; i < 12; ++i, Sleep(30)) pick(i % 2 ? balanced : power_saver);
        });
        for (std::thread& t : sources) t.join();
        // The last wishes: a listed program starts, the tray's on and a resume; the pick comes
        // once a run of theirs has begun.
        clear_powercfg_log();
        Qel_DaemonSetFollowed(1, "game.exe");
        Qel_DaemonPostWish(daemon_wish::on, nullptr, 0);
        Qel_DaemonPostWish(daemon_wish::resume, nullptr, 0);
        EXPECT_TRUE(run_started("-"));
        EXPECT_EQ(1, pick(own_plan));
        EXPECT_EQ(0, Qel_DaemonIsGameModeOn()) << "the listed program switched on over the user's pick";
        EXPECT_EQ(own_plan, active_plan()) << "the last pick did not stand";
        EXPECT_FALSE(record_pending());
        // The user's off holds while the listed program runs; it ends.
        Qel_DaemonSetFollowed(0, nullptr);
        EXPECT_EQ(0, Qel_DaemonIsGameModeOn());
        EXPECT_EQ(own_plan, active_plan());
        if (HasFailure()) return;
    }
}

} // namespace
