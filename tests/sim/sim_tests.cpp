#include "driver/driver.h"
#include "platform/seam.h"
#include "sim/sim.h"
#include "skew/skew.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::write_temp;

// The stand-in driver's class, spelled out here rather than taken from the driver module.
const GUID tsc_class = {0x36FC3AB9, 0x5ABB, 0x42BA, {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5A}};

::testing::AssertionResult load(const char* preset_or_path)
{
    char error[512] = "";
    if (!sim_load_machine(preset_or_path, error, sizeof error)) return ::testing::AssertionFailure() << error;
    return ::testing::AssertionSuccess();
}

void put32(BYTE* p, DWORD v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

DWORD get32(const BYTE* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24;
}

std::vector<std::string> log_lines()
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < sim_log_size(); ++i) lines.push_back(sim_log_line(i));
    return lines;
}

class SimMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(load("two-node"));
        sim_install();
    }
    void TearDown() override
    {
        if (device_ != INVALID_HANDLE_VALUE) platform_device().close(device_);
        platform_install(nullptr, nullptr);
        SetEnvironmentVariableA("TICKMEND_SIM_LOG", nullptr);
    }

    HANDLE device()
    {
        if (device_ == INVALID_HANDLE_VALUE) device_ = open_driver_interface(&tsc_class);
        return device_;
    }

    static bool bind(int bit) { return platform_processors().set_affinity(static_cast<DWORD_PTR>(1) << bit); }

    // One TSC request; the reply words stay at the sentinel when nothing comes back.
    BOOL tsc(DWORD word, DWORD interval = 0)
    {
        BYTE in[8];
        put32(in, word);
        put32(in + 4, interval);
        reply_[0] = reply_[1] = static_cast<LONG>(0xDEADBEEF);
        DWORD returned = 0xDEADBEEF;
        return platform_device().control(device(), IOCTL_TSC_REQUEST, in, 8, reply_, 8, &returned);
    }

    BOOL pci(DWORD code, BYTE device_number, BYTE offset, DWORD* value, BYTE width = 4)
    {
        BYTE buffer[10] = {0, device_number, 3, width, offset, 0};
        put32(buffer + 6, *value);
        DWORD returned = 0;
        BOOL ok = platform_device().control(device(), code, buffer, 10, buffer, 10, &returned);
        *value = get32(buffer + 6);
        return ok;
    }

    LONG reply_[2] = {0, 0};
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

// ---- descriptions ----

