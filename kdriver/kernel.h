// What the driver's kernel parts share: the processors as the driver found them at load,
// the meeting of two processors (meet.cpp) and the drift timers (drift.cpp).
#pragma once
#include <ntddk.h>
#include "exchange.h"

constexpr ULONG max_processors = 32;

// A processor as tickmend numbers it (CPUID leaf 1 at load).
struct processor_info {
    bool present;
    unsigned node;
    unsigned core;
};
extern processor_info g_processors[max_processors];
// Counter cycles per microsecond, measured against the performance counter at load.
extern uint64_t g_cycles_per_us;
// Every processor reports an invariant counter (CPUID 0x80000007 EDX bit 8).
extern bool g_invariant;
// Windows' performance counter runs at the TSC's rate: Windows keeps time by the TSC.
extern bool g_windows_keeps_time_by_tsc;

// The processor the caller runs on.
ULONG current_processor();
// The first (lowest-numbered) processor of node, max_processors when it has none.
ULONG first_of_node(unsigned node);

// Finds the ways this Windows has to make processors meet.
void meet_start();
// Waits for a meeting's late arrival; after it no routine of the driver is queued.
void meet_stop();
// Brings target's counter into step with reference's as the plan says (both present and
// different). PASSIVE_LEVEL; one meeting at a time.
tkd::sync_result meet_and_sync(ULONG reference, ULONG target, const tkd::sync_plan& plan);
// The plan of a sync and of a drift correction: rounds, moves and tolerance.
tkd::sync_plan sync_plan_for(bool leave_in_step);

// The drift timers, one per processor, each queuing its work on device.
NTSTATUS drift_start(PDEVICE_OBJECT device);
// cpu is compensated against reference every interval_ms (0: registered, never run).
void drift_register(ULONG cpu, ULONG reference, ULONG interval_ms);
void drift_deregister(ULONG cpu);
// Cancels every timer and waits for every DPC and work item. Safe to call twice.
void drift_stop();
