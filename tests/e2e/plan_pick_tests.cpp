// A plan the user picks while tickmend switches stands, as the whole program shows it:
// Windows' notification of the plan made active reaches the window, which tells Gaming Mode's
// owner (the owner's rule itself: tests/daemon/plan_pick_tests.cpp).
#include "giving_back.h"

#include <stdio.h>
#include <string>
#include <thread>

namespace e2e {
namespace {

class PlanPick : public GivingBack {
protected:
    // What Windows sends the window when a plan becomes active, and once as it registers for
    // it; Wine sends none: the record is placed in the instance's memory and sent from here.
    void send_active_plan(const char* guid)
    {
        const GUID setting = {0x31F9F286, 0x5084, 0x42FE, {0xB7, 0x20, 0x2B, 0x02, 0x64, 0x99, 0x37, 0x63}};
        unsigned long d1 = 0;
        unsigned d2 = 0, d3 = 0, b[8] = {};
        ASSERT_EQ(11, sscanf(guid, "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                             &b[4], &b[5], &b[6], &b[7]));
        GUID plan = {d1, static_cast<WORD>(d2), static_cast<WORD>(d3), {}};
        for (int i = 0; i < 8; ++i) plan.Data4[i] = static_cast<BYTE>(b[i]);
        BYTE record[sizeof(GUID) + sizeof(DWORD) + sizeof(GUID)];
        DWORD length = sizeof(GUID);
        memcpy(record, &setting, sizeof setting);
        memcpy(record + sizeof(GUID), &length, sizeof length);
        memcpy(record + sizeof(GUID) + sizeof(DWORD), &plan, sizeof plan);
        void* remote = VirtualAllocEx(instance_, nullptr, sizeof record, MEM_COMMIT, PAGE_READWRITE);
        ASSERT_TRUE(remote);
        ASSERT_TRUE(WriteProcessMemory(instance_, remote, record, sizeof record, nullptr));
        SendMessageA(FindWindowA("TICKMEND", nullptr), WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE,
                     reinterpret_cast<LPARAM>(remote));
        VirtualFreeEx(instance_, remote, 0, MEM_RELEASE);
    }
    // tickmend-ctl with args on a thread of its own, its switch held in the stand-in's -s run
    // that begins with switch_prefix; the user picks plan during it, and the run is let go.
    void pick_during(const char* args, const std::string& switch_prefix, const char* plan)
    {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, powercfg_state, "Log");
        set_powercfg("HangSwitch", 600000);
        int code = -1;
        std::string output;
        const std::string command = "\"" + product_path("tickmend-ctl-sim.exe") + "\" " + args;
        const std::string environment = env();
        std::thread client([&] { code = run_capture(command, &output, environment); });
        bool held = false;
        for (int i = 0; i < 6000 && !held; ++i, Sleep(10))
            for (const std::string& run : powercfg_runs()) held = held || run.rfind(switch_prefix, 0) == 0;
        EXPECT_TRUE(held) << "no switch " << switch_prefix << " was held";
        user_picks(plan);
        send_active_plan(plan);
        set_powercfg("HangSwitch", 0);
        client.join();
        EXPECT_EQ(0, code) << output;
    }
};

TEST_F(PlanPick, PickDuringAHeldOnOrGiveBackStandsThroughTheWindow)
{
    start_instance();
    send_active_plan(power_saver); // Windows names the active plan as the window registers
    EXPECT_EQ(power_saver, plan());

    pick_during("on", std::string("-s ") + high_performance, balanced);
    EXPECT_FALSE(gaming_mode_on()) << "Gaming Mode stayed on over the user's pick";
    EXPECT_EQ(balanced, plan()) << "the on overwrote the user's pick";
    EXPECT_FALSE(restore_pending());

    ASSERT_EQ(0, ctl("on"));
    EXPECT_EQ(high_performance, plan());
    pick_during("off", std::string("-s ") + balanced, power_saver);
    EXPECT_FALSE(gaming_mode_on());
    EXPECT_EQ(power_saver, plan()) << "the give-back overwrote the user's pick";
    EXPECT_FALSE(restore_pending());
    close_instance();
    EXPECT_EQ(power_saver, plan());
}

} // namespace
} // namespace e2e