TEST_F(SimMachine, ABadDescriptionNamesFileAndLineAndKeepsThePreviousMachine)
{
    struct Case {
        const char* text;
        int line;
    } const cases[] = {
        {"cpu bit=0 apic=0\nfrobnicate 1\n", 2},
        {"# comment\n\ncpu bit=0\n", 3},
        {"cpu bit=32 apic=0\n", 1},
        {"cpu bit=0 apic=0\ncpu bit=0 apic=1\n", 2},
        {"cpu bit=0 apic=256\n", 1},
        {"cpu bit=0 apic=0 core=1\n", 1},
        {"cpu bit=0 apic=0\nmsr 0xC0010042 0xZZ\n", 2},
        {"cpu bit=0 apic=0\npci 0 24 3 0x85 1\n", 2},
        {"cpu bit=0 apic=0\npci 0 24 3 0x84\n", 2},
        {"cpu bit=0 apic=0\ndriver refuse status=1\n", 2},
        {"cpu bit=0 apic=0\nos_count 0\n", 2},
        {"cpu bit=0 apic=0 htt=2\n", 1},
        {"cpu bit=0 apic=0 family=16 base_family=15\n", 1},
        {"cpu bit=0 apic=0 ext_family=1\n", 1},
        {"tsc bit=0 offset=5\ncpu bit=0 apic=0\n", 1}, // the processor comes first
        {"cpu bit=0 apic=0\ntsc bit=0 drift_ppm=100001\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string path = write_temp("bad", c.text);
        char error[512];
        std::strcpy(error, "sentinel");
        EXPECT_FALSE(sim_load_machine(path.c_str(), error, sizeof error));
        const std::string expected = path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(0u, std::string(error).find(expected)) << error;
        DeleteFileA(path.c_str());
        // Still the two-node machine, in every part.
        EXPECT_EQ(4u, platform_processors().processor_count());
        DWORD_PTR process = 0, system = 0;
        EXPECT_TRUE(platform_processors().get_affinity(&process, &system));
        EXPECT_EQ(DWORD_PTR(0xF), system);
        DWORD nb = 0;
        EXPECT_TRUE(sim_get_pci(0, 24, 3, 0x84, &nb));
    }
}

TEST_F(SimMachine, ADescriptionWithoutProcessorsOrFileIsRefusedByName)
{
    std::string path = write_temp("empty", "# nothing\n");
    char error[512] = "";
    EXPECT_FALSE(sim_load_machine(path.c_str(), error, sizeof error));
    EXPECT_EQ(0u, std::string(error).find(path + ": ")) << error;
    DeleteFileA(path.c_str());
    EXPECT_FALSE(sim_load_machine(path.c_str(), error, sizeof error)); // now missing
    EXPECT_NE(std::string::npos, std::string(error).find(path)) << error;
    EXPECT_EQ(4u, platform_processors().processor_count());
}

TEST_F(SimMachine, AHalfGoodDescriptionChangesNothing)
{
    sim_set_refusal(0, 0);
    std::string path = write_temp("half", "cpu bit=0 apic=0\ndriver refuse status=7 retcode=7\ndriver absent\nbogus\n");
    char error[256];
    EXPECT_FALSE(sim_load_machine(path.c_str(), error, sizeof error));
    DeleteFileA(path.c_str());
    ASSERT_TRUE(bind(0));
    EXPECT_NE(INVALID_HANDLE_VALUE, device());
    ASSERT_TRUE(tsc(0x00000007));
    EXPECT_EQ(0, reply_[0]);
    EXPECT_EQ(0, reply_[1]);
}

TEST_F(SimMachine, ADescriptionSetsProcessorsRegistersAndDriver)
{
    std::string path = write_temp("full", "# a full description\n"
                                          "cpu bit=1 apic=4 family=16 htt=1   # node 1, core 0\n"
                                          "cpu bit=3 apic=2 family=6 htt=0\n"
                                          "os_count 6\n"
                                          "cpuid80000007_edx 0x106\n"
                                          "msr 0xC0010042 0x123456789ABCDEF0\n"
                                          "pci 0 24 3 0x84 16777216\n"
                                          "bind_fails bit=3\n"
                                          "driver refuse status=-1 retcode=0x10\n");
    ASSERT_TRUE(load(path.c_str()));
    DeleteFileA(path.c_str());
    const ProcessorOps& cpus = platform_processors();
    EXPECT_EQ(6u, cpus.processor_count());
    DWORD_PTR process = 0, system = 0;
    ASSERT_TRUE(cpus.get_affinity(&process, &system));
    EXPECT_EQ(DWORD_PTR(0xA), system);
    EXPECT_EQ(DWORD_PTR(0xA), process);

    DWORD regs[4];
    ASSERT_TRUE(bind(1));
    cpus.cpuid(1, regs);
    EXPECT_EQ(0xFu, (regs[0] >> 8) & 0xF);
    EXPECT_EQ(1u, (regs[0] >> 20) & 0xFF);
    EXPECT_EQ(4u, regs[1] >> 24);
    EXPECT_TRUE(regs[3] & (1u << 28));
    cpus.cpuid(0x80000007, regs);
    EXPECT_EQ(0x106u, regs[3]);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(bind(3));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(1, sim_bound_cpu());

    DWORD nb = 0;
    EXPECT_TRUE(sim_get_pci(0, 24, 3, 0x84, &nb));
    EXPECT_EQ(0x01000000u, nb);
    EXPECT_FALSE(sim_get_pci(0, 24, 3, 0x88, &nb));

    BYTE msr[20] = {};
    put32(msr, 0xC0010042);
    DWORD returned = 0;
    ASSERT_TRUE(platform_device().control(device(), IOCTL_MSR_READ, msr, 20, msr, 20, &returned));
    EXPECT_EQ(0x9ABCDEF0u, get32(msr + 4));
    EXPECT_EQ(0x12345678u, get32(msr + 8));

    // Processor 1 is core 0 of node 1 (family 16: apic 4 >> 2).
    ASSERT_TRUE(tsc(0x01000007));
    EXPECT_EQ(-1, reply_[0]);
    EXPECT_EQ(0x10, reply_[1]);
}

// ---- processors ----

TEST_F(SimMachine, BindingNeedsANonEmptyMaskInsideTheSystemMask)
{
    const ProcessorOps& cpus = platform_processors();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cpus.set_affinity(0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(cpus.set_affinity(0x10));
    EXPECT_FALSE(cpus.set_affinity(0x13));
    EXPECT_EQ(DWORD_PTR(0xF), sim_process_mask());
    EXPECT_EQ(-1, sim_bound_cpu());
    EXPECT_TRUE(cpus.set_affinity(0x4));
    EXPECT_EQ(2, sim_bound_cpu());
    EXPECT_TRUE(cpus.set_affinity(0x6));
    EXPECT_EQ(-1, sim_bound_cpu());
}

TEST_F(SimMachine, AProcessorThatCannotBeBoundAloneStillBelongsToWiderMasks)
{
    std::string path = write_temp("bindfails", "cpu bit=0 apic=0\ncpu bit=1 apic=1\nbind_fails bit=1\n");
    ASSERT_TRUE(load(path.c_str()));
    DeleteFileA(path.c_str());
    EXPECT_FALSE(bind(1));
    EXPECT_TRUE(platform_processors().set_affinity(0x3));
    EXPECT_TRUE(bind(0));
}

TEST_F(SimMachine, CpuidAnswersForTheBoundProcessorOrTheLowestOfTheMask)
{
    DWORD regs[4];
    for (int bit = 0; bit < 4; ++bit) {
        ASSERT_TRUE(bind(bit));
        regs[1] = 0xFFFFFFFF;
        platform_processors().cpuid(1, regs);
        EXPECT_EQ(static_cast<DWORD>(bit), regs[1] >> 24);
    }
    ASSERT_TRUE(platform_processors().set_affinity(0xC));
    platform_processors().cpuid(1, regs);
    EXPECT_EQ(2u, regs[1] >> 24);
    EXPECT_EQ(0xFu, (regs[0] >> 8) & 0xF);
    EXPECT_EQ(0u, (regs[0] >> 20) & 0xFF);

    sim_set_cpuid_80000007_edx(0x100);
    platform_processors().cpuid(0x80000007, regs);
    EXPECT_EQ(0x100u, regs[3]);
}

TEST_F(SimMachine, LoadingAMachineUnbindsAndResetsTheCounters)
{
    ASSERT_TRUE(bind(1));
    EXPECT_NE(INVALID_HANDLE_VALUE, device());
    ASSERT_TRUE(tsc(0x0000000A));
    ASSERT_EQ(1u, sim_log_size());
    ASSERT_EQ(1, sim_open_count());
    ASSERT_TRUE(load("four-node"));
    EXPECT_EQ(DWORD_PTR(0xFF), sim_process_mask());
    EXPECT_EQ(0u, sim_log_size());
    EXPECT_EQ(0, sim_open_count());
    // A handle opened before the load is still the driver's.
    EXPECT_TRUE(tsc(0x0000000A));
}

// ---- the stand-in driver ----

TEST_F(SimMachine, TheDeviceIsFoundOnlyUnderItsClassAndOnlyWhenPresent)
{
    const GUID other = {0x36FC3AB9, 0x5ABB, 0x42BA, {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5B}};
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_driver_interface(&other));
    sim_set_driver_absent(true);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_driver_interface(&tsc_class));
    EXPECT_EQ(2, sim_open_count());
    sim_set_driver_absent(false);
    HANDLE h = open_driver_interface(&tsc_class);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(platform_device().close(h));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(platform_device().close(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(3, sim_open_count());
}

TEST_F(SimMachine, TheDeviceIsSearchedForOnceAndAgainOnlyWhenItsPathNoLongerOpens)
{
    auto open_and_close = [] {
        HANDLE h = open_driver_interface(&tsc_class);
        if (h == INVALID_HANDLE_VALUE) return false;
        return platform_device().close(h) != FALSE;
    };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(open_and_close());
    EXPECT_EQ(1, sim_open_count());
    // The driver goes: the path found no longer opens, and a new search finds nothing.
    sim_set_driver_absent(true);
    EXPECT_FALSE(open_and_close());
    EXPECT_EQ(2, sim_open_count());
    sim_set_driver_absent(false);
    EXPECT_TRUE(open_and_close());
    EXPECT_TRUE(open_and_close());
    EXPECT_EQ(3, sim_open_count());
    // Another machine: the path found on the last one opens nothing; its own is found.
    ASSERT_TRUE(load("two-node"));
    EXPECT_TRUE(open_and_close());
    EXPECT_EQ(1, sim_open_count());
}

TEST_F(SimMachine, AnAbsentDriverIsDescribedAsSuch)
{
    std::string path = write_temp("absent", "cpu bit=0 apic=0\ndriver absent\n");
    ASSERT_TRUE(load(path.c_str()));
    DeleteFileA(path.c_str());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_driver_interface(&tsc_class));
}

TEST_F(SimMachine, PciRequestsReadAndWriteConfigurationDwordsByTheirBytes)
{
    DWORD value = 0;
    ASSERT_TRUE(pci(IOCTL_PCI_READ, 24, 0x84, &value));
    EXPECT_EQ(0x01000000u, value & 0x01000000u);
    const DWORD original = value;
    value = original & 0xFEFFFFFF;
    ASSERT_TRUE(pci(IOCTL_PCI_WRITE, 24, 0x84, &value));
    DWORD stored = 0;
    ASSERT_TRUE(sim_get_pci(0, 24, 3, 0x84, &stored));
    EXPECT_EQ(original & 0xFEFFFFFF, stored);

    value = 0;
    ASSERT_TRUE(pci(IOCTL_PCI_READ, 25, 0x84, &value)); // nothing answers there
    EXPECT_EQ(0xFFFFFFFFu, value);

    value = 0x12345678;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(pci(IOCTL_PCI_WRITE, 24, 0x84, &value, 2)); // only 4-byte accesses
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    ASSERT_TRUE(sim_get_pci(0, 24, 3, 0x84, &stored));
    EXPECT_EQ(original & 0xFEFFFFFF, stored);

    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(4u, lines.size());
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "PCI_READ bus=0 device=24 function=3 offset=0x84 value=0x%08lX cpu=- priority=normal", original);
    EXPECT_EQ(expected, lines[0]);
    std::snprintf(expected, sizeof expected,
                  "PCI_WRITE bus=0 device=24 function=3 offset=0x84 value=0x%08lX cpu=- priority=normal",
                  original & 0xFEFFFFFF);
    EXPECT_EQ(expected, lines[1]);
    EXPECT_EQ("PCI_WRITE bus=0 device=24 function=3 offset=0x84 value=0x12345678 cpu=- priority=normal "
              "delivered=no",
              lines[3]);
}

