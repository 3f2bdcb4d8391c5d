// The PC's answer: the decision from the facts, the facts of this PC, and the table of words.
#include "answer/answer.h"
#include "driver/driver.h"
#include "platform/seam.h"
#include "smp_enum/smp_enum.h"

namespace {

struct answer_row {
    pc_answer answer;
    const char* code;
    const char* words;
    const char* brief;
};

const answer_row rows[] = {
#include "answer/answer_words.inc"
};

const answer_row& row_of(pc_answer answer)
{
    for (const answer_row& row : rows)
        if (row.answer == answer) return row;
    return rows[0];
}

constexpr DWORD EDX_FID_CONTROL = 1u << 1;
constexpr DWORD EDX_VID_CONTROL = 1u << 2;
constexpr DWORD EDX_INVARIANT_TSC = 1u << 8;

// The frequency varies when the processor can change it and the start and maximum
// frequency IDs differ.
bool frequency_varies(DWORD edx, ULONGLONG fid_status)
{
    if (!(edx & (EDX_FID_CONTROL | EDX_VID_CONTROL))) return false;
    DWORD start_fid = static_cast<DWORD>(fid_status >> 8) & 0x3F;
    DWORD max_fid = static_cast<DWORD>(fid_status >> 16) & 0x3F;
    return start_fid != max_fid;
}

// Without an invariant TSC the counter is stable only while the northbridge bit is clear.
// A read that fails tells us nothing, so the counter then counts as not stable: a needless
// compensation costs little, a missing one lets the counters drift apart.
bool counter_stable(DWORD edx)
{
    if (edx & EDX_INVARIANT_TSC) return true;
    DWORD nb = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &nb)) return false;
    return (nb & NB_BIT) == 0;
}

} // namespace

pc_answer pc_answer_of(const pc_facts& facts)
{
    if (facts.processors < 2) return pc_answer::single_processor;
    const bool answers = facts.driver == driver_state::found_bit_set || facts.driver == driver_state::found_bit_clear;
    if (facts.nodes <= 1) {
        if (!facts.can_drift) return pc_answer::one_node_steady;
        if (answers) return pc_answer::one_node_held;
        return facts.driver == driver_state::refusing ? pc_answer::one_node_driver_refusing
                                                      : pc_answer::one_node_needs_driver;
    }
    if (answers) return pc_answer::nodes_synced;
    return facts.driver == driver_state::refusing ? pc_answer::nodes_driver_refusing : pc_answer::nodes_needs_driver;
}

driver_state pc_driver_state()
{
    if (!unique_device(open_tsc_device())) return driver_state::absent;
    DWORD value = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) return driver_state::refusing;
    return value & NB_BIT ? driver_state::found_bit_set : driver_state::found_bit_clear;
}

bool pc_counters_can_drift()
{
    DWORD regs[4] = {};
    platform_processors().cpuid(0x80000007, regs);
    const DWORD edx = regs[3];
    ULONGLONG fid_status = 0;
    ReadMSR64(MSR_FID_STATUS, &fid_status); // read in every case, as the driver expects
    return !(counter_stable(edx) && !frequency_varies(edx, fid_status));
}

pc_facts pc_facts_now()
{
    pc_facts facts;
    facts.processors = cpu_count;
    facts.nodes = node_count;
    facts.driver = pc_driver_state();
    // Only one node's answer turns on drift: several nodes are not asked (no MSR read).
    facts.can_drift = cpu_count >= 2 && node_count <= 1 && pc_counters_can_drift();
    return facts;
}

const char* pc_answer_code(pc_answer answer) { return row_of(answer).code; }
const char* pc_answer_words(pc_answer answer) { return row_of(answer).words; }
const char* pc_answer_brief(pc_answer answer) { return row_of(answer).brief; }

bool pc_answer_has_work(pc_answer answer)
{
    return answer != pc_answer::single_processor && answer != pc_answer::one_node_steady;
}

bool pc_answer_runs_at_logon(pc_answer answer)
{
    return answer == pc_answer::one_node_held || answer == pc_answer::nodes_synced ||
           answer == pc_answer::nodes_needs_driver || answer == pc_answer::nodes_driver_refusing;
}

bool pc_answer_wants_driver(pc_answer answer)
{
    switch (answer) {
    case pc_answer::one_node_needs_driver:
    case pc_answer::one_node_driver_refusing:
    case pc_answer::nodes_needs_driver:
    case pc_answer::nodes_driver_refusing: return true;
    default: return false;
    }
}
