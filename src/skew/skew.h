// TSC offsets between processors, measured by the midpoint method: a reference thread asks,
// a thread bound to the other processor answers with its TSC, and the answer is set against
// the middle of the round trip; the shortest round trip of a pass counts, and half of it
// bounds the error; and whether time goes backwards when a thread moves between processors
// (the warp check). Returns readings and prints nothing (tickmend-ctl skew prints them,
// Gaming Mode checks its own sync with them). Every TSC read and every binding goes through
// the platform seam, so a simulated machine is measured by the same code.
#pragma once
#include <windows.h>

#include "smp_enum/smp_enum.h"

// A processor that has not answered within this long has failed.
constexpr DWORD skew_answer_timeout_ms = 5000;
// A thread told to stop (its processor was silent) is waited for this long at most.
constexpr DWORD skew_stop_timeout_ms = 1000;
// The TSC rate is measured against the performance counter over at least this long.
constexpr DWORD skew_rate_interval_ms = 100;

enum class skew_status { not_asked, measured, not_bound, silent };

// One processor against the reference.
struct skew_reading {
    skew_status status;
    LONGLONG offset;      // cycles: this processor's TSC minus the reference's
    LONGLONG uncertainty; // cycles: half the shortest round trip
    LONGLONG at;          // performance counter at the round that counts
};

// One pass over the processors of a mask.
struct skew_pass {
    int reference;   // processor index every other one is measured against
    DWORD_PTR mask;  // the processors asked, the reference among them
    bool complete;   // every processor asked was measured
    skew_reading readings[MAX_CPUS];
};

// Measures every processor of mask against reference (which must be in mask), with rounds
// round trips each, or as many as fit in budget_us microseconds per processor (0: no limit;
// one round trip always counts). The calling thread is bound to the reference and runs at
// time-critical priority for the pass only; binding and priority are put back on every path.
// false when the reference itself could not be bound (then nothing is measured).
bool skew_measure(DWORD_PTR mask, int reference, int rounds, skew_pass* pass, DWORD budget_us = 0);

// The TSC rate of processor reference in cycles per second; 0 when it cannot be had.
double skew_tsc_rate(int reference);

// Whether the processors say their TSC runs at a constant rate (CPUID 0x80000007 EDX bit 8).
bool skew_invariant_tsc();

// Cycles in nanoseconds at rate (cycles per second).
double skew_ns(LONGLONG cycles, double rate);

// The drift of processor bit between two passes, from its readings in both: in ns/s, and
// its uncertainty (u1 + u2) / interval. false when either pass did not measure it.
struct skew_drift {
    double ns_per_s;
    double uncertainty_ns_per_s;
    bool within_uncertainty; // |drift| <= its uncertainty: not shown to drift at all
};
bool skew_drift_of(const skew_pass& first, const skew_pass& second, int bit, double rate, skew_drift* drift);

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
// false when a processor of mask could not be bound or did not start reading (its status
// says which; the other readings stand). result is large: keep it static.
bool skew_warp(DWORD_PTR mask, DWORD milliseconds, skew_warp_result* result);

// The verdict on one pass: in step when every measured offset lies within its uncertainty
// plus tolerance_ns. worst is the processor furthest beyond that (-1 when in step); loosest
// the one whose uncertainty alone exceeds the tolerance (-1 when none), which makes an
// "in step" a weak one. widest is the processor whose |offset| + uncertainty is largest
// (-1 when none but the reference was measured): widest_ns bounds the distance of every
// measured processor's counter from the reference's.
struct skew_verdict {
    bool in_step;
    int worst;
    double worst_ns;
    int loosest;
    double loosest_ns;
    int widest;
    double widest_ns;
};
skew_verdict skew_judge(const skew_pass& pass, double rate, double tolerance_ns);
