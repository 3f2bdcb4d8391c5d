// Judging passes of the midpoint measurement: offsets in nanoseconds, the verdict on one
// pass, and the drift of a processor between two passes. Pure arithmetic on readings.
#pragma once
#include <windows.h>

#include "skew/pass.h"

// One round trip of the midpoint method: the reference read t0 as it asked, the other
// processor answered t1, the reference read t2 as the answer came. The offset is t1 against
// the middle of the trip (rounded down); the uncertainty half the trip, rounded up, so that
// it never claims a bound tighter than the trip allows.
void skew_midpoint(ULONGLONG t0, ULONGLONG t1, ULONGLONG t2, LONGLONG* offset, LONGLONG* uncertainty);

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
