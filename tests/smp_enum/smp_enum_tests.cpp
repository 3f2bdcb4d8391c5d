#include "smp_enum/smp_enum.h"
#include "platform/seam.h"
#include "sim/sim.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Loads a machine from description text through a file, as TICKMEND_SIM_MACHINE would.
::testing::AssertionResult load_description(const char* tag, const std::string& text)
{
    std::string path = testing_support::write_temp(tag, text);
    if (path.empty()) return ::testing::AssertionFailure() << "cannot write the description of " << tag;
    char error[512] = "";
    bool loaded = sim_load_machine(path.c_str(), error, sizeof error);
    DeleteFileA(path.c_str());
    if (!loaded) return ::testing::AssertionFailure() << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult load_preset(const char* name)
{
    char error[512] = "";
    if (!sim_load_machine(name, error, sizeof error)) return ::testing::AssertionFailure() << error;
    return ::testing::AssertionSuccess();
}

// "cpu" lines for processors at bits 0.. with the given APIC IDs.
std::string cpus(std::initializer_list<int> apic_ids, int family, int htt = 1)
{
    std::string text;
    int bit = 0;
    for (int apic : apic_ids)
        text += "cpu bit=" + std::to_string(bit++) + " apic=" + std::to_string(apic) +
                " family=" + std::to_string(family) + " htt=" + std::to_string(htt) + "\n";
    return text;
}

class Enumeration : public ::testing::Test {
protected:
    void SetUp() override
    {
        smp_reset_table();
        sim_install();
    }
    void TearDown() override
    {
        platform_install(nullptr, nullptr);
        smp_reset_table();
    }

    static void expect_untouched_from(int first_index)
    {
        for (int i = first_index; i < MAX_CPUS; ++i) {
            EXPECT_EQ(NO_CPU, cpu_core[i]) << "index " << i;
            EXPECT_EQ(NO_CPU, cpu_node[i]) << "index " << i;
        }
    }
};

TEST_F(Enumeration, TheTableStartsWithCountsOfOneAndEveryEntryMarked)
{
    cpu_count = 7;
    node_count = 3;
    cpu_core[4] = 1;
    cpu_node[31] = 2;
    node_first_cpu[7] = 5;
    smp_reset_table();
    EXPECT_EQ(1, cpu_count);
    EXPECT_EQ(1, node_count);
    expect_untouched_from(0);
    for (int n = 0; n < MAX_NODES; ++n) EXPECT_EQ(NO_CPU, node_first_cpu[n]);
}

TEST_F(Enumeration, Family15PairsOfApicIdsShareANode)
{
    ASSERT_TRUE(load_description("f15", cpus({0, 1, 2, 3}, 15)));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(4, cpu_count);
    EXPECT_EQ(2, node_count);
    const BYTE cores[] = {0, 1, 0, 1}, nodes[] = {0, 0, 1, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cores[i], cpu_core[i]) << "index " << i;
        EXPECT_EQ(nodes[i], cpu_node[i]) << "index " << i;
        EXPECT_TRUE(cpu_present(i));
    }
    expect_untouched_from(4);
    EXPECT_EQ(0, node_first_cpu[0]);
    EXPECT_EQ(2, node_first_cpu[1]);
    for (int n = 2; n < MAX_NODES; ++n) EXPECT_EQ(NO_CPU, node_first_cpu[n]);
    EXPECT_EQ(DWORD_PTR(0xF), sim_process_mask());
}

TEST_F(Enumeration, Family16CountsTheExtendedFamilyAndHasFourCoresPerNode)
{
    ASSERT_TRUE(load_description("f16", cpus({0, 1, 2, 3}, 16)));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(1, node_count);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(i, cpu_core[i]);
        EXPECT_EQ(0, cpu_node[i]);
    }
    EXPECT_EQ(0, node_first_cpu[0]);
    EXPECT_EQ(NO_CPU, node_first_cpu[1]);
}

TEST_F(Enumeration, TheExtendedFamilyIsAddedWhateverTheBaseFamily)
{
    // Base 6 plus extended 10 is family 16: four cores per node. Base 0xF plus extended 0
    // beside it stays family 15.
    ASSERT_TRUE(load_description("extfamily", "cpu bit=0 apic=2 base_family=6 ext_family=10\n"
                                              "cpu bit=1 apic=3 base_family=15 ext_family=0\n"));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(2, cpu_core[0]);
    EXPECT_EQ(0, cpu_node[0]);
    EXPECT_EQ(1, cpu_core[1]);
    EXPECT_EQ(1, cpu_node[1]);
    EXPECT_EQ(2, node_count);
}

