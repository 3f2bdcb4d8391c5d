// What an on sequence achieved: recorded where tickmend-ctl reads it (the last-on record),
// and what was left out told through the tray icon's notices.
#include "daemon/daemon_state.h"
#include "notice/notice.h"
#include "smp_enum/smp_enum.h"

#include <math.h>
#include <string.h>

namespace daemon_state {
namespace {

// Nanoseconds as the record keeps them: whole, and 4.29 s at most; a bound rounded up.
DWORD whole_ns(double ns) { return ns < 4294967295.0 ? static_cast<DWORD>(ns + 0.5) : 0xFFFFFFFF; }
DWORD bound_ns(double ns) { return ns < 4294967295.0 ? static_cast<DWORD>(ceil(ns)) : 0xFFFFFFFF; }

int bits_in(DWORD_PTR mask)
{
    int n = 0;
    for (; mask; mask &= mask - 1) ++n;
    return n;
}

} // namespace

// Records what the on sequence achieved where tickmend-ctl reads it, and tells the user
// through the tray icon what was left out.
void report(const on_outcome& outcome)
{
    last_on_record record;
    memset(&record, 0, sizeof record);
    lstrcpynA(record.plan, plan_outcome_words(outcome.plan), sizeof record.plan);
    lstrcpynA(record.northbridge, northbridge_outcome_words(outcome.northbridge), sizeof record.northbridge);
    driver_outcome_words(outcome.driver, outcome.cores_unbound, outcome.synced, outcome.unbound,
                         outcome.reply.status, outcome.reply.ret_code, record.driver, sizeof record.driver);
    const sync_check& check = outcome.check;
    // Every processor that was to be synchronized and that the check did not measure is
    // named: the figure holds for the others only.
    const DWORD_PTR unmeasured = check.ran ? (outcome.synced | outcome.unbound) & ~check.measured : 0;
    record.checked = check.ran;
    if (check.ran) {
        record.in_step = check.in_step;
        record.cpu = static_cast<DWORD>(check.cpu);
        record.node = cpu_node[check.cpu];
        record.core = cpu_core[check.cpu];
        record.offset_ns = whole_ns(check.offset_ns);
        record.uncertainty_ns = whole_ns(check.uncertainty_ns);
        record.bound_ns = bound_ns(check.bound_ns);
        record.unmeasured = static_cast<DWORD>(unmeasured);
    } else {
        lstrcpynA(record.why_not, sync_unchecked_words(check.why_not), sizeof record.why_not);
    }
    last_on_write(&record);

    char detail[64];
    driver_outcome_detail(outcome.driver, outcome.reply.status, outcome.reply.ret_code, detail, sizeof detail);
    notice_set(NOTICE_PLAN_UNKNOWN, outcome.plan == plan_outcome::unknown);
    // A plan that could not be given back was told in its balloon; a new on-period owes a new
    // one. Before there is a window (the start's own on), it has not been told yet: it stays.
    if (notice_told()) notice_clear(NOTICE_PLAN_NOT_GIVEN_BACK);
    notice_set(NOTICE_PLAN_NOT_SWITCHED, outcome.plan == plan_outcome::not_switched);
    notice_set(NOTICE_NO_RECORD, outcome.plan == plan_outcome::not_recorded ||
                                     outcome.northbridge == northbridge_outcome::not_recorded);
    notice_set(NOTICE_DRIVER_ABSENT, outcome.driver == driver_outcome::absent);
    notice_set(NOTICE_DRIVER_REFUSED,
               outcome.driver == driver_outcome::refused || outcome.driver == driver_outcome::undelivered, detail);

    // Counters apart after a sync the driver accepted in full: the driver's word did not
    // hold. A refused sync has its own notice already.
    char line[64] = "";
    if (check.ran)
        sync_tip_line(check.in_step, check.in_step ? check.bound_ns : check.offset_ns, check.uncertainty_ns,
                      bits_in(unmeasured), line, sizeof line);
    notice_set_sync_line(line);
    const bool apart = check.ran && !check.in_step && outcome.driver == driver_outcome::synchronized;
    if (apart) sync_apart_detail(check.cpu, cpu_node[check.cpu], cpu_core[check.cpu], check.offset_ns, detail,
                                 sizeof detail);
    notice_set(NOTICE_SYNC_APART, apart, apart ? detail : nullptr);
}

} // namespace daemon_state
