// What Gaming Mode owes comes back after a hard kill, at the next start or at "/k", and gives
// way to what the user picked meanwhile.
#include "e2e.h"
#include "giving_back.h"

namespace e2e {
namespace {

TEST_F(GivingBack, HardKillWhileOnGivesThePlanAndTheBitBackAtTheNextStart)
{
    for (DWORD start_mode : {0u, 1u}) {
        SCOPED_TRACE(start_mode);
        start_instance();
        ASSERT_EQ(0, ctl("on"));
        ASSERT_EQ(high_performance, plan());
        kill_instance();
        EXPECT_TRUE(restore_pending());
        ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_DWORD, &start_mode, 4));
        DeleteFileA(log_path_.c_str());
        std::vector<std::string> before = powercfg_runs();

        start_instance(); // returns once the pipe answers
        std::vector<std::string> runs = powercfg_runs();
        runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(before.size()));
        // The lists read first (which plan is active, whether the user's still exists) change
        // nothing; the first switch gives the user's plan back.
        auto first_switch = std::find_if(runs.begin(), runs.end(),
                                         [](const std::string& run) { return run.rfind("-s ", 0) == 0; });
        ASSERT_NE(runs.end(), first_switch);
        EXPECT_EQ(std::string("-s ") + power_saver, *first_switch) << "the plan did not come back first";
        EXPECT_NE(std::string::npos, lines_starting(log(), "PCI_WRITE").find("value=0x010A0C20"))
            << "the northbridge bit was not set again: " << log();
        if (start_mode == 0) {
            std::string active;
            EXPECT_EQ(0, run_capture("powercfg -getactivescheme", &active));
            EXPECT_NE(std::string::npos, active.find(power_saver)) << active;
        } else {
            ASSERT_EQ(0, ctl("off"));
        }
        EXPECT_EQ(power_saver, plan()) << "High performance was saved as the user's plan";
        close_instance();
        EXPECT_FALSE(restore_pending());
    }
}

TEST_F(GivingBack, PlanPickedByHandAfterAKillStandsAtTheNextStartAndAtClose)
{
    const struct {
        bool in_switch; // killed while powercfg's switch runs, not after it
        bool by_close;
    } rows[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in_switch ? "killed during the switch" : "killed while on");
        SCOPED_TRACE(row.by_close ? "/k with no instance" : "next start");
        ASSERT_TRUE(power_plans_start_at(power_saver));
        set_powercfg("SwitchNeedsRecord", 1);
        start_instance();
        if (row.in_switch) {
            // The switch waits; the process ends, and the tool with it (a job ends every tool
            // we start when we end); the plan it was to set is in the record all the same.
            set_powercfg("HangSwitch", 120000);
            RegDeleteKeyValueA(HKEY_CURRENT_USER, powercfg_state, "Log");
            std::thread on([this] {
                std::string output;
                run_capture("\"" + product_path("tickmend-ctl-sim.exe") + "\" on", &output, env());
            });
            const std::string switching = std::string("-s ") + high_performance;
            auto switch_begun = [&] {
                const std::vector<std::string> runs = powercfg_runs();
                return std::find(runs.begin(), runs.end(), switching) != runs.end();
            };
            for (int n = 0; n < 1000 && !switch_begun(); ++n) Sleep(10);
            ASSERT_TRUE(switch_begun());
            kill_instance();
            set_powercfg("HangSwitch", 0);
            on.join();
            powercfg_gone();
            EXPECT_EQ(power_saver, plan()) << "a powercfg of ours switched the plan after the program was ended";
        } else {
            ASSERT_EQ(0, ctl("on"));
            kill_instance();
            ASSERT_EQ(high_performance, plan());
        }
        user_picks(balanced);
        if (row.by_close) EXPECT_EQ(1, run_process(sim_command("/k"), env()));
        else start_instance();
        EXPECT_EQ(balanced, plan()) << "the plan from before Gaming Mode was put over the user's own pick";
        EXPECT_FALSE(restore_pending());
        if (!row.by_close) close_instance();
        EXPECT_EQ(balanced, plan());
    }
}

