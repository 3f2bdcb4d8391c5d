#include "platform/seam.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

namespace {

// The start-up object ran before main: the simulated two-node machine (or the one that
// TICKMEND_SIM_MACHINE names) already answers through the seam.
TEST(SimStart, TheMachineIsInstalledBeforeMainRuns)
{
    char named[8];
    if (GetEnvironmentVariableA("TICKMEND_SIM_MACHINE", named, sizeof named)) GTEST_SKIP() << "another machine named";
    EXPECT_EQ(4u, platform_processors().processor_count());
    DWORD_PTR process = 0, system = 0;
    ASSERT_TRUE(platform_processors().get_affinity(&process, &system));
    EXPECT_EQ(DWORD_PTR(0xF), system);
    EXPECT_EQ(-1, sim_bound_cpu());
    EXPECT_TRUE(platform_processors().set_affinity(0x8));
    EXPECT_EQ(3, sim_bound_cpu());
}

} // namespace