TEST_F(SimMachine, AnMsrReadFillsBytes4To11AndAnUnknownMsrFails)
{
    sim_set_msr(0xC0010042, 0x0000001100120A0AULL);
    BYTE msr[20];
    std::memset(msr, 0, sizeof msr);
    put32(msr, 0xC0010042);
    DWORD returned = 0;
    ASSERT_TRUE(platform_device().control(device(), IOCTL_MSR_READ, msr, 20, msr, 20, &returned));
    EXPECT_EQ(0x00120A0Au, get32(msr + 4));
    EXPECT_EQ(0x11u, get32(msr + 8));
    EXPECT_EQ("MSR_READ msr=0xC0010042 value=0x0000001100120A0A cpu=- priority=normal", std::string(sim_log_line(0)));

    std::memset(msr, 0xAB, sizeof msr);
    put32(msr, 0x10);
    EXPECT_FALSE(platform_device().control(device(), IOCTL_MSR_READ, msr, 20, msr, 20, &returned));
    EXPECT_EQ(0xABABABABu, get32(msr + 4));
}

TEST_F(SimMachine, CoreRequestsAreAcceptedOnlyFromTheProcessorTheyName)
{
    // Two-node: processor 3 has APIC ID 3, core 1 of node 1.
    const DWORD sync_core_3 = 0x11000007;   // node 1 at bit 24, core 1 at bit 28
    const DWORD register_core_3 = 0x21000008; // core 1 at bit 24, node 1 at bit 29
    ASSERT_TRUE(bind(3));
    ASSERT_TRUE(tsc(sync_core_3));
    EXPECT_EQ(0, reply_[0]);
    EXPECT_EQ(0, reply_[1]);
    ASSERT_TRUE(tsc(register_core_3, 1000));
    EXPECT_EQ(0, reply_[0]);
    EXPECT_EQ(0, reply_[1]);

    ASSERT_TRUE(bind(2));
    ASSERT_TRUE(tsc(sync_core_3));
    EXPECT_TRUE(reply_[0] != 0 || reply_[1] != 0);
    ASSERT_TRUE(tsc(register_core_3, 1000));
    EXPECT_TRUE(reply_[0] != 0 || reply_[1] != 0);

    ASSERT_TRUE(platform_processors().set_affinity(0xF)); // bound to none
    ASSERT_TRUE(tsc(sync_core_3));
    EXPECT_TRUE(reply_[0] != 0 || reply_[1] != 0);
    // The withdrawal is sent unbound and accepted.
    ASSERT_TRUE(tsc(0x21000009));
    EXPECT_EQ(0, reply_[0]);
    EXPECT_EQ(0, reply_[1]);
}

