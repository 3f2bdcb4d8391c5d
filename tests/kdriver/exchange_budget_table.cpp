// The exchange's budgets as tables, on one thread: a scripted reference answers each question
// as the target's counter is read, so every trip has the length a row gives it.
#include "exchange.h"
#include "protocol/tsc_protocol.h"

#include <gtest/gtest.h>

using namespace tkd;

namespace {

// ---- the wait's clock ----

// A counter that stands still: each look costs one cycle, so a wait of budget cycles ends at
// look budget + 1, never before and never later.
TEST(DriverWaitClock, ACounterThatStandsStillEndsTheWaitAtItsBudgetPlusOneLooks)
{
    for (uint64_t budget : {0ull, 1ull, 3ull, 1000ull}) {
        wait_clock clock;
        wait_start(&clock, 5000);
        for (uint64_t look = 1; look <= budget; ++look)
            ASSERT_FALSE(wait_over(&clock, 5000, budget)) << "budget " << budget << ", look " << look;
        EXPECT_TRUE(wait_over(&clock, 5000, budget)) << "budget " << budget << ", look " << budget + 1;
    }
}

TEST(DriverWaitClock, CyclesCountAsTheyPassAndAJumpOrAStepBackCountsAsOne)
{
    struct Row {
        const char* what;
        uint64_t steps[4];
        int count;
        uint64_t budget;
        bool over; // after the last step
    } rows[] = {
        {"the budget spent exactly", {4, 6}, 2, 10, false},
        {"one cycle past it", {4, 7}, 2, 10, true},
        {"a write far ahead: one cycle", {10}, 1, 10, false},
        {"a write just under the budget: counted", {9, 2}, 2, 10, true},
        {"a step back: one cycle", {static_cast<uint64_t>(-500)}, 1, 10, false},
    };
    for (const Row& r : rows) {
        wait_clock clock;
        uint64_t now = 1000000;
        wait_start(&clock, now);
        bool over = false;
        for (int i = 0; i < r.count; ++i) over = wait_over(&clock, now += r.steps[i], r.budget);
        EXPECT_EQ(r.over, over) << r.what;
    }
}

// ---- the target against a scripted reference ----

// The target's counter moves `step` cycles a read (step_after from measurement `slow_for` + 1
// on); a question pending is answered at the read that finds it, with the reference's counter
// `offset` cycles ahead. Past `still_reads` reads the counter stands still and nothing is
// answered: a reference gone, and a counter that stands.
struct Scripted {
    exchange* x;
    uint64_t target = 1000000;
    int64_t offset = 0;
    uint64_t step = 10, step_after = 10;
    int slow_for = 0;
    int still_after = -1;
    int reads = 0;
    int shifts_not_taken = 0;
};

uint64_t read_scripted(void* p)
{
    Scripted& s = *static_cast<Scripted*>(p);
    ++s.reads;
    // A wait that never ended moves the counter again after a million looks: a fault shows as
    // a wrong count of reads, not as a test that hangs.
    if (s.still_after >= 0 && s.reads > s.still_after && s.reads < s.still_after + 1000000) return s.target;
    s.target += s.x->ask > s.slow_for ? s.step_after : s.step;
    if (s.still_after < 0 && s.x->ask != s.x->told) {
        s.x->answer = s.target + static_cast<uint64_t>(s.offset);
        s.x->told = s.x->ask;
    }
    return s.target;
}

void shift_scripted(void* p, int64_t by) { static_cast<Scripted*>(p)->target += static_cast<uint64_t>(by); }

constexpr exchange_budget scripted_budget = {1000, 1000};
constexpr int64_t scripted_tolerance = 100;

TEST(DriverExchangeBudget, TripsTooLongToTellAreMeasuredAgainAtMostCorrectionsTimes)
{
    struct Row {
        int corrections;
        int slow_for; // measurements whose trips are too long (a step of 150: ± 150 > 100)
        int measurements;
        int32_t ret_code;
    } rows[] = {
        {0, 1, 1, ret_out_of_tolerance}, // no second look
        {1, 1, 2, ret_done},             // the second look is measurable, and in step
        {2, 2, 3, ret_done},             // the limit: the last look allowed tells
        {2, 3, 3, ret_out_of_tolerance}, // limit + 1: not looked at a fourth time
        {3, 100, 4, ret_out_of_tolerance},
    };
    for (const Row& r : rows) {
        exchange x;
        exchange_reset(&x);
        Scripted s;
        s.x = &x;
        s.step = 150;
        s.step_after = 10;
        s.slow_for = r.slow_for;
        const sync_plan plan = {1, r.corrections, scripted_tolerance, true, false};
        const sync_result result = sync_target(&x, counter_ops{read_scripted, shift_scripted, &s}, scripted_budget, plan);
        EXPECT_EQ(r.measurements, x.ask) << r.corrections << " corrections, " << r.slow_for << " too long";
        EXPECT_EQ(r.ret_code, result.ret_code) << r.corrections << " corrections, " << r.slow_for << " too long";
        EXPECT_EQ(0, result.moves) << "nothing is moved on a measurement that cannot tell";
    }
}

// A move the counter does not take (the write refused by the hardware): each is measured
// again, and the target gives up after `corrections` moves.
void shift_not_taken(void* p, int64_t) { ++static_cast<Scripted*>(p)->shifts_not_taken; }

TEST(DriverExchangeBudget, TheCounterIsMovedAtMostCorrectionsTimes)
{
    for (int corrections : {0, 1, 2, 5}) {
        exchange x;
        exchange_reset(&x);
        Scripted s;
        s.x = &x;
        s.offset = 5000;
        const sync_plan plan = {1, corrections, scripted_tolerance, true, false};
        const sync_result result = sync_target(&x, counter_ops{read_scripted, shift_not_taken, &s}, scripted_budget, plan);
        EXPECT_EQ(corrections, result.moves);
        EXPECT_EQ(corrections, s.shifts_not_taken);
        EXPECT_EQ(corrections + 1, x.ask) << "one measurement, then one after each move";
        EXPECT_EQ(ret_out_of_tolerance, result.ret_code);
        EXPECT_EQ(5000, result.after.offset);
    }
}

TEST(DriverExchangeBudget, AReferenceThatStopsAnsweringOnACounterThatStandsEndsTheSyncWithinItsBudget)
{
    for (uint64_t budget : {0ull, 5ull, 200ull}) {
        exchange x;
        exchange_reset(&x);
        Scripted s;
        s.x = &x;
        s.still_after = 0;
        const sync_plan plan = {4, 3, scripted_tolerance, true, false};
        const sync_result result =
            sync_target(&x, counter_ops{read_scripted, shift_scripted, &s}, exchange_budget{budget, budget}, plan);
        EXPECT_EQ(ret_not_arrived, result.ret_code);
        // The question's read, then budget + 1 looks of the wait.
        EXPECT_EQ(static_cast<int>(budget) + 2, s.reads) << "budget " << budget;
        EXPECT_EQ(2, x.over) << "the reference is told the target gave up";
    }
}

} // namespace
