// The warp check: whether time goes backwards when reads move between processors. Every TSC
// read and every binding goes through the platform seam.
#pragma once
#include <windows.h>

#include "skew/pass.h"

// Does time go backwards? One thread per processor of mask, each in turn under one shared
// lock, reads its TSC and compares it with the last value any of them stored; a smaller one
// is a warp. Runs for milliseconds.
enum class skew_warp_status { measured, not_bound, silent };
struct skew_warp_pair {
    ULONGLONG warps;  // reads on `to` below the value `from` had stored last
    LONGLONG largest; // cycles: the largest step back
};
struct skew_warp_result {
    ULONGLONG reads;       // every read, of every processor
    ULONGLONG warps;       // the reads that went backwards
    LONGLONG largest;      // cycles: the largest step back seen (0 when none)
    int from, to;          // where it was seen: stored on from, read on to (-1 when none)
    skew_warp_status status[MAX_CPUS];  // per processor of the mask
    skew_warp_pair pairs[MAX_CPUS][MAX_CPUS]; // [from][to]
};
// One read of the check: processor bit read now, after processor last_bit (-1: none yet)
// stored last. A read below last is a warp, counted for the pair and the whole, with its
// step back; an equal one is none. Then the read is the one stored last.
void skew_warp_count(skew_warp_result* result, ULONGLONG* last, int* last_bit, int bit, ULONGLONG now);
// false when a processor of mask could not be bound or did not start reading (its status
// says which; the other readings stand). result is large: keep it static.
bool skew_warp(DWORD_PTR mask, DWORD milliseconds, skew_warp_result* result);