TEST_F(Enumeration, FamilyBelow15IsDecodedFromTheBaseFamilyAlone)
{
    // Family 6: base 6, extended 0, so the family-below-16 layout applies.
    ASSERT_TRUE(load_description("f6", cpus({0, 1, 2, 3}, 6)));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(2, node_count);
    EXPECT_EQ(1, cpu_core[3]);
    EXPECT_EQ(1, cpu_node[3]);
}

TEST_F(Enumeration, InterleavedNumberingCountsEachNodeOnceFromItsLowestProcessor)
{
    // The first core of every node before the second ones, as many dual-socket boards number them.
    ASSERT_TRUE(load_description("interleaved", cpus({0, 2, 1, 3}, 15)));
    ASSERT_EQ(1, enumerate_cpus());
    const BYTE cores[] = {0, 0, 1, 1}, nodes[] = {0, 1, 0, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cores[i], cpu_core[i]) << "index " << i;
        EXPECT_EQ(nodes[i], cpu_node[i]) << "index " << i;
    }
    EXPECT_EQ(2, node_count);
    EXPECT_EQ(0, node_first_cpu[0]);
    EXPECT_EQ(1, node_first_cpu[1]);
    for (int n = 2; n < MAX_NODES; ++n) EXPECT_FALSE(node_present(n)) << "node " << n;
    EXPECT_EQ(0, node_sync_source());

    ASSERT_TRUE(load_preset("four-node-interleaved"));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(4, node_count);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(n, node_first_cpu[n]) << "node " << n;
    EXPECT_FALSE(node_present(4));
}

TEST_F(Enumeration, AProcessLimitedToNodeOneHasOneNodeSynchronizedFromItsLowestProcessor)
{
    // An earlier walk on a machine whose node 0 sits at index 5: nothing of it may remain.
    ASSERT_TRUE(load_description("earlier", "cpu bit=5 apic=0\ncpu bit=6 apic=1\n"));
    ASSERT_EQ(1, enumerate_cpus());
    ASSERT_EQ(5, node_first_cpu[0]);

    ASSERT_TRUE(load_description("node1", cpus({2, 3}, 15)));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(2, cpu_count);
    EXPECT_EQ(1, node_count);
    EXPECT_EQ(0, node_first_cpu[1]);
    EXPECT_FALSE(node_present(0));
    EXPECT_EQ(0, node_sync_source());
    // Indices outside this machine's mask keep what the earlier walk wrote.
    EXPECT_EQ(0, cpu_core[5]);
    EXPECT_EQ(1, cpu_core[6]);
    EXPECT_EQ(0, cpu_node[6]);
}

TEST_F(Enumeration, AFailedBindingEndsTheWalkAndRestoresTheProcessMask)
{
    ASSERT_TRUE(load_description("bindfail", cpus({0, 1, 2, 3}, 15) + "bind_fails bit=2\n"));
    // A process mask narrower than the system mask, so that a restore to the system mask shows.
    ASSERT_TRUE(platform_processors().set_affinity(0xB));
    EXPECT_EQ(0, enumerate_cpus());
    EXPECT_EQ(DWORD_PTR(0xB), sim_process_mask());
    EXPECT_EQ(4, cpu_count);
    EXPECT_EQ(1, node_count);
    EXPECT_EQ(0, cpu_core[0]);
    EXPECT_EQ(1, cpu_core[1]);
    EXPECT_EQ(0, cpu_node[1]);
    expect_untouched_from(2);
}

TEST_F(Enumeration, AFailedAffinityQueryChangesNothingButTheCounts)
{
    ASSERT_TRUE(load_preset("two-node"));
    ASSERT_EQ(1, enumerate_cpus());
    ASSERT_EQ(2, node_count);
    ASSERT_TRUE(load_preset("four-node"));
    sim_set_affinity_query_fails(true);
    EXPECT_EQ(0, enumerate_cpus());
    EXPECT_EQ(8, cpu_count);
    EXPECT_EQ(1, node_count);
    EXPECT_EQ(2, node_first_cpu[1]); // from the earlier walk
    expect_untouched_from(4);
    EXPECT_EQ(-1, sim_bound_cpu());
    EXPECT_EQ(DWORD_PTR(0xFF), sim_process_mask());
}

TEST_F(Enumeration, OnlyIndicesBelow32AreExaminedWhileTheCountIsTheSystems)
{
    std::string text = "os_count 40\n";
    for (int bit = 0; bit < 32; ++bit)
        text += "cpu bit=" + std::to_string(bit) + " apic=" + std::to_string(bit) + "\n";
    ASSERT_TRUE(load_description("forty", text));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(40, cpu_count);
    EXPECT_EQ(1, cpu_core[31]);
    EXPECT_EQ(7, cpu_node[31]); // (31 >> 1) & 7
    // Nodes 0..7, each met twice over, counted once.
    EXPECT_EQ(8, node_count);
    EXPECT_EQ(0, node_first_cpu[0]);
    EXPECT_EQ(14, node_first_cpu[7]);
    EXPECT_EQ(DWORD_PTR(0xFFFFFFFF), sim_process_mask());
}

