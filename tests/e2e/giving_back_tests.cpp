// What Gaming Mode owes comes back whatever ends the on-period; what it left out is said.
#include "e2e.h"
#include "giving_back.h"

namespace e2e {
namespace {

TEST_F(GivingBack, CloseEndsAnInstanceThatIsStillStarting)
{
    DWORD on = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_DWORD, &on, 4));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        instance_ = start_process(sim_command(), env());
        ASSERT_TRUE(instance_);
        // Right after the pipe appears the on sequence runs, before the window exists.
        for (int n = 0; n < 2000 && !WaitNamedPipeA(pipe_name, 0); ++n) Sleep(5);
        EXPECT_EQ(1, run_process(sim_command("/k"), env()));
        instance_ends_well();
        EXPECT_EQ(power_saver, plan());
        EXPECT_FALSE(restore_pending());
        EXPECT_EQ(1u, stored_start_mode()) << "a start cut short changed the Gaming Mode to start with";
    }
}

TEST_F(GivingBack, CloseReturnsWithinItsBoundFromAnInstanceWaitingForALongPowercfg)
{
    extra_env_ = "\nTICKMEND_SIM_POWERCFG_BOUND_MS=500"; // the hanging tool is ended sooner
    start_instance();
    set_powercfg("Hang", 120000);
    std::string output;
    std::thread on([&] { run_capture("\"" + product_path("tickmend-ctl-sim.exe") + "\" on", &output, env()); });
    for (int n = 0; n < 400 && powercfg_runs().empty(); ++n) Sleep(10); // the on sequence waits for the list
    DWORD begun = GetTickCount();
    int code = run_process(sim_command("/k"), env());
    DWORD took = GetTickCount() - begun;
    set_powercfg("Hang", 0);
    on.join();
    EXPECT_LT(took, 20000u) << "\"/k\" waited past its bound";
    EXPECT_EQ(1, code) << "the instance still ran";
    instance_ends_well();
}

TEST_F(GivingBack, XpTemporarySchemeLeftByAKillIsDeletedAtTheNextStart)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, app_defaults, "Version", REG_SZ, "winxp", 6));
    delete_tree(HKEY_CURRENT_USER, "Control Panel\\PowerCfg\\PowerPolicies");
    start_instance();
    ASSERT_EQ(0, ctl("on")); // the schemes XP installs are there from now on
    ASSERT_EQ(0, ctl("off"));
    delete_tree(HKEY_CURRENT_USER, "Control Panel\\PowerCfg\\PowerPolicies\\3"); // no "Always On"
    const char* const temporary_scheme = "Control Panel\\PowerCfg\\PowerPolicies\\6";
    for (bool in_switch : {false, true}) {
        SCOPED_TRACE(in_switch ? "killed with the scheme written, before its activation" : "killed while on");
        if (!instance_) start_instance();
        if (in_switch) {
            DWORD hang = 120000;
            ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powrprof_state, "HangActivate", REG_DWORD, &hang, 4));
            std::thread on([this] {
                std::string output;
                run_capture("\"" + product_path("tickmend-ctl-sim.exe") + "\" on", &output, env());
            });
            for (int n = 0; n < 1000 && registry_text(HKEY_CURRENT_USER, temporary_scheme, "Name").empty(); ++n)
                Sleep(10);
            kill_instance();
            hang = 0;
            set_registry_value(HKEY_CURRENT_USER, powrprof_state, "HangActivate", REG_DWORD, &hang, 4);
            on.join();
            ASSERT_EQ("0", registry_text(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", "CurrentPowerPolicy"));
        } else {
            ASSERT_EQ(0, ctl("on"));
            ASSERT_EQ("6", registry_text(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", "CurrentPowerPolicy"))
                << "no temporary scheme was written";
            kill_instance();
        }
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, temporary_scheme, 0, KEY_READ, &key));
        RegCloseKey(key);
        start_instance();
        EXPECT_EQ("0", registry_text(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", "CurrentPowerPolicy"));
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, temporary_scheme, 0, KEY_READ, &key))
            << "the temporary scheme was left behind";
        EXPECT_FALSE(restore_pending());
        close_instance();
    }
    delete_tree(HKEY_CURRENT_USER, "Control Panel\\PowerCfg\\PowerPolicies");
}

TEST_F(GivingBack, StartModeStoredAsTextZeroStartsWithGamingModeOff)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_SZ, "0", 2));
    start_instance();
    EXPECT_FALSE(gaming_mode_on());
    EXPECT_EQ(power_saver, plan());
    close_instance();
}

