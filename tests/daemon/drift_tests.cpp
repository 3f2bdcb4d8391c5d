// Drift registration on single-node machines: the interval, the requests and the result.
#include "daemon_fixture.h"
#include "driver/driver.h"
#include "registry/registry.h"
#include "support/test_support.h"

#include <windows.h>

using namespace daemon_testing;

namespace {

const char* const machine_key = "SOFTWARE\\QEL\\qel_pacemill";

constexpr DWORD FID_VID = 0x6;         // frequency and voltage ID control
constexpr DWORD INVARIANT = 0x100;     // invariant TSC
constexpr ULONGLONG FIDS_DIFFER = 0x000A0800; // start FID 8, maximum FID 10
constexpr ULONGLONG FIDS_EQUAL = 0x000A0A00;

class DriftRegistration : public DaemonOnMachine {
protected:
    void SetUp() override
    {
        testing_support::delete_tree(HKEY_LOCAL_MACHINE, machine_key);
        load("one-node");
    }
    void TearDown() override
    {
        DaemonOnMachine::TearDown();
        testing_support::delete_tree(HKEY_LOCAL_MACHINE, machine_key);
    }
    void configure(DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(1, set_registry_value(HKEY_LOCAL_MACHINE, machine_key, "sync_interval", type, data, size));
    }
    void machine(DWORD edx, ULONGLONG fids, bool nb_bit)
    {
        sim_set_cpuid_80000007_edx(edx);
        sim_set_msr(MSR_FID_STATUS, fids);
        sim_set_pci(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, nb_bit ? 0x01000017u : 0x00000017u);
    }
    // The intervals of the registrations sent by a start, which must succeed.
    std::vector<std::string> registered_intervals()
    {
        sim_log_clear();
        int available = -1;
        EXPECT_EQ(1, Qel_DaemonStart(0, 0, &available));
        EXPECT_EQ(0, available);
        return fields(log_lines("REGISTER_TSC_DRIFT"), "interval");
    }
};

TEST_F(DriftRegistration, IntervalFollowsCapabilitiesNorthbridgeAndFrequencyIds)
{
    DWORD five_hundred = 500;
    configure(REG_DWORD, &five_hundred, 4);
    struct Row {
        DWORD edx;
        bool nb_bit;
        ULONGLONG fids;
        const char* interval;
    } rows[] = {
        {INVARIANT, false, FIDS_EQUAL, "0"},             // invariant, nothing varies
        {INVARIANT, true, FIDS_EQUAL, "0"},              // invariant: the northbridge is not asked
        {INVARIANT | FID_VID, false, FIDS_DIFFER, "500"}, // invariant but the frequency varies
        {0, false, FIDS_DIFFER, "0"},                    // no FID/VID control: the fields do not count
        {FID_VID, false, FIDS_EQUAL, "0"},               // stable northbridge, equal fields
        {FID_VID, false, FIDS_DIFFER, "500"},
        {0, true, FIDS_EQUAL, "500"},                    // bit 24 set: compensation whatever the fields
        {FID_VID, true, FIDS_DIFFER, "500"},
    };
    for (const Row& row : rows) {
        Qel_DaemonExit();
        smp_reset_table();
        machine(row.edx, row.fids, row.nb_bit);
        std::vector<std::string> intervals = registered_intervals();
        ASSERT_EQ(2u, intervals.size()) << "edx " << row.edx;
        EXPECT_EQ(row.interval, intervals[0]) << "edx " << row.edx << " nb " << row.nb_bit << " fids " << row.fids;
        EXPECT_EQ(row.interval, intervals[1]);
    }
}

TEST_F(DriftRegistration, InvariantCounterReadsNeitherRegistryNorNorthbridge)
{
    Qel_DaemonExit();
    load("one-node-invariant");
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    EXPECT_EQ(0u, log_lines("PCI_READ").size());
    EXPECT_EQ(1u, log_lines("MSR_READ").size()) << "the frequency-ID register is read in every case";
    std::vector<std::string> intervals = fields(log_lines("REGISTER_TSC_DRIFT"), "interval");
    EXPECT_EQ((std::vector<std::string>{"0", "0"}), intervals);
}

TEST_F(DriftRegistration, ConfiguredIntervalIsBoundedAndOddValuesFallBack)
{
    machine(FID_VID, FIDS_DIFFER, true);
    EXPECT_EQ("1000", registered_intervals().at(0)) << "missing value";

    struct Case {
        DWORD value;
        const char* interval;
    } cases[] = {{0, "0"},       {1, "100"},       {99, "100"},      {100, "100"},
                 {2000, "2000"}, {2001, "2000"}, {5000, "2000"}, {4294967295u, "2000"}};
    for (const Case& c : cases) {
        Qel_DaemonExit();
        configure(REG_DWORD, &c.value, 4);
        EXPECT_EQ(c.interval, registered_intervals().at(0)) << "sync_interval " << c.value;
    }

    Qel_DaemonExit();
    ULONGLONG eight = 300;
    configure(REG_QWORD, &eight, 8);
    EXPECT_EQ("1000", registered_intervals().at(0)) << "an 8-byte value counts as unreadable";

    Qel_DaemonExit();
    configure(REG_SZ, "x", 2); // 'x' and its NUL: 0x0078, the high bytes stay 0
    EXPECT_EQ("120", registered_intervals().at(0)) << "a short value fills only its low bytes";

    Qel_DaemonExit();
    BYTE three[3] = {0xD0, 0x07, 0x00}; // 2000 in three bytes
    configure(REG_BINARY, three, 3);
    EXPECT_EQ("2000", registered_intervals().at(0));
}

TEST_F(DriftRegistration, On64BitWindowsThe64BitViewComesFirstThenThe32BitOne)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) GTEST_SKIP() << "a 32-bit Windows has one view";
    machine(FID_VID, FIDS_DIFFER, true);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, machine_key, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    DWORD set_by_64_bit_regedit = 1500;
    RegSetValueExA(key, "sync_interval", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&set_by_64_bit_regedit), 4);
    DWORD set_by_32_bit_tool = 700;
    configure(REG_DWORD, &set_by_32_bit_tool, 4);
    EXPECT_EQ("1500", registered_intervals().at(0));
    RegDeleteValueA(key, "sync_interval");
    RegCloseKey(key);
    Qel_DaemonExit();
    EXPECT_EQ("700", registered_intervals().at(0));
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, machine_key, KEY_WOW64_64KEY, 0);
}

