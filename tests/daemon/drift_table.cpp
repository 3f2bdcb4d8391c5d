// The drift compensation's rules as tables: whether a one-node machine's counters can drift,
// and the interval registration sends.
#include "daemon/drift_interval.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD fid_control = 1u << 1, vid_control = 1u << 2, invariant = 1u << 8;
constexpr DWORD nb_bit = 0x01000000;
// The FID status MSR with start and maximum frequency IDs.
constexpr ULONGLONG fids(DWORD start, DWORD max) { return (ULONGLONG(max) << 16) | (ULONGLONG(start) << 8); }

TEST(DriftTable, TheCountersDriftUnlessInvariantOrTheBitIsClearAtAFixedFrequency)
{
    struct Row {
        const char* what;
        DWORD edx;
        ULONGLONG fid_status;
        bool nb_read;
        DWORD nb;
        bool drifts;
    } rows[] = {
        {"invariant", invariant, fids(8, 12), false, 0, false},
        {"invariant, frequency and voltage control, fixed", invariant | fid_control | vid_control, fids(8, 8), false, 0, false},
        {"invariant, yet its frequency varies", invariant | fid_control, fids(8, 12), true, 0, true},
        {"bit clear, no control", 0, fids(8, 12), true, 0, false},
        {"bit clear, frequency control, fixed", fid_control, fids(10, 10), true, 0, false},
        {"bit clear, frequency control, varies", fid_control, fids(8, 12), true, 0, true},
        {"bit clear, voltage control only, varies", vid_control, fids(8, 12), true, 0, true},
        {"bit clear, voltage control only, fixed", vid_control, fids(12, 12), true, 0, false},
        {"bit set", 0, fids(8, 8), true, nb_bit, true},
        {"other bits set, ours clear", 0, fids(8, 8), true, ~nb_bit, false},
        {"the bit unread", 0, fids(8, 8), false, 0, true},
        {"IDs differ only above bit 13", fid_control, fids(8, 8) | (1ull << 14), true, 0, false},
        {"IDs differ in their top bit", fid_control, fids(8, 8 | 0x20), true, 0, true},
    };
    for (const Row& r : rows) EXPECT_EQ(r.drifts, drift_possible(r.edx, r.fid_status, r.nb_read, r.nb)) << r.what;
}

TEST(DriftTable, TheFrequencyVariesOnlyWithAControlAndTwoIds)
{
    EXPECT_FALSE(drift_frequency_varies(0, fids(8, 12)));
    EXPECT_FALSE(drift_frequency_varies(invariant | 1u | (1u << 3), fids(8, 12)));
    EXPECT_TRUE(drift_frequency_varies(fid_control, fids(8, 12)));
    EXPECT_TRUE(drift_frequency_varies(vid_control, fids(12, 8)));
    EXPECT_FALSE(drift_frequency_varies(fid_control | vid_control, fids(0x3F, 0x3F)));
}

TEST(DriftTable, TheStoredIntervalIsBoundedToWhatTheDriverRuns)
{
    struct Row {
        bool found;
        DWORD stored, sent;
    } rows[] = {
        {false, 0, 1000}, {false, 50, 1000}, // none stored: the default
        {true, 0, 0},                        // registered, never run
        {true, 1, 100},   {true, 99, 100},  {true, 100, 100}, {true, 101, 101},
        {true, 1000, 1000}, {true, 1999, 1999}, {true, 2000, 2000}, {true, 2001, 2000}, {true, 0xFFFFFFFFu, 2000},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.sent, drift_interval_bounded(r.found, r.stored)) << (r.found ? "stored " : "none, ") << r.stored;
}

} // namespace
