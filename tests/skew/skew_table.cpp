// The skew judge's rules as tables: the offset and uncertainty of one round trip (which way
// each rounds), the warp check's count of reads that went back, and the verdict at its
// tolerance.
#include "skew/judge.h"
#include "skew/warp.h"

#include <gtest/gtest.h>

namespace {

TEST(SkewTable, ARoundTripsUncertaintyRoundsUpAndItsOffsetIsTakenAtTheMiddle)
{
    struct Row {
        ULONGLONG t0, t1, t2;
        LONGLONG offset, uncertainty;
    } rows[] = {
        {1000, 1100, 1200, 0, 100},       // even trip: exactly half
        {1000, 1100, 1201, 0, 101},       // odd trip: half rounded up, the middle down
        {1000, 1101, 1201, 1, 101},
        {1000, 1000, 1001, 0, 1},         // a trip of one cycle is ± 1, never ± 0
        {1000, 1000, 1000, 0, 0},
        {1000, 5000, 1400, 3800, 200},    // the other processor ahead
        {5000, 1000, 5100, -4050, 50},    // behind
        {5000, 1000, 5101, -4050, 51},
        {0xFFFFFFFFFFFFFF00ull, 0x10, 0x40, 0x70, 0xA0}, // the counter wrapped during the trip
    };
    for (const Row& r : rows) {
        LONGLONG offset = 7, uncertainty = 7;
        skew_midpoint(r.t0, r.t1, r.t2, &offset, &uncertainty);
        EXPECT_EQ(r.offset, offset) << r.t0 << " " << r.t1 << " " << r.t2;
        EXPECT_EQ(r.uncertainty, uncertainty) << r.t0 << " " << r.t1 << " " << r.t2;
    }
}

// Reads as the check's threads make them, one after the other under its lock.
struct Read {
    int bit;
    ULONGLONG tsc;
};

TEST(SkewTable, OnlyAReadBelowTheLastStoredIsAWarpCountedForItsPair)
{
    struct Row {
        const char* what;
        Read reads[5];
        int count;
        ULONGLONG warps;
        LONGLONG largest;
        int from, to;
    } rows[] = {
        {"rising", {{0, 100}, {1, 200}, {0, 300}}, 3, 0, 0, -1, -1},
        {"an equal read is no warp", {{0, 100}, {1, 100}, {0, 100}}, 3, 0, 0, -1, -1},
        {"the first read compares with nothing", {{1, 5}}, 1, 0, 0, -1, -1},
        {"one cycle back", {{0, 100}, {1, 99}}, 2, 1, 1, 0, 1},
        {"two back, the larger kept", {{0, 100}, {1, 90}, {0, 95}, {1, 20}}, 4, 2, 75, 0, 1},
        {"back on the same processor", {{2, 500}, {2, 400}}, 2, 1, 100, 2, 2},
    };
    for (const Row& r : rows) {
        static skew_warp_result result;
        result = skew_warp_result();
        result.from = result.to = -1;
        ULONGLONG last = 0;
        int last_bit = -1;
        for (int i = 0; i < r.count; ++i) skew_warp_count(&result, &last, &last_bit, r.reads[i].bit, r.reads[i].tsc);
        EXPECT_EQ(static_cast<ULONGLONG>(r.count), result.reads) << r.what;
        EXPECT_EQ(r.warps, result.warps) << r.what;
        EXPECT_EQ(r.largest, result.largest) << r.what;
        EXPECT_EQ(r.from, result.from) << r.what;
        EXPECT_EQ(r.to, result.to) << r.what;
        EXPECT_EQ(r.reads[r.count - 1].tsc, last) << r.what << ": the last read is the one stored";
        EXPECT_EQ(r.reads[r.count - 1].bit, last_bit) << r.what;
    }
}

TEST(SkewTable, AWarpIsCountedForThePairItWasSeenOn)
{
    static skew_warp_result result;
    result = skew_warp_result();
    ULONGLONG last = 0;
    int last_bit = -1;
    const Read reads[] = {{0, 100}, {1, 90}, {1, 95}, {0, 50}, {1, 60}, {0, 55}};
    for (const Read& read : reads) skew_warp_count(&result, &last, &last_bit, read.bit, read.tsc);
    // Stored on 0, read on 1: 100 then 90. Stored on 1, read on 0: 95 then 50, 60 then 55.
    EXPECT_EQ(1u, result.pairs[0][1].warps);
    EXPECT_EQ(10, result.pairs[0][1].largest);
    EXPECT_EQ(2u, result.pairs[1][0].warps);
    EXPECT_EQ(45, result.pairs[1][0].largest);
    EXPECT_EQ(0u, result.pairs[1][1].warps);
    EXPECT_EQ(0u, result.pairs[0][0].warps);
    EXPECT_EQ(3u, result.warps);
    EXPECT_EQ(45, result.largest);
    EXPECT_EQ(1, result.from);
    EXPECT_EQ(0, result.to);
}

// One pass, processor 0 the reference; rate 1 GHz, so cycles are nanoseconds.
TEST(SkewTable, InStepMeansEveryOffsetWithinItsUncertaintyPlusTheTolerance)
{
    struct Row {
        LONGLONG offset, uncertainty;
        bool in_step;
        bool loose;
    } rows[] = {
        {1000, 0, true, false},  {1001, 0, false, false}, {-1001, 0, false, false}, {1500, 500, true, false},
        {1501, 500, false, false}, {0, 1000, true, false}, {0, 1001, true, true},   {-2001, 1001, true, true},
    };
    for (const Row& r : rows) {
        static skew_pass pass;
        pass = skew_pass();
        pass.reference = 0;
        pass.mask = 0x3;
        pass.readings[0].status = skew_status::measured;
        pass.readings[1].status = skew_status::measured;
        pass.readings[1].offset = r.offset;
        pass.readings[1].uncertainty = r.uncertainty;
        const skew_verdict v = skew_judge(pass, 1e9, 1000);
        EXPECT_EQ(r.in_step, v.in_step) << r.offset << " ± " << r.uncertainty;
        EXPECT_EQ(r.in_step ? -1 : 1, v.worst) << r.offset << " ± " << r.uncertainty;
        EXPECT_EQ(r.loose ? 1 : -1, v.loosest) << r.offset << " ± " << r.uncertainty;
        EXPECT_EQ(1, v.widest);
        EXPECT_DOUBLE_EQ(static_cast<double>((r.offset < 0 ? -r.offset : r.offset) + r.uncertainty), v.widest_ns);
    }
}

} // namespace

