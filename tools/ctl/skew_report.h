// What tickmend-ctl skew prints: the table of offsets (and drifts) of one measurement, and
// the whole warp check. Internal to the skew command.
#pragma once
#include "skew/skew.h"

#include <windows.h>

struct SkewOptions {
    int rounds = 2000;
    int drift_seconds = 0; // 0: no drift measurement
    int warp_seconds = 0;  // 0: no warp check
    double tolerance_ns = 1000;
    bool csv = false;
    bool wide = false;     // every column, cycles and ppm too (the CSV always has them all)
};

// How many processors a mask holds.
int skew_processors_in(DWORD_PTR mask);
// "node N, core M" of a processor, or "node -, core -" when the topology walk did not place it.
void skew_place(char* text, size_t size, int bit);
// The notes on what the measurement could not cover (one processor only; processors beyond
// this client's reach), through say.
void skew_say_coverage(void (*say)(const char*, ...), DWORD_PTR mask);
// The table: one row per processor of mask, with the drift between first and second when
// there is a second pass (a processor the second pass failed on keeps its first row);
// passes[bit] > 1 notes a processor measured that many times. Within 80 columns unless
// options.wide or options.csv.
void skew_report(const SkewOptions& options, DWORD_PTR mask, int reference, double rate, const skew_pass& first,
                 const skew_pass* second, const int* passes);
// The warp check: the pairs that went backwards and the verdict; its exit code.
int skew_warp_command(const SkewOptions& options, DWORD_PTR mask, int reference);
