// The check that follows every on sequence that synchronized the counters: each processor
// synchronized is measured against the first of them, and the offsets judged.
#include "daemon/daemon_state.h"
#include "common/scoped_lock.h"
#include "platform/binding.h"
#include "platform/seam.h"
#include "skew/skew.h"
#include "smp_enum/smp_enum.h"

namespace daemon_state {

namespace {

// The TSC rate is taken over the measurement itself, at least this long: a rate measured
// apart would cost skew_rate_interval_ms of sleep after every switch.
constexpr LONGLONG rate_interval_divisor = 200; // 5 ms

LONGLONG performance_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

bool one_bit(DWORD_PTR mask) { return mask && !(mask & (mask - 1)); }

// A processor whose round trips were all caught by a busy moment (another program starting,
// the switch's own work finishing) is measured again, and the tightest of its readings
// counts: one loose reading would otherwise decide the whole verdict's figure. Loose is
// beyond loose_factor times the tightest reading of the pass, or beyond the tolerance itself
// (a reading that cannot tell counters in step from counters a tolerance apart). The loose
// ones are measured again in one pass with one answering thread, at most loose_passes times,
// and only while such a pass still fits in sync_check_ms.
constexpr LONGLONG loose_factor = 4;
constexpr int loose_passes = 2;

int processors_in(DWORD_PTR mask)
{
    int n = 0;
    for (; mask; mask &= mask - 1) ++n;
    return n;
}

void measure_loose_again(DWORD_PTR synced, int reference, skew_pass& pass, LONGLONG tolerance_cycles,
                         LONGLONG started, LONGLONG frequency)
{
    for (int again = 0; again < loose_passes; ++again) {
        LONGLONG tightest = -1;
        for (int bit = 0; bit < MAX_CPUS; ++bit) {
            const skew_reading& r = pass.readings[bit];
            if (bit == reference || !(synced & (static_cast<DWORD_PTR>(1) << bit)) ||
                r.status != skew_status::measured)
                continue;
            if (tightest < 0 || r.uncertainty < tightest) tightest = r.uncertainty;
        }
        DWORD_PTR loose = 0;
        for (int bit = 0; bit < MAX_CPUS && tightest >= 0; ++bit) {
            const skew_reading& r = pass.readings[bit];
            if (bit != reference && (synced & (static_cast<DWORD_PTR>(1) << bit)) &&
                r.status == skew_status::measured &&
                (r.uncertainty > loose_factor * (tightest + 1) || (tolerance_cycles > 0 && r.uncertainty > tolerance_cycles)))
                loose |= static_cast<DWORD_PTR>(1) << bit;
        }
        const LONGLONG spent_us = (performance_counter() - started) * 1000000 / frequency;
        if (!loose || spent_us + processors_in(loose) * LONGLONG{sync_check_budget_us} > sync_check_ms * 1000LL) return;
        skew_pass second;
        if (!skew_measure(loose | (static_cast<DWORD_PTR>(1) << reference), reference, sync_check_rounds, &second,
                          sync_check_budget_us))
            return;
        for (int bit = 0; bit < MAX_CPUS; ++bit) {
            skew_reading& r = pass.readings[bit];
            const skew_reading& next = second.readings[bit];
            if ((loose & (static_cast<DWORD_PTR>(1) << bit)) && next.status == skew_status::measured &&
                next.uncertainty < r.uncertainty)
                r = next;
        }
    }
}

} // namespace

void check_sync(DWORD_PTR synced, sync_check& check)
{
    check = sync_check{};
    check.cpu = -1;
    if (!synced || one_bit(synced)) {
        check.why_not = sync_unchecked::one_processor;
        return;
    }
    int reference = 0;
    while (!(synced & (static_cast<DWORD_PTR>(1) << reference))) ++reference;

    // The rate is read on the reference, before and after the pass; the sync is over by now,
    // so the reference's counter does not jump in between.
    thread_binding bound(reference);
    if (!bound.bound()) {
        check.why_not = sync_unchecked::reference_unbound;
        return;
    }
    const ProcessorOps& cpus = platform_processors();
    const LONGLONG q0 = performance_counter();
    const ULONGLONG c0 = cpus.read_tsc();
    skew_pass pass;
    if (!skew_measure(synced, reference, sync_check_rounds, &pass, sync_check_budget_us)) {
        check.why_not = sync_unchecked::reference_unbound;
        return;
    }
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        check.why_not = sync_unchecked::no_rate;
        return;
    }
    // The tolerance in cycles at the rate seen so far: good enough to tell a loose reading.
    const LONGLONG q_pass = performance_counter();
    const ULONGLONG c_pass = cpus.read_tsc();
    const LONGLONG tolerance_cycles =
        q_pass > q0 && c_pass > c0 ? static_cast<LONGLONG>(sync_tolerance_ns * 1e-9 * static_cast<double>(c_pass - c0) *
                                                           static_cast<double>(frequency.QuadPart) /
                                                           static_cast<double>(q_pass - q0))
                                   : 0;
    measure_loose_again(synced, reference, pass, tolerance_cycles, q0, frequency.QuadPart);
    LONGLONG q1 = performance_counter();
    while (q1 - q0 < frequency.QuadPart / rate_interval_divisor) {
        Sleep(1);
        q1 = performance_counter();
    }
    const ULONGLONG c1 = cpus.read_tsc();
    if (c1 <= c0) {
        check.why_not = sync_unchecked::no_rate;
        return;
    }
    const double rate =
        static_cast<double>(c1 - c0) * static_cast<double>(frequency.QuadPart) / static_cast<double>(q1 - q0);

