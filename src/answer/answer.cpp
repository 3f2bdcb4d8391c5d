// The PC's answer: the decision from the facts, the facts of this PC, and the table of words.
#include "answer/answer.h"
#include "answer/drift_rule.h"
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

} // namespace

pc_answer pc_answer_of(const pc_facts& facts)
{
    if (facts.processors < 2) return pc_answer::single_processor;
    // A driver that refuses only the northbridge of a machine it was not made for still keeps
    // the counters (sync and drift): it answers.
    const bool answers = facts.driver == driver_state::found_bit_set || facts.driver == driver_state::found_bit_clear ||
                         facts.driver == driver_state::not_made_for;
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
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value))
        // tickmend.sys says "not supported" of a northbridge it was not made for.
        return GetLastError() == ERROR_NOT_SUPPORTED ? driver_state::not_made_for : driver_state::refusing;
    return value & NB_BIT ? driver_state::found_bit_set : driver_state::found_bit_clear;
}

bool pc_counters_can_drift()
{
    DWORD regs[4] = {};
    platform_processors().cpuid(0x80000007, regs);
    const DWORD edx = regs[3];
    ULONGLONG fid_status = 0;
    const bool fid_read = ReadMSR64(MSR_FID_STATUS, &fid_status) != 0; // read in every case, as the driver expects
    DWORD nb = 0;
    const bool nb_read = !(edx & EDX_INVARIANT_TSC) && ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &nb);
    return drift_possible(edx, fid_status, nb_read, nb, fid_read);
}

bool drift_frequency_varies(DWORD edx, ULONGLONG fid_status, bool fid_read)
{
    if (!(edx & (EDX_FID_CONTROL | EDX_VID_CONTROL))) return false;
    if (!fid_read) return true;
    const DWORD start_fid = static_cast<DWORD>(fid_status >> 8) & 0x3F;
    const DWORD max_fid = static_cast<DWORD>(fid_status >> 16) & 0x3F;
    return start_fid != max_fid;
}

// Without an invariant TSC the counter is stable only while the northbridge bit is clear.
// A read that failed tells us nothing, so the counter then counts as not stable and the
// compensation stays on: a needless compensation costs little, a missing one lets the
// counters drift apart.
bool drift_possible(DWORD edx, ULONGLONG fid_status, bool nb_read, DWORD nb, bool fid_read)
{
    const bool stable = (edx & EDX_INVARIANT_TSC) || (nb_read && (nb & NB_BIT) == 0);
    return !stable || drift_frequency_varies(edx, fid_status, fid_read);
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