TEST_F(SimMachine, TheDriverRefusesMalformedWordsUnknownCommandsAndMissingNodes)
{
    ASSERT_TRUE(bind(0));
    struct Case {
        DWORD word;
        bool accepted;
        const char* name;
    } const cases[] = {
        {0x0000000A, true, "SYNC_NODE_TSC"},
        {0x1000000A, true, "SYNC_NODE_TSC"},
        {0x2000000A, false, "SYNC_NODE_TSC"},  // the two-node machine has no node 2
        {0x0100000A, false, "SYNC_NODE_TSC"},  // node bits belong to SYNC_CORE_TSC
        {0x08000007, false, "SYNC_CORE_TSC"},  // bit 27 is not part of the layout
        {0x00000007, true, "SYNC_CORE_TSC"},
        {0x0000000B, false, "TSC_UNKNOWN"},
        {0x00000000, false, "TSC_UNKNOWN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        sim_log_clear();
        ASSERT_TRUE(tsc(c.word));
        EXPECT_EQ(c.accepted, reply_[0] == 0 && reply_[1] == 0);
        ASSERT_EQ(1u, sim_log_size());
        EXPECT_EQ(0u, std::string(sim_log_line(0)).find(std::string(c.name) + " word=")) << sim_log_line(0);
    }
}

// Unbinds the process, so that its thread may be bound to any processor.
void unbind_process()
{
    DWORD_PTR process = 0, system = 0;
    platform_processors().get_affinity(&process, &system);
    platform_processors().set_affinity(system);
}

// The counter of processor bit less processor 0's, read from one thread bound to each in
// turn: the pair read around it brackets it, whatever time the bindings take.
::testing::AssertionResult offset_is(int bit, LONGLONG expected)
{
    const ProcessorOps& cpus = platform_processors();
    unbind_process();
    if (!cpus.bind_thread(1)) return ::testing::AssertionFailure() << "processor 0 not bound";
    const ULONGLONG before = cpus.read_tsc();
    if (!cpus.bind_thread(static_cast<DWORD_PTR>(1) << bit)) return ::testing::AssertionFailure() << "not bound";
    const LONGLONG other = static_cast<LONGLONG>(cpus.read_tsc()) - expected;
    cpus.bind_thread(1);
    const ULONGLONG after = cpus.read_tsc();
    if (other >= static_cast<LONGLONG>(before) && other <= static_cast<LONGLONG>(after))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "processor " << bit << " is "
                                         << other + expected - static_cast<LONGLONG>(before) << " to "
                                         << other + expected - static_cast<LONGLONG>(after) << " cycles off, not "
                                         << expected;
}

TEST_F(SimMachine, OnlyAcceptedTscRequestsMoveTheCountersOfTheProcessorsTheyConcern)
{
    // Two-node: node 1 (processors 2 and 3) millions of cycles ahead, second cores thousands.
    EXPECT_TRUE(offset_is(1, -2600));
    EXPECT_TRUE(offset_is(2, 3400000));
    EXPECT_TRUE(offset_is(3, 3404100));
    ASSERT_TRUE(bind(0));
    sim_set_refusal(0, 1);
    ASSERT_TRUE(tsc(0x1000000A)); // refused
    sim_set_refusal(0, 0);
    sim_set_fail_from(2);
    EXPECT_FALSE(tsc(0x1000000A)); // not delivered
    sim_set_fail_from(0);
    EXPECT_TRUE(offset_is(2, 3400000));
    ASSERT_TRUE(bind(0));
    ASSERT_TRUE(tsc(0x1000000A)); // node 1 to processor 0's counter, both its cores
    EXPECT_TRUE(offset_is(2, 0));
    EXPECT_TRUE(offset_is(3, 0));
    EXPECT_TRUE(offset_is(1, -2600));
    // A core to its node's first processor, from that core.
    ASSERT_TRUE(bind(1));
    ASSERT_TRUE(tsc(0x10000007));
    EXPECT_TRUE(offset_is(1, 0));
}

// Processor 1's counter less processor 0's: the middle of the narrowest of 20 brackets.
LONGLONG offset_of_1()
{
    const ProcessorOps& cpus = platform_processors();
    ULONGLONG narrowest = ~0ULL;
    LONGLONG offset = 0;
    unbind_process();
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(cpus.bind_thread(1));
        const ULONGLONG before = cpus.read_tsc();
        cpus.bind_thread(2);
        const ULONGLONG other = cpus.read_tsc();
        cpus.bind_thread(1);
        const ULONGLONG after = cpus.read_tsc();
        if (after - before < narrowest) {
            narrowest = after - before;
            offset = static_cast<LONGLONG>(other - (before + (after - before) / 2));
        }
    }
    cpus.bind_thread(3);
    return offset;
}

