// The simulated counters as their state file holds them, shared by every process on one
// simulated machine and by the test build of tickmend.sys (which maps the same file).
// Plain C++ without Windows headers, so that the driver can include it.
#pragma once
#include <stdint.h>

constexpr uint32_t counter_block_magic = 0x334D5354; // "TSM3"

// The test build's budget of meeting time per caller (the real driver's is 50 ms and 100 us):
// a meeting of threads in a driver host on a busy machine takes milliseconds.
constexpr uint32_t sim_meeting_burst_us = 200000, sim_meeting_min_us = 2000;

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
    // Per process that talks to a real driver (by process id; 0: a free entry): the simulated
    // processor its last request came from (-1: none), which the test build of tickmend.sys
    // reads where a real driver would ask the processor it runs on, since a driver host in
    // user mode runs requests on threads of its own; and the access its next open of the
    // device asks for, which that driver records at create, where Windows would give it the
    // access granted (Wine gives none).
    struct requester {
        volatile uint32_t process;
        volatile int32_t cpu;
        volatile uint32_t opening_access;
    } requesters[8];
};

// The entry of process (made when missing: a free one, else the one its id falls on).
inline sim_counter_block::requester* counter_block_requester(sim_counter_block* b, uint32_t process)
{
    for (auto& r : b->requesters)
        if (__atomic_load_n(&r.process, __ATOMIC_ACQUIRE) == process) return &r;
    for (auto& r : b->requesters) {
        uint32_t free = 0;
        if (__atomic_compare_exchange_n(&r.process, &free, process, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            r.cpu = -1;
            return &r;
        }
    }
    auto& r = b->requesters[process % 8];
    __atomic_store_n(&r.process, process, __ATOMIC_RELEASE);
    return &r;
}
// The entry of process, nullptr when it has none.
inline sim_counter_block::requester* counter_block_find_requester(sim_counter_block* b, uint32_t process)
{
    for (auto& r : b->requesters)
        if (__atomic_load_n(&r.process, __ATOMIC_ACQUIRE) == process) return &r;
    return nullptr;
}

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