TEST_F(DriftRegistration, EachProcessorIsRegisteredFromItselfAndTheMaskIsRestored)
{
    DWORD_PTR before = sim_process_mask();
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    std::vector<std::string> regs = log_lines("REGISTER_TSC_DRIFT");
    ASSERT_EQ(2u, regs.size());
    EXPECT_EQ((std::vector<std::string>{"0x00000008", "0x01000008"}), fields(regs, "word"));
    EXPECT_EQ((std::vector<std::string>{"0", "1"}), fields(regs, "cpu"));
    EXPECT_EQ(before, sim_process_mask());
}

// Replies of a scripted driver: the stand-in's own, with the words of chosen requests
// overwritten.
const DeviceOps* stand_in = nullptr;
int tsc_request = 0;
LONG reply_words[8][2];

BOOL scripted_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    BOOL ok = stand_in->control(device, code, in, in_size, out, out_size, returned);
    if (ok && code == IOCTL_TSC_REQUEST && out_size == 8 && tsc_request < 8) {
        memcpy(out, reply_words[tsc_request], 8);
        ++tsc_request;
    }
    return ok;
}

TEST_F(DriftRegistration, ResultIsTheJudgementOfTheLastReply)
{
    static DeviceOps scripted;
    stand_in = &platform_device();
    scripted = *stand_in;
    scripted.control = scripted_control;
    platform_install(&platform_processors(), &scripted);

    struct Case {
        LONG first[2], second[2];
        int started;
    } cases[] = {
        {{1, 0}, {0, 0}, 1}, // an early refusal is overwritten by a later acceptance
        {{0, 0}, {0, 1}, 0}, // the last reply refused, in either word
        {{0, 0}, {1, 0}, 0},
        {{0, 0}, {0, 0}, 1},
    };
    for (const Case& c : cases) {
        Qel_DaemonExit();
        smp_reset_table();
        tsc_request = 0;
        memcpy(reply_words[0], c.first, 8);
        memcpy(reply_words[1], c.second, 8);
        EXPECT_EQ(c.started, Qel_DaemonStart(0, 0, nullptr))
            << c.first[0] << "," << c.first[1] << " then " << c.second[0] << "," << c.second[1];
    }
    platform_install(&platform_processors(), stand_in);
}