// Cycles processor 1 gains on processor 0 in 100 ms: at 300 ppm, 30000 at 1 GHz and more.
LONGLONG gain_of_1()
{
    const LONGLONG start = offset_of_1();
    Sleep(100);
    return offset_of_1() - start;
}

TEST_F(SimMachine, ARegisteredProcessorStopsDriftingUntilItsRegistrationIsWithdrawn)
{
    ASSERT_TRUE(load("one-node")); // processor 1 runs 300 ppm fast
    EXPECT_GT(gain_of_1(), 10000);
    ASSERT_TRUE(bind(1));
    ASSERT_TRUE(tsc(0x01000008, 1000));
    EXPECT_LT(std::abs(gain_of_1()), 3000) << "still drifting";
    ASSERT_TRUE(tsc(0x01000009));
    EXPECT_GT(gain_of_1(), 10000);
}

// Time goes backwards from one node's counters to the other's by about the distance between
// them, as the warp check finds; once the driver has synchronized them, never.
TEST_F(SimMachine, WarpsAreFoundBeforeTheCountersAreSynchronizedAndNoneAfter)
{
    static skew_warp_result warp;
    unbind_process();
    ASSERT_TRUE(skew_warp(0xF, 300, &warp));
    EXPECT_GT(warp.warps, 0u);
    EXPECT_GE(warp.from, 2) << "from node 1, which is ahead";
    EXPECT_LE(warp.to, 1) << "to node 0";
    // Only the nodes' 3.4 million cycles apart make a step of over a million; a reader put off
    // between the store and its read (a loaded machine) sees a smaller one than the distance.
    EXPECT_GE(warp.largest, 1000000);
    EXPECT_LE(warp.largest, 3404100 + 2600 + 5000);
    EXPECT_EQ(warp.pairs[warp.from][warp.to].largest, warp.largest);

    ASSERT_TRUE(bind(0));
    ASSERT_TRUE(tsc(0x1000000A)); // node 1 to processor 0's counter
    ASSERT_TRUE(bind(1));
    ASSERT_TRUE(tsc(0x10000007)); // the second core of node 0 to its first
    unbind_process();
    ASSERT_TRUE(skew_warp(0xF, 300, &warp));
    EXPECT_GT(warp.reads, 1000u);
    EXPECT_EQ(0u, warp.warps) << "largest " << warp.largest << " from " << warp.from << " to " << warp.to;
}

