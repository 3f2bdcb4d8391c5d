// The simulated counters as their state file holds them, shared by every process on one
// simulated machine and by the test build of tickmend.sys (which maps the same file).
// Plain C++ without Windows headers, so that the driver can include it.
#pragma once
#include <stdint.h>

constexpr uint32_t counter_block_magic = 0x324D5354; // "TSM2"

// One processor's counter: the real TSC + offset at `since`, then ppm faster unless held.
struct sim_counter {
    int64_t offset;
    uint64_t since; // the real TSC when offset was last set
    int32_t ppm;
    int32_t held; // 1 while a drift registration holds it
};

struct sim_counter_block {
    uint32_t magic;
    uint32_t machine;            // hash of the counters' description
    uint64_t started;            // the real TSC at power-on
    volatile int32_t generation; // odd while a writer changes a counter
    int32_t count;
    sim_counter cpu[32];         // by affinity bit
    // The simulated processor the last request to a real driver came from (-1: none): the
    // test build of tickmend.sys reads it where a real driver would ask the processor it
    // runs on, since a driver host in user mode runs requests on threads of its own.
    volatile int32_t requesting_cpu;
};

// A writer, in any process or the driver, makes the generation odd by exchange: one writer
// at a time, and readers of a half-written counter read again. A generation that stays odd
// (its writer ended mid-write) is taken over after about a million tries.
inline void counter_block_write_begin(sim_counter_block* b)
{
    for (int tries = 0;; ++tries) {
        int32_t g = __atomic_load_n(&b->generation, __ATOMIC_ACQUIRE);
        if (g & 1) {
            if (tries < 1000000) {
                __builtin_ia32_pause();
                continue;
            }
            g += 1; // abandoned: even again, then ours
            __atomic_store_n(&b->generation, g, __ATOMIC_RELEASE);
        }
        if (__atomic_compare_exchange_n(&b->generation, &g, g + 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return;
    }
}

inline void counter_block_write_end(sim_counter_block* b) { __atomic_add_fetch(&b->generation, 1, __ATOMIC_RELEASE); }
