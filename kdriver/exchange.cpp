#include "exchange.h"
#include "protocol/tsc_protocol.h"

namespace tkd {

namespace {

constexpr int32_t closed = 4;

inline void pause() { __builtin_ia32_pause(); }

int32_t load(volatile int32_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
void store(volatile int32_t* p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
bool swap_if(volatile int32_t* p, int32_t expected, int32_t wanted)
{
    return __atomic_compare_exchange_n(p, &expected, wanted, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

int64_t magnitude(int64_t v) { return v < 0 ? -v : v; }

// One measurement of plan.rounds rounds; false when the reference stopped answering.
bool measure(exchange* x, const counter_ops& counter, const exchange_budget& budget, int rounds,
             offset_estimate* best)
{
    bool any = false;
    for (int i = 0; i < rounds; ++i) {
        const int32_t round = load(&x->ask) + 1;
        const uint64_t t0 = counter.read(counter.context);
        store(&x->ask, round);
        wait_clock clock;
        wait_start(&clock, t0);
        for (;;) {
            if (load(&x->told) == round) break;
            if (wait_over(&clock, counter.read(counter.context), budget.answer)) return false;
            pause();
        }
        const uint64_t r = __atomic_load_n(&x->answer, __ATOMIC_ACQUIRE);
        const uint64_t t1 = counter.read(counter.context);
        const offset_estimate e = estimate_offset(t0, r, t1);
        if (!any || e.uncertainty < best->uncertainty) *best = e;
        any = true;
    }
    return any;
}

} // namespace

void exchange_reset(exchange* x)
{
    x->state = 0;
    x->ask = 0;
    x->told = 0;
    x->over = 0;
    x->answer = 0;
}

offset_estimate estimate_offset(uint64_t t0, uint64_t r, uint64_t t1)
{
    offset_estimate e;
    const uint64_t trip = t1 - t0;
    e.offset = static_cast<int64_t>(r - (t0 + trip / 2));
    e.uncertainty = trip / 2 + (trip & 1);
    return e;
}

drift_action decide(const offset_estimate& e, int64_t tolerance)
{
    if (static_cast<int64_t>(e.uncertainty) > tolerance) return drift_action::unmeasurable;
    return magnitude(e.offset) <= tolerance ? drift_action::in_step : drift_action::correct;
}

void wait_start(wait_clock* c, uint64_t now)
{
    c->last = now;
    c->spent = 0;
}

bool wait_over(wait_clock* c, uint64_t now, uint64_t budget)
{
    const uint64_t step = now - c->last;
    // A counter moved backwards or far ahead (a write) counts as one cycle, not as the jump.
    c->spent += step < budget ? step : 1;
    c->last = now;
    // Every check costs at least a cycle, so a wait ends even when the counter stands still.
    if (step == 0) ++c->spent;
    return c->spent > budget;
}

bool meet(exchange* x, int32_t me, const counter_ops& counter, uint64_t budget)
{
    const int32_t other = me == side_reference ? side_target : side_reference;
    for (;;) {
        const int32_t s = load(&x->state);
        if (s & closed) return false; // the other side gave up on us: leave at once
        if (swap_if(&x->state, s, s | me)) break;
    }
    wait_clock clock;
    wait_start(&clock, counter.read(counter.context));
    for (;;) {
        const int32_t s = load(&x->state);
        if (s & other) return true;
        if (wait_over(&clock, counter.read(counter.context), budget)) {
            // Closed only if the other has still not come; if it came meanwhile, we meet.
            if (swap_if(&x->state, s, s | closed)) return false;
            continue;
        }
        pause();
    }
}

void answer_target(exchange* x, const counter_ops& counter, const exchange_budget& budget)
{
    int32_t answered = 0;
    wait_clock clock;
    wait_start(&clock, counter.read(counter.context));
    for (;;) {
        if (load(&x->over)) return;
        const int32_t round = load(&x->ask);
        if (round != answered) {
            const uint64_t r = counter.read(counter.context);
            __atomic_store_n(&x->answer, r, __ATOMIC_RELAXED);
            store(&x->told, round);
            answered = round;
            wait_start(&clock, r);
            continue;
        }
        if (wait_over(&clock, counter.read(counter.context), budget.answer)) {
            store(&x->over, 2);
            return;
        }
        pause();
    }
}

sync_result sync_target(exchange* x, const counter_ops& counter, const exchange_budget& budget,
                        const sync_plan& plan)
{
    sync_result result = {};
    offset_estimate e;
    if (!measure(x, counter, budget, plan.rounds, &e)) {
        store(&x->over, 2);
        result.ret_code = ret_not_arrived;
        return result;
    }
    drift_action action = decide(e, plan.tolerance);
    // Trips too long to tell (an interrupt on the way, a busy host): measured again, a
    // bounded number of times, before anything is decided.
    for (int again = 0; action == drift_action::unmeasurable && again < plan.corrections; ++again) {
        if (!measure(x, counter, budget, plan.rounds, &e)) {
            store(&x->over, 2);
            result.ret_code = ret_not_arrived;
            return result;
        }
        action = decide(e, plan.tolerance);
    }
    result.before = result.after = e;
    if (action == drift_action::in_step && plan.leave_in_step) {
        store(&x->over, 1);
        result.ret_code = ret_invariant_in_step;
        return result;
    }
    while (plan.write && action == drift_action::correct && result.moves < plan.corrections) {
        counter.shift(counter.context, e.offset);
        ++result.moves;
        if (!measure(x, counter, budget, plan.rounds, &e)) {
            store(&x->over, 2);
            result.after = e;
            result.ret_code = ret_not_arrived;
            return result;
        }
        result.after = e;
        action = decide(e, plan.tolerance);
    }
    store(&x->over, 1);
    result.ret_code = action == drift_action::in_step || !plan.write ? ret_done : ret_out_of_tolerance;
    return result;
}

} // namespace tkd