// A processor that never runs its answering thread fails the measurement of that processor
// alone, within the answer timeout and the bounded wait for the thread: nothing hangs.
TEST_F(SimMachine, ASilentProcessorIsNamedAndTheMeasurementEndsWithinItsBound)
{
    static skew_pass pass;
    unbind_process();
    sim_set_silent(1u << 2);
    set_switch_bounds(0, 1000); // a simulated driver's bound: the answer is waited for 1 s
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread measuring([done] {
        skew_measure(0xF, 0, 200, &pass);
        SetEvent(done);
    });
    const DWORD bound = skew_answer_timeout_ms() + skew_stop_timeout_ms + 3000;
    const bool ended = WaitForSingleObject(done, bound) == WAIT_OBJECT_0;
    sim_set_silent(0); // lets the stranded thread go, and a hung measurement end
    measuring.join();
    set_switch_bounds(0, 0);
    CloseHandle(done);
    ASSERT_TRUE(ended) << "still measuring after " << bound << " ms";
    EXPECT_FALSE(pass.complete);
    EXPECT_EQ(skew_status::silent, pass.readings[2].status);
    EXPECT_EQ(skew_status::measured, pass.readings[1].status);
    EXPECT_EQ(skew_status::measured, pass.readings[3].status);
    EXPECT_NEAR(3404100, pass.readings[3].offset, pass.readings[3].uncertainty + 500);
}

// The verdict on passes made by hand (1 cycle = 1 ns): who is beyond, who is loose, and the
// figure every processor is within, which may be set by a processor that is neither.
struct judged_pass {
    const char* what;
    LONGLONG offsets[4], uncertainties[4]; // processor 0 is the reference
    bool in_step;
    int worst, loosest, widest;
    double widest_ns;
};

const judged_pass judged_passes[] = {
    {"tight and in step", {0, 100, -40, 20}, {0, 50, 60, 30}, true, -1, -1, 1, 150},
    {"a loose processor sets the figure, not the largest offset",
     {0, 300, 10, -20}, {0, 100, 2500, 40}, true, -1, 2, 2, 2510},
    {"one beyond, another with a larger offset but loose",
     {0, -9000, 4000, 10}, {0, 9500, 100, 30}, false, 2, 1, 1, 18500},
};

TEST(SkewJudge, NamesTheWorstTheLoosestAndTheBoundEveryProcessorIsWithin)
{
    for (const judged_pass& row : judged_passes) {
        SCOPED_TRACE(row.what);
        skew_pass pass = {};
        pass.reference = 0;
        pass.mask = 0xF;
        for (int bit = 0; bit < 4; ++bit) {
            pass.readings[bit].status = skew_status::measured;
            pass.readings[bit].offset = row.offsets[bit];
            pass.readings[bit].uncertainty = row.uncertainties[bit];
        }
        const skew_verdict v = skew_judge(pass, 1e9, 1000);
        EXPECT_EQ(row.in_step, v.in_step);
        EXPECT_EQ(row.worst, v.worst);
        EXPECT_EQ(row.loosest, v.loosest);
        EXPECT_EQ(row.widest, v.widest);
        EXPECT_DOUBLE_EQ(row.widest_ns, v.widest_ns);
    }
}

// A drift between two passes is as uncertain as both readings together: u1 + u2 over the
// time between them, whichever of the two is the looser.
TEST(SkewJudge, DriftUncertaintyIsBothPassesUncertaintiesOverTheInterval)
{
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    const LONGLONG pairs[][2] = {{100, 300}, {300, 100}, {400, 300}};
    for (const auto& u : pairs) {
        SCOPED_TRACE(testing::Message() << u[0] << " and " << u[1]);
        skew_pass first = {}, second = {};
        first.readings[1] = {skew_status::measured, 1000, u[0], 1000};
        // Two seconds later, 600 cycles further: 300 ns/s at 1 GHz.
        second.readings[1] = {skew_status::measured, 1600, u[1], 1000 + 2 * frequency.QuadPart};
        skew_drift drift = {};
        ASSERT_TRUE(skew_drift_of(first, second, 1, 1e9, &drift));
        EXPECT_NEAR(300, drift.ns_per_s, 1e-6);
        EXPECT_NEAR((u[0] + u[1]) / 2.0, drift.uncertainty_ns_per_s, 1e-6);
        EXPECT_EQ(300 <= (u[0] + u[1]) / 2.0, drift.within_uncertainty);
    }
}

