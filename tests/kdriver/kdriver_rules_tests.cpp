// The driver's rules of the processor and of its callers, in user mode: what CPUID allows
// (how the counter is read and moved, whether the frequency-ID MSR is there), which handle
// may change the machine, how often a caller may make the processors meet.
#include "cpu_rules.h"
#include "meeting_budget.h"
#include "request_checks.h"

#include <gtest/gtest.h>
#include <cstring>

using namespace tkd;

namespace {

// ---- what each processor allows, from CPUID ----

struct Cpuid {
    uint32_t max_leaf;
    const char* vendor;
    uint32_t eax1, ecx1, edx1, ebx7, ext_max, edx_ext1, edx_ext7;
};
void answer(void* context, uint32_t leaf, uint32_t regs[4])
{
    const Cpuid& c = *static_cast<const Cpuid*>(context);
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    if (leaf == 0) {
        regs[0] = c.max_leaf;
        std::memcpy(&regs[1], c.vendor, 4);
        std::memcpy(&regs[3], c.vendor + 4, 4);
        std::memcpy(&regs[2], c.vendor + 8, 4);
    } else if (leaf == 1 && c.max_leaf >= 1) {
        regs[0] = c.eax1, regs[2] = c.ecx1, regs[3] = c.edx1;
    } else if (leaf == 7 && c.max_leaf >= 7) {
        regs[1] = c.ebx7;
    } else if (leaf == 0x80000000) {
        regs[0] = c.ext_max;
    } else if (leaf == 0x80000001 && c.ext_max >= 0x80000001) {
        regs[3] = c.edx_ext1;
    } else if (leaf == 0x80000007 && c.ext_max >= 0x80000007) {
        regs[3] = c.edx_ext7;
    }
}
constexpr uint32_t sse2 = 1u << 26, rdtscp = 1u << 27, invariant = 1u << 8, tsc_adjust = 2, hypervisor = 1u << 31;

TEST(DriverCpu, TheCounterIsReadInOrderWithWhatTheProcessorHas)
{
    struct Row {
        Cpuid cpu;
        tsc_read read;
    } rows[] = {
        {{1, "AuthenticAMD", 0x6A0, 0, 0, 0, 0x80000008, 0, 0}, tsc_read::cpuid_rdtsc},      // Athlon XP: no SSE2
        {{2, "GenuineIntel", 0x68A, 0, 0, 0, 0x80000004, 0, 0}, tsc_read::cpuid_rdtsc},      // Pentium III
        {{1, "AuthenticAMD", 0xF5A, 0, sse2, 0, 0x80000018, 0, 0}, tsc_read::mfence_rdtsc},  // Opteron 2xx
        {{1, "AuthenticAMD", 0x40F32, 0, sse2, 0, 0x80000018, rdtscp, 0}, tsc_read::rdtscp}, // K8 rev F
        {{1, "AuthenticAMD", 0xF5A, 0, sse2, 0, 0x80000000, rdtscp, 0}, tsc_read::mfence_rdtsc}, // no leaf 80000001h
        {{0xD, "GenuineIntel", 0x306C3, 0, sse2, 0, 0x80000008, rdtscp, invariant}, tsc_read::rdtscp},
    };
    for (const Row& r : rows) {
        Cpuid c = r.cpu;
        EXPECT_EQ(r.read, tsc_read_for(read_cpu_facts(answer, &c))) << r.cpu.vendor << " " << std::hex << r.cpu.eax1;
    }
}

TEST(DriverCpu, ACounterIsMovedOnlyWhereTheWriteIsSafeAndNeverWhereWindowsKeepsTimeByIt)
{
    struct Row {
        Cpuid cpu;
        counter_write write;
        bool fid_msr;
    } rows[] = {
        {{1, "AuthenticAMD", 0xF5A, 0, sse2, 0, 0x80000018, 0, 6}, counter_write::direct, true},          // Opteron
        {{1, "AuthenticAMD", 0xF5A, hypervisor, sse2, 0, 0x80000018, 0, 6}, counter_write::direct, false}, // in a VM
        {{1, "AuthenticAMD", 0xF5A, 0, sse2, 0, 0x80000018, 0, invariant}, counter_write::invariant, true},
        {{0xD, "AuthenticAMD", 0x100F42, 0, sse2, 0, 0x8000001B, 0, 0}, counter_write::direct, false},     // family 10h
        {{0xD, "GenuineIntel", 0x306C3, 0, sse2, tsc_adjust, 0x80000008, 0, 0}, counter_write::adjust, false},
        {{0xD, "GenuineIntel", 0x306C3, 0, sse2, tsc_adjust, 0x80000008, 0, invariant}, counter_write::invariant, false},
        {{2, "GenuineIntel", 0x68A, 0, 0, 0, 0x80000004, 0, 0}, counter_write::unsafe, false},            // P6: low 32 bits
        {{2, "GenuineIntel", 0xF29, 0, sse2, 0, 0x80000004, 0, 0}, counter_write::unsafe, false},         // P4 model 2
        {{5, "GenuineIntel", 0xF41, 0, sse2, 0, 0x80000008, 0, 0}, counter_write::direct, false},         // P4 model 4
        {{0xA, "GenuineIntel", 0x6FB, 0, sse2, 0, 0x80000008, 0, 0}, counter_write::direct, false},       // Core 2, model 0Fh
        {{0xD, "GenuineIntel", 0x10676, 0, sse2, 0, 0x80000008, 0, 0}, counter_write::direct, false},     // model 17h
        {{0xA, "GenuineIntel", 0x106E5, 0, sse2, 0, 0x80000008, 0, 0}, counter_write::unsafe, false},     // model 1Eh: not listed
        {{1, "CentaurHauls", 0x6A9, 0, sse2, 0, 0x80000001, 0, 0}, counter_write::unsafe, false},
        // The extended family counts only under base family 0Fh: a K7 and a Pentium II whose
        // (virtual) CPUID sets those bits stay family 6.
        {{1, "AuthenticAMD", 0x9006A0, 0, 0, 0, 0x80000008, 0, 0}, counter_write::unsafe, false},
        {{2, "GenuineIntel", 0x900640, 0, 0, 0, 0x80000004, 0, 0}, counter_write::unsafe, false},
        {{1, "AuthenticAMD", 0xEA0, 0, 0, 0, 0x80000008, 0, 0}, counter_write::unsafe, false},           // family 0Eh
    };
    for (const Row& r : rows) {
        Cpuid c = r.cpu;
        const cpu_facts f = read_cpu_facts(answer, &c);
        EXPECT_EQ(r.write, counter_write_for(f)) << r.cpu.vendor << " " << std::hex << r.cpu.eax1;
        EXPECT_EQ(r.fid_msr, fid_msr_readable(f)) << r.cpu.vendor << " " << std::hex << r.cpu.eax1;
    }
}

// ---- who may change the machine, and how often ----

TEST(DriverCallers, OnlyAHandleOpenedForWritingChangesTheMachine)
{
    struct Row {
        bool context;
        uint32_t desired;
        bool state;
        uint32_t granted;
        bool writes;
    } rows[] = {{true, 0xC0000000, true, 0x0012019F, true},  {true, 0x80000000, true, 0x00120089, false},
                {true, 0, true, 0, false},                   {true, 0x80, true, 0x80, false},
                {true, 0xC0000000, true, 0x00120089, false}, // the granted access counts, not the asked
                {true, 0x02000000, true, 0x00120089, false}, {true, 0x02000000, true, 0x0012019F, true},
                {true, 0xC0000000, false, 0, true},           {true, 0x40000000, false, 0, true},
                {true, 0x10000000, false, 0, true},           {true, 0x00000002, false, 0, true},
                {true, 0x80000001, false, 0, false},          {false, 0xC0000000, false, 0, false}};
    for (const Row& r : rows)
        EXPECT_EQ(r.writes, handle_may_write(r.context, r.desired, r.state, r.granted)) << std::hex << r.desired << " "
                                                                                        << r.granted;
    for (uint32_t code : {IOCTL_TSC_REQUEST, IOCTL_PCI_WRITE}) EXPECT_TRUE(request_writes(code)) << std::hex << code;
    for (uint32_t code : {IOCTL_PCI_READ, IOCTL_MSR_READ}) EXPECT_FALSE(request_writes(code)) << std::hex << code;
}

TEST(DriverCallers, NoCallerKeepsTheProcessorsMeetingMoreThanOnePercentOfTheTime)
{
    const budget_rules rules = {50000, 100};
    meeting_budgets b = {};
    // A caller's burst, then busy until the time passed pays for it at one part in a hundred.
    uint64_t now = 1000000;
    int served = 0;
    while (budget_allows(&b, rules, 7, now) && served < 10000) {
        budget_charge(&b, rules, 7, 1, 1000, now);
        ++served;
    }
    EXPECT_EQ(50, served);
    EXPECT_FALSE(budget_allows(&b, rules, 7, now + 99)) << "less than a microsecond of budget back";
    EXPECT_TRUE(budget_allows(&b, rules, 7, now + 100));
    // Each meeting costs at least the minimum, however short.
    meeting_budgets quick = {};
    served = 0;
    while (budget_allows(&quick, rules, 7, now) && served < 10000) {
        budget_charge(&quick, rules, 7, 1, 3, now);
        ++served;
    }
    EXPECT_EQ(500, served);
    // Requests let in together (threads of one process, each charged only when its meetings
    // end) each hold the minimum from the moment they are let in: at most the burst's worth.
    meeting_budgets together = {};
    served = 0;
    for (int i = 0; i < 1000; ++i) served += budget_allows(&together, rules, 7, now);
    EXPECT_EQ(500, served);
    for (int i = 0; i < served; ++i) budget_charge(&together, rules, 7, 1, 3, now);
    EXPECT_FALSE(budget_allows(&together, rules, 7, now));
    EXPECT_TRUE(budget_allows(&together, rules, 7, now + 100)) << "charged the minimum once, not again";
    // Another caller has a budget of its own; a ninth while eight are spent is busy.
    for (uint64_t caller = 1; caller <= 8; ++caller) {
        if (caller == 7) continue;
        ASSERT_TRUE(budget_allows(&b, rules, caller, now)) << caller;
        budget_charge(&b, rules, caller, 1, 60000, now);
    }
    EXPECT_FALSE(budget_allows(&b, rules, 9, now));
    // A caller whose budget is full again gives its place up.
    EXPECT_TRUE(budget_allows(&b, rules, 9, now + 100 * 60000 + 100 * 50000));
    // Eight callers well within their budgets keep nobody out: a ninth (tickmend's own on
    // beside them) takes over the place with the most left.
    meeting_budgets eight = {};
    for (uint64_t caller = 1; caller <= 8; ++caller) {
        ASSERT_TRUE(budget_allows(&eight, rules, caller, now)) << caller;
        budget_charge(&eight, rules, caller, 1, 100 * caller, now);
    }
    EXPECT_TRUE(budget_allows(&eight, rules, 9, now));
    EXPECT_TRUE(budget_allows(&eight, rules, 1, now)) << "the one it took over from takes the next";
    // ...and a place taken over brings no fresh budget: sixteen callers in turn, each sending
    // whenever it may, spend no more than eight places hold.
    meeting_budgets sixteen = {};
    uint64_t all = 0;
    for (uint64_t t = 0; t < 20000000; t += 500)
        for (uint64_t caller = 1; caller <= 16; ++caller)
            if (budget_allows(&sixteen, rules, caller, t)) {
                budget_charge(&sixteen, rules, caller, 1, 2000, t);
                all += 2000;
            }
    EXPECT_LE(all, budget_callers * (50000u + 20000000u / meeting_share + 2000u));
    // Over a long run: at most the burst plus 1% of the time.
    meeting_budgets run = {};
    uint64_t spent = 0;
    for (uint64_t t = 0; t < 100000000; t += 500)
        if (budget_allows(&run, rules, 1, t)) {
            budget_charge(&run, rules, 1, 1, 2000, t);
            spent += 2000;
        }
    EXPECT_LE(spent, 50000u + 100000000u / meeting_share + 2000u);
    EXPECT_GE(spent, 100000000u / meeting_share);
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

} // namespace
