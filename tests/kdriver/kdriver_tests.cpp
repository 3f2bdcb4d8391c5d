#include "request_checks.h"
#include "exchange.h"
#include "sim/sim.h"
#include "sim/counters.h"
#include "platform/tsc_read.h"
#include "notice/wording.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>

using namespace tkd;

namespace {

// ---- requests refused before anything is touched ----

TEST(DriverRequests, EachCodeTakesExactlyItsSizesAndNoOtherCodeIsTaken)
{
    struct Row {
        uint32_t code, in, out;
    } sizes[] = {{IOCTL_MSR_READ, 20, 20}, {IOCTL_PCI_READ, 10, 10}, {IOCTL_PCI_WRITE, 10, 10}, {IOCTL_TSC_REQUEST, 8, 8}};
    for (const Row& r : sizes) {
        EXPECT_EQ(status_success, check_sizes(r.code, r.in, r.out)) << std::hex << r.code;
        for (uint32_t in : {0u, r.in - 1, r.in + 1, 2 * r.in})
            EXPECT_EQ(status_info_length_mismatch, check_sizes(r.code, in, r.out)) << std::hex << r.code << " in " << in;
        for (uint32_t out : {0u, r.out - 1, r.out + 1})
            EXPECT_EQ(status_info_length_mismatch, check_sizes(r.code, r.in, out)) << std::hex << r.code << " out " << out;
    }
    // Neighbours of the four: other functions, other transfer types and access bits.
    for (uint32_t code : {0u, 0xFFF02800u, 0xFFF02808u, 0xFFF02805u, 0xFFF02806u, 0xFFF06804u, 0xFFF0A82Cu,
                          0xFFF02834u, 0xFFF02858u, 0xFFF02860u, 0xFFF1285Cu, 0x0022285Cu})
        EXPECT_EQ(status_invalid_device_request, check_sizes(code, 8, 8)) << std::hex << code;
}

TEST(DriverRequests, OnlyTheNorthbridgeDwordIsReachedAndOnlyItsPowerBitChanges)
{
    const uint8_t good[pci_request_size] = {0, 24, 3, 4, 0x84, 0, 0x20, 0x0C, 0x0A, 0x01};
    EXPECT_EQ(status_success, check_pci(good));
    struct Row {
        int byte;
        uint8_t value;
    } others[] = {{0, 1}, {0, 255}, {1, 0}, {1, 23}, {1, 25}, {1, 31}, {2, 0}, {2, 2}, {2, 4}, {2, 7},
                  {3, 1}, {3, 2}, {3, 8}, {4, 0x80}, {4, 0x85}, {4, 0x88}, {4, 0}, {5, 1}};
    for (const Row& r : others) {
        uint8_t request[pci_request_size];
        std::memcpy(request, good, sizeof request);
        request[r.byte] = r.value;
        EXPECT_EQ(status_access_denied, check_pci(request)) << "byte " << r.byte << " = " << int(r.value);
    }
    const uint32_t current = 0x010A0C20;
    for (int bit = 0; bit < 32; ++bit) {
        uint32_t written = 0xDEADBEEF;
        const bool taken = pci_write_value(current, current ^ (1u << bit), &written);
        if (bit == 24) {
            EXPECT_TRUE(taken);
            EXPECT_EQ(0x000A0C20u, written);
        } else {
            EXPECT_FALSE(taken) << "bit " << bit;
            EXPECT_EQ(0xDEADBEEFu, written) << "bit " << bit;
        }
    }
    uint32_t written = 0;
    EXPECT_TRUE(pci_write_value(0x000A0C20, 0x010A0C20, &written));
    EXPECT_EQ(0x010A0C20u, written);
    // Only AMD's function at that address is touched, and only when something answers.
    struct Id {
        bool read;
        uint32_t dword0;
        int32_t status;
    } ids[] = {{true, 0x11031022, status_success},        {true, 0x12031022, status_success},
               {false, 0x11031022, status_no_such_device}, {true, 0xFFFFFFFF, status_no_such_device},
               {true, 0x0000FFFF, status_no_such_device},  {true, 0, status_no_such_device},
               {true, 0x29C08086, status_not_supported},   {true, 0x10221106, status_not_supported},
               {true, 0x00001023, status_not_supported}};
    for (const Id& r : ids)
        EXPECT_EQ(r.status, check_nb_vendor(r.read, r.dword0)) << r.read << " " << std::hex << r.dword0;
}

TEST(DriverRequests, OnlyTheFrequencyIdMsrIsRead)
{
    uint8_t request[msr_request_size] = {};
    put32(request, msr_fid_status);
    EXPECT_EQ(status_success, check_msr(request));
    for (uint32_t msr : {0u, 0x10u, 0x3Bu, 0x1Bu, 0xC0010041u, 0xC0010043u, 0xC0000080u, 0x80010042u}) {
        put32(request, msr);
        EXPECT_EQ(status_access_denied, check_msr(request)) << std::hex << msr;
    }
    put32(request, msr_fid_status);
    for (int byte : {4, 11, 12, 19}) {
        request[byte] = 1;
        EXPECT_EQ(status_invalid_parameter, check_msr(request)) << "byte " << byte;
        request[byte] = 0;
    }
    // Read only where the processor has it: AMD family 0Fh.
    struct Cpu {
        const char* vendor;
        uint32_t max_leaf, eax1;
        int32_t status;
    } cpus[] = {{"AuthenticAMD", 1, 0x00000F00, status_success},      {"AuthenticAMD", 1, 0x00020F32, status_success},
                {"AuthenticAMD", 0x10, 0x00040FB2, status_success},   {"AuthenticAMD", 0, 0x00000F00, status_not_supported},
                {"AuthenticAMD", 5, 0x00100F42, status_not_supported}, {"AuthenticAMD", 0xD, 0x00800F11, status_not_supported},
                {"AuthenticAMD", 1, 0x00000681, status_not_supported}, {"GenuineIntel", 0xD, 0x00000F29, status_not_supported},
                {"GenuineIntel", 0x16, 0x000906EA, status_not_supported}, {"HygonGenuine", 0xD, 0x00900F02, status_not_supported},
                {"AuthenticAMX", 1, 0x00000F00, status_not_supported}};
    for (const Cpu& c : cpus) {
        uint32_t leaf0[4] = {c.max_leaf};
        std::memcpy(&leaf0[1], c.vendor, 4);
        std::memcpy(&leaf0[3], c.vendor + 4, 4);
        std::memcpy(&leaf0[2], c.vendor + 8, 4);
        EXPECT_EQ(c.status, check_fid_msr_present(leaf0, c.eax1)) << c.vendor << " " << std::hex << c.eax1;
    }
}

TEST(DriverRequests, CommandWordsDecodeByTheirLayoutAndAnythingElseIsRefused)
{
    struct Row {
        uint32_t word;
        uint32_t number;
        unsigned node, core;
    } words[] = {{0x12000007, SYNC_CORE_TSC, 2, 1}, {0x1000000A, SYNC_NODE_TSC, 1, 0}, {0x0000000A, SYNC_NODE_TSC, 0, 0},
                 {0x23000008, REGISTER_TSC_DRIFT, 1, 3}, {0xE1000009, Deregister_TSC_DRIFT, 7, 1},
                 {0x1F000008, REGISTER_TSC_DRIFT, 0, 31}};
    for (const Row& r : words) {
        tsc_command c = {};
        ASSERT_TRUE(decode_tsc(r.word, 1000, &c)) << std::hex << r.word;
        EXPECT_EQ(r.number, c.number);
        EXPECT_EQ(r.node, c.node) << std::hex << r.word;
        EXPECT_EQ(r.core, c.core) << std::hex << r.word;
        EXPECT_EQ(r.number == REGISTER_TSC_DRIFT ? 1000u : 0u, c.interval_ms);
    }
    // Unknown commands, and known ones with bits outside their layout.
    for (uint32_t word : {0u, 1u, 6u, 11u, 0x17u, 0x107u, 0xFFFFFFu, 0x08000007u, 0x80000007u, 0x0100000Au,
                          0x0800000Au, 0x8000000Au}) {
        tsc_command c = {};
        EXPECT_FALSE(decode_tsc(word, 0, &c)) << std::hex << word;
    }
    // A registration's interval: 0 (never run), or 100 ms to one day.
    struct Interval {
        uint32_t ms;
        bool taken;
    } intervals[] = {{0, true},           {100, true},         {86400000, true},    {1, false},
                     {99, false},         {86400001, false},   {0x7FFFFFFF, false}, {0x80000000, false},
                     {0xFFFFFFFF, false}};
    for (const Interval& i : intervals) {
        tsc_command c = {};
        EXPECT_EQ(i.taken, decode_tsc(0x01000008, i.ms, &c)) << i.ms;
        EXPECT_EQ(i.taken ? i.ms : 0u, c.interval_ms) << i.ms;
        EXPECT_TRUE(decode_tsc(0x01000009, i.ms, &c)) << "a withdrawal carries no interval: " << i.ms;
    }
}

TEST(DriverRequests, TickmendSaysInWordsWhyTheDriverLeftTheCountersAlone)
{
    struct Row {
        int32_t status, ret_code;
        const char* words;
    } rows[] = {{status_left_alone, ret_invariant_in_step, "counters invariant and in step: left alone"},
                {status_left_alone, ret_windows_keeps_time, "Windows keeps time by the TSC: left alone"},
                {status_io_timeout, ret_not_arrived, "a processor did not come in time"},
                {status_unsuccessful, ret_out_of_tolerance, "a counter stayed out of tolerance"},
                {status_left_alone, ret_refused, "Status 0x60A10000, RetCode 1"},
                {status_unsuccessful, ret_windows_keeps_time, "Status 0xC0000001, RetCode 5"}};
    for (const Row& r : rows) {
        char text[64];
        driver_outcome_detail(driver_outcome::refused, r.status, r.ret_code, text, sizeof text);
        EXPECT_STREQ(r.words, text);
    }
}

// ---- the measurement and the drift decision ----

TEST(DriverSync, TheOffsetIsTakenAtTheMidpointOfTheRoundTrip)
{
    struct Row {
        uint64_t t0, r, t1;
        int64_t offset;
        uint64_t uncertainty;
    } rows[] = {{1000, 5000, 1400, 3800, 200}, {1000, 1200, 1400, 0, 200}, {5000, 1000, 5100, -4050, 50},
                {0xFFFFFFFFFFFFFF00ull, 0x100, 0x40, 352, 160}, {7, 7, 7, 0, 0}, {10, 100, 13, 89, 2}};
    for (const Row& r : rows) {
        const offset_estimate e = estimate_offset(r.t0, r.r, r.t1);
        EXPECT_EQ(r.offset, e.offset) << r.t0 << " " << r.r << " " << r.t1;
        EXPECT_EQ(r.uncertainty, e.uncertainty) << r.t0 << " " << r.r << " " << r.t1;
    }
}

TEST(DriverSync, DriftIsCorrectedOnlyPastTheToleranceAndOnlyWhenMeasurable)
{
    struct Row {
        int64_t offset;
        uint64_t uncertainty;
        drift_action action;
    } rows[] = {{0, 0, drift_action::in_step},        {1000, 100, drift_action::in_step},
                {-1000, 100, drift_action::in_step},  {1001, 100, drift_action::correct},
                {-1001, 0, drift_action::correct},    {3400000, 1000, drift_action::correct},
                {3400000, 1001, drift_action::unmeasurable}, {0, 5000, drift_action::unmeasurable}};
    for (const Row& r : rows)
        EXPECT_EQ(r.action, decide(offset_estimate{r.offset, r.uncertainty}, 1000)) << r.offset << " ± " << r.uncertainty;
}

// ---- two sides on the simulated machine's counters ----

uint64_t read_cpu(void* bit) { return counters_read(static_cast<int>(reinterpret_cast<intptr_t>(bit))); }
void shift_cpu(void* bit, int64_t by) { counters_shift(static_cast<int>(reinterpret_cast<intptr_t>(bit)), by); }
counter_ops counter_of(int bit) { return counter_ops{read_cpu, shift_cpu, reinterpret_cast<void*>(static_cast<intptr_t>(bit))}; }

// Generous for a loaded machine: 200 ms of a 3 GHz counter per wait.
constexpr exchange_budget budget = {600000000ull, 600000000ull};

struct Meeting {
    exchange x;
    int reference, target;
    sync_plan plan;
    sync_result result;
};

DWORD WINAPI reference_thread(void* p)
{
    auto* m = static_cast<Meeting*>(p);
    const counter_ops counter = counter_of(m->reference);
    if (meet(&m->x, side_reference, counter, budget.arrive)) answer_target(&m->x, counter, budget);
    return 0;
}

DWORD WINAPI target_thread(void* p)
{
    auto* m = static_cast<Meeting*>(p);
    const counter_ops counter = counter_of(m->target);
    m->result.ret_code = ret_not_arrived;
    if (meet(&m->x, side_target, counter, budget.arrive)) m->result = sync_target(&m->x, counter, budget, m->plan);
    return 0;
}

// The two sides in threads of their own; false when either has not ended within 30 s.
bool run(Meeting* m, bool target_comes)
{
    HANDLE threads[2] = {CreateThread(nullptr, 0, reference_thread, m, 0, nullptr),
                         target_comes ? CreateThread(nullptr, 0, target_thread, m, 0, nullptr) : nullptr};
    const DWORD count = target_comes ? 2 : 1;
    const bool ended = WaitForMultipleObjects(count, threads, TRUE, 30000) == WAIT_OBJECT_0;
    for (DWORD i = 0; i < count; ++i) CloseHandle(threads[i]);
    return ended;
}

int64_t apart(int a, int b) { return static_cast<int64_t>(counters_read(a) - counters_read(b)); }

constexpr int64_t tolerance = 200000;

class DriverMeeting : public ::testing::Test {
protected:
    void SetUp() override
    {
        char error[256];
        ASSERT_TRUE(sim_load_machine("two-node", error, sizeof error)) << error;
        exchange_reset(&m.x);
        // A loaded machine lengthens the trips: a wide tolerance and many rounds, still far
        // below the 3,400,000 cycles the target starts apart.
        m.plan = sync_plan{256, 10, tolerance, true, false};
    }
    Meeting m = {};
};

TEST_F(DriverMeeting, AProcessorThatNeverArrivesEndsTheMeetingWithinItsBudget)
{
    m.reference = 0;
    const int64_t before = apart(2, 0);
    const ULONGLONG start = GetTickCount();
    ASSERT_TRUE(run(&m, false)) << "the reference still waits after 30 s";
    EXPECT_LT(GetTickCount() - start, 20000u);
    // The meeting is closed: the late one leaves at once, and nothing was written.
    EXPECT_FALSE(meet(&m.x, side_target, counter_of(2), budget.arrive));
    EXPECT_LT(std::llabs(apart(2, 0) - before), 1000);
}

TEST_F(DriverMeeting, TheTargetIsBroughtIntoStepByTheOffsetItMeasured)
{
    m.reference = 0;
    m.target = 2; // 3,400,000 cycles ahead
    ASSERT_TRUE(run(&m, true));
    ASSERT_EQ(ret_done, m.result.ret_code);
    EXPECT_NEAR(-3400000.0, static_cast<double>(m.result.before.offset), tolerance);
    EXPECT_GE(m.result.moves, 1);
    EXPECT_LE(std::llabs(m.result.after.offset), tolerance);
    EXPECT_LT(std::llabs(apart(2, 0)), tolerance + 50000) << "the counters themselves";
}

TEST_F(DriverMeeting, CountersAlreadyInStepAreLeftAloneWhenAskedTo)
{
    m.reference = 0;
    m.target = 1; // 2,600 cycles behind: within the tolerance
    m.plan.leave_in_step = true;
    const int64_t before = apart(1, 0);
    ASSERT_TRUE(run(&m, true));
    EXPECT_EQ(ret_invariant_in_step, m.result.ret_code);
    EXPECT_EQ(0, m.result.moves);
    EXPECT_LT(std::llabs(apart(1, 0) - before), 1000) << "nothing written";
}

} // namespace