TEST_F(SimMachine, ABufferOfTheWrongSizeIsNotDelivered)
{
    ASSERT_TRUE(bind(0));
    BYTE in[12] = {7};
    LONG reply[3] = {0x5A5A, 0x5A5A, 0x5A5A};
    DWORD returned = 0xDEADBEEF;
    const DeviceOps& dev = platform_device();
    struct Case {
        DWORD code;
        DWORD in_size;
        DWORD out_size;
    } const cases[] = {
        {IOCTL_TSC_REQUEST, 7, 8}, {IOCTL_TSC_REQUEST, 8, 4}, {IOCTL_TSC_REQUEST, 12, 12},
        {IOCTL_PCI_READ, 8, 8},    {IOCTL_PCI_WRITE, 10, 12}, {IOCTL_MSR_READ, 8, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(dev.control(device(), c.code, in, c.in_size, reply, c.out_size, &returned));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
        EXPECT_EQ(0x5A5A, reply[0]);
        EXPECT_EQ(0x5A5A, reply[1]);
    }
    EXPECT_FALSE(dev.control(device(), IOCTL_TSC_REQUEST, in, 8, reply, 8, nullptr));
    EXPECT_FALSE(dev.control(device(), 0xFFF02808, in, 8, reply, 8, &returned));
    EXPECT_EQ(ERROR_INVALID_FUNCTION, GetLastError());

    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ("SYNC_CORE_TSC word=0x00000007 cpu=0 priority=normal delivered=no", lines[0]);
    EXPECT_EQ("IOCTL_UNKNOWN code=0xFFF02808 cpu=0 priority=normal delivered=no", lines[7]);
    for (const std::string& line : lines) EXPECT_NE(std::string::npos, line.find(" delivered=no")) << line;
}

TEST_F(SimMachine, EachRequestIsLoggedWithItsProcessorAndPriorityClass)
{
    ASSERT_TRUE(bind(1));
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS));
    const BOOL sync = tsc(0x10000007); // core 1 of node 0
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS));
    ASSERT_TRUE(sync);
    ASSERT_TRUE(bind(2));
    ASSERT_TRUE(tsc(0x20000008, 1500)); // core 0 (bits 24..28) of node 1 (bits 29..31)
    ASSERT_TRUE(platform_processors().set_affinity(0x3));
    ASSERT_TRUE(tsc(0x20000009));

    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("SYNC_CORE_TSC word=0x10000007 cpu=1 priority=high reply=0,0", lines[0]);
    EXPECT_EQ("REGISTER_TSC_DRIFT word=0x20000008 interval=1500 cpu=2 priority=normal reply=0,0", lines[1]);
    EXPECT_EQ("Deregister_TSC_DRIFT word=0x20000009 cpu=- priority=normal reply=0,0", lines[2]);
    sim_log_clear();
    EXPECT_EQ(0u, sim_log_size());
    EXPECT_EQ(nullptr, sim_log_line(0));
}

TEST_F(SimMachine, RequestsFromTheNthOnAreNotDelivered)
{
    ASSERT_TRUE(bind(0));
    sim_set_fail_from(3);
    EXPECT_TRUE(tsc(0x0000000A));
    DWORD value = 0;
    EXPECT_TRUE(pci(IOCTL_PCI_READ, 24, 0x84, &value));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(tsc(0x0000000A));
    EXPECT_NE(0xdeadbeefu, GetLastError());
    EXPECT_EQ(static_cast<LONG>(0xDEADBEEF), reply_[0]);
    value = 0x77;
    EXPECT_FALSE(pci(IOCTL_PCI_READ, 24, 0x84, &value));
    EXPECT_EQ(0x77u, value);
    EXPECT_EQ("SYNC_NODE_TSC word=0x0000000A cpu=0 priority=normal delivered=no", std::string(sim_log_line(2)));

    sim_set_fail_from(0);
    EXPECT_TRUE(tsc(0x0000000A));

    std::string path = write_temp("failfrom", "cpu bit=0 apic=0\ndriver fail_from 2\n");
    ASSERT_TRUE(load(path.c_str()));
    DeleteFileA(path.c_str());
    EXPECT_TRUE(tsc(0x00000007)); // the count starts again at the load
    EXPECT_FALSE(tsc(0x00000007));
}

TEST_F(SimMachine, TheRefusalWordsAreRepliedForOtherwiseAcceptedRequests)
{
    ASSERT_TRUE(bind(0));
    const LONG refusals[][2] = {{0, 1}, {1, 0}, {-5, 9}};
    for (const auto& r : refusals) {
        sim_set_refusal(r[0], r[1]);
        ASSERT_TRUE(tsc(0x00000008, 0));
        EXPECT_EQ(r[0], reply_[0]);
        EXPECT_EQ(r[1], reply_[1]);
    }
    EXPECT_EQ("REGISTER_TSC_DRIFT word=0x00000008 interval=0 cpu=0 priority=normal reply=-5,9",
              std::string(sim_log_line(2)));
    sim_set_refusal(0, 0);
    ASSERT_TRUE(tsc(0x00000008, 0));
    EXPECT_EQ(0, reply_[0]);
    EXPECT_EQ(0, reply_[1]);
}