TEST_F(Enumeration, AnIndexOutsideTheSystemMaskKeepsTheMarker)
{
    ASSERT_TRUE(load_description("gap", "cpu bit=0 apic=0\ncpu bit=2 apic=1\ncpu bit=3 apic=2\n"));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(NO_CPU, cpu_core[1]);
    EXPECT_EQ(NO_CPU, cpu_node[1]);
    EXPECT_FALSE(cpu_present(1));
    EXPECT_EQ(1, cpu_core[2]);
    EXPECT_EQ(1, cpu_node[3]);
    EXPECT_EQ(3, node_first_cpu[1]);
    EXPECT_EQ(DWORD_PTR(0xD), sim_process_mask());
}

TEST_F(Enumeration, PresetsGiveTheirNodeCountsAndEachWalkStartsTheCountsAfresh)
{
    struct Case {
        const char* preset;
        LONG cpus;
        LONG nodes;
    } const cases[] = {
        {"four-node", 8, 4}, {"two-node", 4, 2}, {"two-node-interleaved", 4, 2}, {"one-node", 2, 1},
        {"one-node-invariant", 2, 1}, {"single-cpu", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        ASSERT_TRUE(load_preset(c.preset));
        ASSERT_EQ(1, enumerate_cpus());
        EXPECT_EQ(c.cpus, cpu_count);
        EXPECT_EQ(c.nodes, node_count);
        for (int i = 0; i < c.cpus; ++i) EXPECT_TRUE(cpu_present(i)) << "index " << i;
        // Processors without HTT have no node to synchronize.
        EXPECT_EQ(std::string(c.preset) == "single-cpu" ? NO_CPU : 0, node_sync_source());
        // No walk leaves the first processors of an earlier machine's nodes behind.
        for (int n = c.nodes > 1 ? c.nodes : 1; n < MAX_NODES; ++n) EXPECT_FALSE(node_present(n)) << "node " << n;
    }
}

TEST_F(Enumeration, ProcessorsWithoutHttAreCore0OfNode0AndChangeNoNode)
{
    // Index 1 has no HTT: it counts no node, although the table records it as node 0.
    ASSERT_TRUE(load_description("nohtt", "cpu bit=0 apic=2 htt=1\n"
                                          "cpu bit=1 apic=7 htt=0\n"
                                          "cpu bit=2 apic=3 htt=1\n"));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(1, node_count);
    EXPECT_EQ(0, cpu_core[1]);
    EXPECT_EQ(0, cpu_node[1]);
    EXPECT_TRUE(cpu_present(1));
    EXPECT_EQ(0, node_first_cpu[1]);
    EXPECT_EQ(NO_CPU, node_first_cpu[0]);
}

TEST_F(Enumeration, NodesFrom8UpAreCountedWithoutAFirstProcessorEntry)
{
    ASSERT_TRUE(load_description("bignodes", "cpu bit=0 apic=0 family=16\n"
                                             "cpu bit=1 apic=33 family=16\n"
                                             "cpu bit=2 apic=36 family=16\n"
                                             "cpu bit=3 apic=255 family=16\n"));
    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(4, node_count);
    EXPECT_EQ(8, cpu_node[1]);
    EXPECT_EQ(1, cpu_core[1]);
    EXPECT_EQ(9, cpu_node[2]);
    EXPECT_EQ(63, cpu_node[3]);
    EXPECT_EQ(3, cpu_core[3]);
    EXPECT_FALSE(cpu_present(1));
    EXPECT_EQ(0, node_first_cpu[0]);
    for (int n = 1; n < MAX_NODES; ++n) EXPECT_EQ(NO_CPU, node_first_cpu[n]) << "node " << n;
    expect_untouched_from(4);
}

TEST_F(Enumeration, TheRealProcessorsOfThisMachineAreWalkedAndTheMaskRestored)
{
    platform_install(nullptr, nullptr);
    DWORD_PTR process_before = 0, system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_before, &system));
    SYSTEM_INFO info;
    GetSystemInfo(&info);

    ASSERT_EQ(1, enumerate_cpus());
    EXPECT_EQ(static_cast<LONG>(info.dwNumberOfProcessors), cpu_count);
    EXPECT_GE(node_count, 1);
    for (int i = 0; i < MAX_CPUS; ++i) {
        const bool listed = (system >> i) & 1;
        EXPECT_EQ(listed, cpu_core[i] != NO_CPU) << "index " << i;
        EXPECT_EQ(listed, cpu_node[i] != NO_CPU) << "index " << i;
    }
    DWORD_PTR process_after = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_after, &system));
    EXPECT_EQ(process_before, process_after);
}

} // namespace