TEST_F(GivingBack, XpHardKillIsFinishedByCloseWithNoInstanceRunning)
{
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, app_defaults, "Version", REG_SZ, "winxp", 6));
    delete_tree(HKEY_CURRENT_USER, "Control Panel\\PowerCfg\\PowerPolicies");
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ("3", registry_text(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", "CurrentPowerPolicy"));
    kill_instance();
    DeleteFileA(log_path_.c_str());
    EXPECT_EQ(1, run_process(sim_command("/k"), env()));
    EXPECT_EQ("0", registry_text(HKEY_CURRENT_USER, "Control Panel\\PowerCfg", "CurrentPowerPolicy"));
    EXPECT_EQ(1, count_lines(log(), "PCI_WRITE")) << log();
    EXPECT_FALSE(restore_pending());
}

TEST_F(GivingBack, UnreadablePlanIsLeftAloneAndTheClientSaysSo)
{
    DWORD fails = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "ListFails", REG_DWORD, &fails, 4));
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    EXPECT_EQ(power_saver, plan());
    EXPECT_EQ(0, ctl("topology"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("power plan left alone: the active plan could not be read")))
        << ctl_output_;
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(power_saver, plan());
    close_instance();
}

TEST_F(GivingBack, PowercfgMissingAtOffGivesThePlanBackOnceItIsThere)
{
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    hide_powercfg();
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(high_performance, plan()) << "a powercfg.exe outside the system folder ran";
    EXPECT_TRUE(restore_pending());
    show_powercfg();
    ASSERT_EQ(0, ctl("off"));
    EXPECT_EQ(power_saver, plan());
    EXPECT_FALSE(restore_pending());
    close_instance();
}

// "off" says what it did not give back, as "on" says what it left out: the plan (by name)
// when powercfg fails, the northbridge bit when the driver has gone since the on.
TEST_F(GivingBack, OffSaysWhatItDidNotGiveBack)
{
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    set_powercfg("SetFails", 1);
    EXPECT_EQ(0, ctl("off")) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: off"))) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("not given back: power plan Power saver (" + std::string(power_saver))))
        << ctl_output_;
    EXPECT_EQ(5, ctl("off --strict")) << ctl_output_;
    EXPECT_EQ(high_performance, plan());
    set_powercfg("SetFails", 0);
    EXPECT_EQ(0, ctl("off --strict")) << ctl_output_;
    EXPECT_EQ(std::string::npos, squeezed(ctl_output_).find(squeezed("not given back"))) << ctl_output_;
    EXPECT_EQ(power_saver, plan());
    close_instance();

    // A driver that stops answering after the on's requests: the bit stays cleared.
    std::string two_node = "cpu bit=0 apic=0\ncpu bit=1 apic=1\ncpu bit=2 apic=2\ncpu bit=3 apic=3\n"
                           "pci 0 24 3 0x84 0x01000000\n";
    machine_ = write_temp("driver-goes", two_node);
    ASSERT_FALSE(machine_.empty());
    DeleteFileA(log_path_.c_str());
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    const int requests_of_an_on = count_lines(log(), "");
    close_instance();
    machine_ = write_temp("driver-goes", two_node + "driver fail_from " + std::to_string(requests_of_an_on + 1) + "\n");
    start_instance();
    ASSERT_EQ(0, ctl("on")) << ctl_output_;
    EXPECT_EQ(5, ctl("off --strict")) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: off"))) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("not given back: the northbridge power-management bit of node 0")))
        << ctl_output_;
    EXPECT_TRUE(restore_pending());
}

TEST_F(GivingBack, WithoutADriverThePipeSaysOnAndTheClientSaysWhatWasLeftOut)
{
    machine_ = write_temp("no-driver", "cpu bit=0 apic=0\ncpu bit=1 apic=1\ncpu bit=2 apic=2\ncpu bit=3 apic=3\n"
                                       "driver absent\n");
    ASSERT_FALSE(machine_.empty());
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("Gaming Mode: on")));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("left out: TSC driver missing"))) << ctl_output_;
    EXPECT_EQ(5, ctl("on --strict")) << ctl_output_;
    EXPECT_EQ(high_performance, plan());
    EXPECT_EQ(0, ctl("topology"));
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("driver: absent"))) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed(": 2 nodes: resident, Gaming Mode offered"))) << ctl_output_;
    EXPECT_NE(std::string::npos, squeezed(ctl_output_).find(squeezed("last Gaming Mode on: TSC driver missing"))) << ctl_output_;
    close_instance();
    EXPECT_EQ(power_saver, plan());
    DeleteFileA(machine_.c_str());
}

} // namespace
} // namespace e2e