TEST_F(SimMachine, TheLogFileNamedAtEachRequestGetsWholeLinesAppended)
{
    std::string path = write_temp("simlog", "earlier\n");
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(bind(0));
    ASSERT_TRUE(tsc(0x0000000A)); // before the variable is set: memory only
    ASSERT_TRUE(SetEnvironmentVariableA("TICKMEND_SIM_LOG", path.c_str()));
    ASSERT_TRUE(tsc(0x0000000A));
    ASSERT_TRUE(tsc(0x00000007));
    ASSERT_TRUE(SetEnvironmentVariableA("TICKMEND_SIM_LOG", nullptr));
    ASSERT_TRUE(tsc(0x00000007));

    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("earlier\n" + lines[1] + "\n" + lines[2] + "\n", testing_support::read_file(path));
    DeleteFileA(path.c_str());
}

// Requests from two threads and a second process, all into one log file.
DWORD WINAPI send_requests(void* count)
{
    HANDLE h = open_driver_interface(&tsc_class);
    for (int i = 0; i < *static_cast<int*>(count); ++i) {
        BYTE in[8] = {0x0A};
        LONG reply[2];
        DWORD returned = 0;
        platform_device().control(h, IOCTL_TSC_REQUEST, in, 8, reply, 8, &returned);
    }
    platform_device().close(h);
    return 0;
}

TEST(SimChild, SendRequests)
{
    char count[16];
    if (!GetEnvironmentVariableA("TICKMEND_SIM_CHILD_REQUESTS", count, sizeof count)) GTEST_SKIP() << "child only";
    ASSERT_TRUE(load("two-node"));
    sim_install();
    int n = std::atoi(count);
    send_requests(&n);
    platform_install(nullptr, nullptr);
}

TEST(SimChild, InstallFromEnvironment)
{
    char expected[16];
    if (!GetEnvironmentVariableA("TICKMEND_SIM_CHILD_EXPECT", expected, sizeof expected)) GTEST_SKIP() << "child only";
    sim_install_from_environment(); // ends the process with 3 on a bad description
    EXPECT_EQ(static_cast<DWORD>(std::atoi(expected)), platform_processors().processor_count());
    platform_install(nullptr, nullptr);
}

std::string self_command(const char* test)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    return std::string("\"") + self + "\" --gtest_filter=SimChild." + test;
}

TEST_F(SimMachine, ThreadsAndProcessesAppendCompleteLinesToOneLog)
{
    std::string path = testing_support::temp_path("simlog-shared");
    ASSERT_TRUE(SetEnvironmentVariableA("TICKMEND_SIM_LOG", path.c_str()));
    HANDLE child = testing_support::start_process(self_command("SendRequests"), "TICKMEND_SIM_CHILD_REQUESTS=150");
    ASSERT_NE(nullptr, child);
    int count = 150;
    HANDLE threads[2];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, send_requests, &count, 0, nullptr);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HANDLE t : threads) CloseHandle(t);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 60000));
    DWORD code = 1;
    GetExitCodeProcess(child, &code);
    CloseHandle(child);
    EXPECT_EQ(0u, code);

    EXPECT_EQ(300u, sim_log_size());
    const std::string text = testing_support::read_file(path);
    const std::string line = "SYNC_NODE_TSC word=0x0000000A cpu=- priority=normal reply=0,0\n";
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); at += line.size(), ++lines)
        ASSERT_EQ(0, text.compare(at, line.size(), line)) << "line " << lines;
    EXPECT_EQ(450u, lines);
    DeleteFileA(path.c_str());
}

TEST(SimEnvironment, ABadMachineEndsTheProcessWithCode3AndAGoodOneIsInstalled)
{
    std::string bad = write_temp("envbad", "cpu bit=0 apic=0\nnonsense\n");
    EXPECT_EQ(3, testing_support::run_process(self_command("InstallFromEnvironment"),
                                              "TICKMEND_SIM_CHILD_EXPECT=1\nTICKMEND_SIM_MACHINE=" + bad));
    DeleteFileA(bad.c_str());
    EXPECT_EQ(0, testing_support::run_process(self_command("InstallFromEnvironment"),
                                              "TICKMEND_SIM_CHILD_EXPECT=8\nTICKMEND_SIM_MACHINE=four-node"));
    // Without the variable the machine is the two-node one.
    SetEnvironmentVariableA("TICKMEND_SIM_MACHINE", nullptr);
    EXPECT_EQ(0, testing_support::run_process(self_command("InstallFromEnvironment"), "TICKMEND_SIM_CHILD_EXPECT=4"));
}

} // namespace