TEST_F(GivingBack, OwedPlanGivesWayToALaterPickAndAPlanDeletedMeanwhileClosesTheRecord)
{
    start_instance();
    // Given back, then owed no more: a later pick is the one the next period gives back.
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ(0, ctl("off"));
    EXPECT_FALSE(restore_pending());
    user_picks(balanced);
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(balanced, plan());
    EXPECT_FALSE(restore_pending());

    // A restore that fails leaves Balanced owed; the user then picks Power saver by hand.
    on_and_off_whose_restore_fails();
    user_picks(power_saver);
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(power_saver, plan()) << "an older owed plan was given back over the user's pick";
    EXPECT_FALSE(restore_pending());

    // The owed plan is deleted before it can be given back: the record closes, the plan stays.
    on_and_off_whose_restore_fails();
    const char schemes[] = "381b4222-f694-41f0-9685-ff5bb260df2e|Balanced\0"
                           "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c|High performance\0";
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "Schemes", REG_MULTI_SZ, schemes,
                                    sizeof schemes));
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(high_performance, plan());
    EXPECT_FALSE(restore_pending()) << "a plan that no longer exists is owed for ever";
    close_instance();
}

// "/k" with no instance running that closes a record whose plan was deleted says so where the
// user sees it: in a box when the user started it from a shortcut, else in the next start's
// balloon (its words are kept until then).
TEST_F(GivingBack, PlanGoneWhenCloseFindsNoInstanceIsToldWhereTheUserSeesIt)
{
    const char schemes[] = "381b4222-f694-41f0-9685-ff5bb260df2e|Balanced\0"
                           "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c|High performance\0";
    for (bool from_shortcut : {true, false}) {
        SCOPED_TRACE(from_shortcut ? "from the shortcut" : "from a script");
        ASSERT_TRUE(power_plans_start_at(power_saver));
        set_powercfg("SwitchNeedsRecord", 1);
        start_instance();
        ASSERT_EQ(0, ctl("on"));
        kill_instance();
        ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "Schemes", REG_MULTI_SZ, schemes,
                                        sizeof schemes));
        if (from_shortcut) {
            std::string text;
            EXPECT_EQ(1u, run_to_its_box(sim_command("/k"), env(), true, &text));
            EXPECT_NE(std::string::npos, text.find("could not be given back")) << text;
            EXPECT_NE(std::string::npos, text.find(power_saver)) << text;
            EXPECT_EQ("", registry_text(HKEY_CURRENT_USER, user_key, "restore_untold")) << "told twice";
        } else {
            EXPECT_EQ(1, run_process(sim_command("/k"), env()));
            EXPECT_EQ(power_saver, registry_text(HKEY_CURRENT_USER, user_key, "restore_untold"));
            start_instance();
            EXPECT_EQ("", registry_text(HKEY_CURRENT_USER, user_key, "restore_untold")) << "not taken for the balloon";
            close_instance();
        }
        EXPECT_FALSE(restore_pending());
        EXPECT_EQ(high_performance, plan());
    }
}

TEST_F(GivingBack, RecordThatCannotBeWrittenTakesNeitherPlanNorBit)
{
    start_instance();
    ASSERT_TRUE(key_read_only(HKEY_CURRENT_USER, user_key, true));
    ASSERT_EQ(0, ctl("on"));
    EXPECT_EQ(power_saver, plan());
    EXPECT_EQ(0, count_lines(log(), "PCI_WRITE")) << log();
    EXPECT_EQ(4, count_lines(log(), "SYNC_CORE_TSC")) << "the counters are synchronized all the same";
    ASSERT_EQ(0, ctl("off"));
    ASSERT_TRUE(key_read_only(HKEY_CURRENT_USER, user_key, false));
    EXPECT_EQ(power_saver, plan());
    close_instance();
}

TEST_F(GivingBack, LateNotificationOfOurOwnRestoreLeavesGamingModeOn)
{
    const GUID power_saver_personality = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};
    const GUID balanced_personality = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
    start_instance();
    // A quick off and on, as at every resume: the off's restore is told of after the on.
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ(0, ctl("off"));
    ASSERT_EQ(0, ctl("on"));
    send_personality(power_saver_personality);
    EXPECT_TRUE(gaming_mode_on()) << "our own restore was taken for the user's change";
    EXPECT_EQ(high_performance, plan());
    EXPECT_TRUE(restore_pending());

    // The user's own pick turns Gaming Mode off and stays.
    user_picks(balanced);
    send_personality(balanced_personality);
    EXPECT_FALSE(gaming_mode_on());
    EXPECT_EQ(balanced, plan());
    EXPECT_FALSE(restore_pending());
    close_instance();
}

} // namespace
} // namespace e2e
