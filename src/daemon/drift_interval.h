// The rules of a one-node machine's drift compensation, on what its processor reports: whether
// its counters can drift, and the interval registration sends (drift.cpp reads the processor,
// the northbridge and the stored sync_interval, and sends what these say).
#pragma once
#include <windows.h>

// The stored sync_interval (found: whether one could be read) as registration sends it: 1000
// ms when none is stored, at most 2000, at least the driver's 100 ms, and 0 (registered,
// never run) as it stands.
DWORD drift_interval_bounded(bool found, DWORD stored);
// Whether the counters can drift: the answer's rule (drift_possible), which every place asks.
#include "answer/drift_rule.h"
