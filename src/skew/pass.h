// What the midpoint measurement hands back: one pass's readings, and the bounds every skew
// measurement keeps.
#pragma once
#include <windows.h>

#include "common/switch_bounds.h"
#include "smp_enum/smp_enum.h"

// A processor that has not answered within this long has failed: the driver's bound, within
// which the check after a sync must end (5 s; a simulated machine may shorten it).
inline DWORD skew_answer_timeout_ms() { return switch_driver_bound_ms(); }
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