    // The verdict, and the figure that holds for every processor measured: the largest
    // |offset| + uncertainty, whichever processor it is on (a loose one as much as one
    // apart). Out of step, the processor named is the one furthest beyond its uncertainty.
    const skew_verdict verdict = skew_judge(pass, rate, sync_tolerance_ns);
    if (verdict.widest < 0) {
        check.why_not = sync_unchecked::no_answer;
        return;
    }
    for (int bit = 0; bit < MAX_CPUS; ++bit)
        if ((synced & (static_cast<DWORD_PTR>(1) << bit)) && pass.readings[bit].status == skew_status::measured)
            check.measured |= static_cast<DWORD_PTR>(1) << bit;
    check.cpu = verdict.in_step ? verdict.widest : verdict.worst;
    const skew_reading& named = pass.readings[check.cpu];
    check.ran = true;
    check.in_step = verdict.in_step;
    check.offset_ns = skew_ns(named.offset < 0 ? -named.offset : named.offset, rate);
    check.uncertainty_ns = skew_ns(named.uncertainty, rate);
    check.bound_ns = verdict.widest_ns;
}

} // namespace daemon_state

int Qel_DaemonMeasureCounters(sync_check_facts* facts, DWORD bound_ms)
{
    using namespace daemon_state;
    if (!game_mode_lock) return 0;
    DWORD_PTR present = 0;
    sync_check check;
    {
        // The lock keeps a switch from binding the processors meanwhile.
        tk::scoped_lock held(game_mode_lock.get(), bound_ms);
        if (!held.held()) return 0;
        for (int i = 0; i < MAX_CPUS; ++i)
            if (cpu_present(i)) present |= static_cast<DWORD_PTR>(1) << i;
        check_sync(present, check);
    }

    *facts = sync_check_facts{};
    facts->checked = check.ran;
    facts->why_not = check.ran ? "" : sync_unchecked_words(check.why_not);
    facts->in_step = check.in_step;
    if (check.ran) {
        facts->cpu = check.cpu;
        facts->node = cpu_node[check.cpu];
        facts->core = cpu_core[check.cpu];
    }
    facts->offset_ns = check.offset_ns;
    facts->uncertainty_ns = check.uncertainty_ns;
    facts->bound_ns = check.bound_ns;
    facts->unmeasured = present & ~check.measured;
    return 1;
}
