// The time-stamp counter read in order: the one read the Win32 seam and the simulated
// counters share, and what this process may not reach of the machine's processors.
#pragma once
#include <windows.h>

// How platform_ordered_tsc keeps its read behind every earlier load, chosen once per process
// from CPUID: RDTSCP where the processor has it; else a fence before RDTSC (MFENCE on AMD,
// LFENCE elsewhere) where it has SSE2; else CPUID before RDTSC.
enum class tsc_ordering { rdtscp, mfence, lfence, cpuid };
tsc_ordering platform_tsc_ordering();
// Its name as a user reads it ("RDTSCP", "MFENCE before RDTSC", ...).
const char* platform_tsc_ordering_name();

// The TSC of the processor the calling thread runs on, read only after every earlier load
// has completed.
ULONGLONG platform_ordered_tsc();

// Processors of this machine the process cannot reach: those beyond its 32 mask bits and
// those in other processor groups (looked up at run time; 0 where Windows cannot say, and on
// the simulated machine, which has none). groups gets the number of processor groups.
DWORD platform_processors_out_of_reach(DWORD* groups);
