// The bare midpoint measurement, in a few lines of the benchmark's own: a reference thread
// and an answering one pass a round back and forth, each reading its TSC (ordered: after
// every earlier load) as it passes it; offset = t1 - (t0 + t2) / 2 of the shortest round
// trip, uncertainty half of it. Two layouts of what they share: a cache line per side (each
// written by its side alone, as skew has it) and one line both sides write (as skew had it).
// Compiled twice: into skew_bench.exe (MinGW, run under Wine) and into the native reference
// (the host's compiler, run on Linux), so that both run the very same loops; each brings its
// own threads and binding.
#pragma once
#include <stdint.h>

namespace midpoint {

// How a read waits for every earlier load, chosen once from CPUID as the product chooses:
// RDTSCP; else a fence before RDTSC (MFENCE on AMD, LFENCE elsewhere); else CPUID first.
enum Ordering { by_rdtscp, by_mfence, by_lfence, by_cpuid };
inline Ordering ordering = by_cpuid;
inline const char* const ordering_names[] = {"RDTSCP", "MFENCE before RDTSC", "LFENCE before RDTSC",
                                             "CPUID before RDTSC"};

inline void cpuid(uint32_t leaf, uint32_t r[4])
{
    asm volatile("cpuid" : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3]) : "a"(leaf), "c"(0));
}

inline void choose_ordering()
{
    uint32_t r[4];
    cpuid(0, r);
    const bool amd = r[1] == 0x68747541 && r[3] == 0x69746E65 && r[2] == 0x444D4163; // "AuthenticAMD"
    const uint32_t basic = r[0];
    cpuid(0x80000000, r);
    if (r[0] >= 0x80000001 && r[0] <= 0x8000FFFF) {
        cpuid(0x80000001, r);
        if (r[3] & (1u << 27)) {
            ordering = by_rdtscp;
            return;
        }
    }
    cpuid(1, r);
    ordering = basic >= 1 && (r[3] & (1u << 26)) ? (amd ? by_mfence : by_lfence) : by_cpuid;
}

inline uint64_t ordered_tsc()
{
    uint32_t low, high, c = 0, r[4];
    switch (ordering) {
    case by_rdtscp: asm volatile("rdtscp" : "=a"(low), "=d"(high), "=c"(c) : : "memory"); break;
    case by_mfence: asm volatile("mfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory"); break;
    case by_lfence: asm volatile("lfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory"); break;
    default:
        cpuid(0, r);
        asm volatile("rdtsc" : "=a"(low), "=d"(high) : : "memory");
        break;
    }
    return static_cast<uint64_t>(high) << 32 | low;
}

enum Layout { line_per_side, one_line };
inline const char* const layout_names[] = {"a line per side", "one line for both"};

struct alignas(64) Side {
    volatile int32_t round;
    volatile uint64_t stamp;
};
struct alignas(64) Both {
    volatile int32_t turn; // odd: asked; even: answered
    volatile uint64_t ask_stamp, answer_stamp;
};
struct Shared {
    Layout layout = line_per_side;
    Side ask, answer; // line_per_side
    Both both;        // one_line
    alignas(64) volatile int32_t stop = 0;
};

inline int32_t load(const volatile int32_t* v) { return __atomic_load_n(v, __ATOMIC_ACQUIRE); }
inline void store(volatile int32_t* v, int32_t x) { __atomic_store_n(v, x, __ATOMIC_RELEASE); }

// Resets the shared lines before a pass; the answering thread starts after it.
inline void reset(Shared& s, Layout layout)
{
    s.layout = layout;
    s.ask.round = 0;
    s.answer.round = 0;
    s.both.turn = 0;
    s.stop = 0;
}

// The answering side, on its own processor, until stop.
inline void respond(Shared& s)
{
    for (int32_t round = 1; !s.stop; ++round) {
        if (s.layout == line_per_side) {
            while (load(&s.ask.round) != round)
                if (s.stop) return;
                else asm volatile("pause");
            s.answer.stamp = ordered_tsc();
            store(&s.answer.round, round);
        } else {
            while (load(&s.both.turn) != 2 * round - 1)
                if (s.stop) return;
                else asm volatile("pause");
            s.both.answer_stamp = ordered_tsc();
            store(&s.both.turn, 2 * round);
        }
    }
}

// The reference side: rounds round trips; the offset of the shortest and half of it (cycles).
// Sets stop at the end.
inline void ask(Shared& s, int rounds, double* uncertainty, double* offset)
{
    uint64_t best = ~0ULL;
    for (int32_t round = 1; round <= rounds; ++round) {
        uint64_t t0, t1, t2;
        if (s.layout == line_per_side) {
            t0 = ordered_tsc();
            s.ask.stamp = t0;
            store(&s.ask.round, round);
            while (load(&s.answer.round) != round) asm volatile("pause");
            t2 = ordered_tsc();
            t1 = s.answer.stamp;
        } else {
            t0 = ordered_tsc();
            s.both.ask_stamp = t0;
            store(&s.both.turn, 2 * round - 1);
            while (load(&s.both.turn) != 2 * round) asm volatile("pause");
            t2 = ordered_tsc();
            t1 = s.both.answer_stamp;
        }
        if (t2 - t0 < best) {
            best = t2 - t0;
            *offset = static_cast<double>(static_cast<int64_t>(t1 - (t0 + (t2 - t0) / 2)));
        }
    }
    s.stop = 1;
    *uncertainty = static_cast<double>((best + 1) / 2);
}

} // namespace midpoint