namespace {

// Several processors beyond the tolerance: the verdict names the furthest out, whichever way
// and wherever it stands among them, with its signed offset.
TEST(SkewTable, TheWorstIsTheFurthestOutOfAllBeyondTheTolerance)
{
    struct Row {
        LONGLONG offsets[3]; // processors 1 to 3, each ± 100
        int worst;
        double worst_ns;
    } rows[] = {
        {{2000, -5000, 3000}, 2, -5000},
        {{5000, 2000, 3000}, 1, 5000},
        {{2000, 3000, -5000}, 3, -5000},
        {{1100, 0, 1101}, 3, 1101},
    };
    for (const Row& r : rows) {
        static skew_pass pass;
        pass = skew_pass();
        pass.reference = 0;
        pass.mask = 0xF;
        for (int bit = 0; bit < 4; ++bit) pass.readings[bit].status = skew_status::measured;
        for (int i = 0; i < 3; ++i) {
            pass.readings[i + 1].offset = r.offsets[i];
            pass.readings[i + 1].uncertainty = 100;
        }
        const skew_verdict v = skew_judge(pass, 1e9, 1000);
        EXPECT_FALSE(v.in_step) << r.offsets[0] << " " << r.offsets[1] << " " << r.offsets[2];
        EXPECT_EQ(r.worst, v.worst) << r.offsets[0] << " " << r.offsets[1] << " " << r.offsets[2];
        EXPECT_DOUBLE_EQ(r.worst_ns, v.worst_ns) << r.offsets[0] << " " << r.offsets[1] << " " << r.offsets[2];
    }
}

} // namespace
