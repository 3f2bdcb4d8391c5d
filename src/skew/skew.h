// TSC offsets between processors, measured by the midpoint method: a reference thread asks,
// a thread bound to the other processor answers with its TSC, and the answer is set against
// the middle of the round trip; the shortest round trip of a pass counts, and half of it
// bounds the error. Also the TSC rate and whether it is invariant. The warp check is in
// skew/warp.h, the verdict and the drift on passes in skew/judge.h. Returns readings and
// prints nothing. Every TSC read and every binding goes through the platform seam, so a
// simulated machine is measured by the same code.
#pragma once
#include <windows.h>

#include "skew/pass.h"
// The verdict and the drift, and the warp check, for callers of all three.
#include "skew/judge.h"
#include "skew/warp.h"

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