TEST_F(DriftRegistration, UndeliverableFirstRequestEndsTheLoop)
{
    // MSR_READ is request 1, PCI_READ request 2, the first registration request 3.
    sim_set_fail_from(3);
    DWORD_PTR before = sim_process_mask();
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, nullptr));
    std::vector<std::string> regs = log_lines("REGISTER_TSC_DRIFT");
    ASSERT_EQ(1u, regs.size()) << "processor 1 was asked after processor 0 failed";
    EXPECT_EQ("0", field(regs[0], "cpu"));
    EXPECT_EQ(before, sim_process_mask());
}

TEST_F(DriftRegistration, RefusingDriverFailsTheStart)
{
    sim_set_refusal(0, 1);
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, nullptr));
    sim_set_refusal(0, 0);
    sim_set_driver_absent(true);
    sim_log_clear();
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, nullptr));
    EXPECT_EQ(0u, log_lines("REGISTER_TSC_DRIFT").size());
}

TEST_F(DriftRegistration, FailedAffinityQuerySendsNoRegistration)
{
    sim_set_affinity_query_fails(true);
    EXPECT_EQ(0, Qel_DaemonStart(0, 0, nullptr));
    sim_set_affinity_query_fails(false);
    EXPECT_EQ(0u, log_lines("REGISTER_TSC_DRIFT").size());
}

TEST_F(DriftRegistration, WithdrawalGoesToEveryProcessorInOrderWithoutBinding)
{
    ASSERT_EQ(1, Qel_DaemonStart(0, 0, nullptr));
    sim_log_clear();
    Qel_DaemonExit();
    std::vector<std::string> dereg = log_lines("Deregister_TSC_DRIFT");
    EXPECT_EQ((std::vector<std::string>{"0x00000009", "0x01000009"}), fields(dereg, "word"));
    EXPECT_EQ((std::vector<std::string>{"-", "-"}), fields(dereg, "cpu"));
}

BOOL pci_read_fails(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    if (code == IOCTL_PCI_READ) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return stand_in->control(device, code, in, in_size, out, out_size, returned);
}

TEST_F(DriftRegistration, FailedNorthbridgeReadKeepsCompensationOn)
{
    // Nothing varies and the northbridge bit is clear, but the driver cannot read it: the
    // counter is not known to be stable, so the configured interval applies.
    machine(FID_VID, FIDS_EQUAL, false);
    static DeviceOps failing;
    stand_in = &platform_device();
    failing = *stand_in;
    failing.control = pci_read_fails;
    platform_install(&platform_processors(), &failing);
    std::vector<std::string> intervals = registered_intervals();
    platform_install(&platform_processors(), stand_in);
    EXPECT_EQ((std::vector<std::string>{"1000", "1000"}), intervals);
}

BOOL msr_read_refused(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    if (code == IOCTL_MSR_READ) {
        SetLastError(ERROR_NOT_SUPPORTED); // tickmend.sys on a virtual machine
        return FALSE;
    }
    return stand_in->control(device, code, in, in_size, out, out_size, returned);
}

TEST_F(DriftRegistration, RefusedFrequencyIdReadKeepsCompensationOn)
{
    // The processor can change its frequency, the northbridge bit is clear, and the driver
    // refuses the frequency IDs: a varying frequency is not ruled out.
    machine(FID_VID, FIDS_EQUAL, false);
    static DeviceOps refusing;
    stand_in = &platform_device();
    refusing = *stand_in;
    refusing.control = msr_read_refused;
    platform_install(&platform_processors(), &refusing);
    std::vector<std::string> intervals = registered_intervals();
    platform_install(&platform_processors(), stand_in);
    EXPECT_EQ((std::vector<std::string>{"1000", "1000"}), intervals);
}

} // namespace
