// Two processors bringing one's time-stamp counter into step with the other's: they meet
// (each waits a bounded time for the other), then the target asks the reference for its
// counter round after round, estimates the offset from the midpoint of each round trip,
// keeps the round with the shortest trip, moves its counter by that offset and measures
// again. Plain C++ without kernel headers: the driver runs it at raised IRQL, the tests on
// the simulated machine's counters in two threads.
#pragma once
#include <stdint.h>

namespace tkd {

// The counter of the processor a side runs on, and how it is moved there.
struct counter_ops {
    uint64_t (*read)(void* context);            // ordered after every earlier load
    void (*shift)(void* context, int64_t by);   // target only
    void* context;
};

// Shared by the two sides of one meeting; zeroed (exchange_reset) before both start.
struct exchange {
    volatile int32_t state; // arrival bits and the closed bit
    volatile int32_t ask;   // the round the target asks for (0: none yet)
    volatile int32_t told;  // the round the reference has answered
    volatile int32_t over;  // the target is finished (1) or gave up (2): the reference leaves
    volatile uint64_t answer; // plain memory, ordered by told (no 64-bit atomics: no FPU)
};

// Budgets in counter cycles, each bounding one wait.
struct exchange_budget {
    uint64_t arrive; // for the other side to come
    uint64_t answer; // for one answer, or for the next question
};

// What the target is to do.
struct sync_plan {
    int rounds;             // exchanges per measurement (the shortest trip counts)
    int corrections;        // at most this many moves of the counter
    int64_t tolerance;      // cycles: within it the counters count as in step
    bool write;             // false: measure only (apart: ret_invariant_not_written)
    bool leave_in_step;     // in step at the first measurement: report ret_invariant_in_step
};

// One measurement: the reference's counter minus the target's at the same moment, and half
// the round trip it was taken from.
struct offset_estimate {
    int64_t offset;
    uint64_t uncertainty;
};

struct sync_result {
    int32_t ret_code;          // tkd::ret_code
    offset_estimate before;    // the first measurement
    offset_estimate after;     // the last one
    int moves;                 // times the counter was moved
};

void exchange_reset(exchange* x);

// The estimate from one round: the target read t0, the reference answered r, the target
// read t1. The reference read r somewhere between t0 and t1: the midpoint is the best guess.
offset_estimate estimate_offset(uint64_t t0, uint64_t r, uint64_t t1);

// What a measurement means: in step, to be corrected, or too coarse to tell.
enum class drift_action { in_step, correct, unmeasurable };
drift_action decide(const offset_estimate& e, int64_t tolerance);

// Counts cycles spent waiting from successive counter reads, so that a counter moved while
// waiting neither ends the wait at once nor stretches it without end.
struct wait_clock {
    uint64_t last;
    uint64_t spent;
};
void wait_start(wait_clock* c, uint64_t now);
bool wait_over(wait_clock* c, uint64_t now, uint64_t budget);

// The two sides. Each first waits for the other (false from meet when it did not come,
// and then a late arrival leaves at once).
constexpr int32_t side_reference = 1, side_target = 2;
bool meet(exchange* x, int32_t me, const counter_ops& counter, uint64_t budget);
// The reference answers until the target is over or a question stops coming.
void answer_target(exchange* x, const counter_ops& counter, const exchange_budget& budget);
// The target, once met: measures, moves its counter as the plan says, measures again.
sync_result sync_target(exchange* x, const counter_ops& counter, const exchange_budget& budget,
                        const sync_plan& plan);

} // namespace tkd
