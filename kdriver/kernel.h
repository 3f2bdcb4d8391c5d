// What the driver's kernel parts share: the processors as the driver found them at load,
// the meeting of two processors (meet.cpp) and the drift timers (drift.cpp).
#pragma once
#include <ntddk.h>
#include "exchange.h"
#include "cpu_rules.h"

constexpr ULONG max_processors = 32;

// A processor as tickmend numbers it (CPUID leaf 1 at load).
struct processor_info {
    bool present;
    unsigned node;
    unsigned core;
    tkd::counter_write write; // how its counter may be moved (CPUID at load)
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
// The meetings one request made, for its caller's budget.
struct meeting_tally {
    ULONG meetings;
    uint64_t spent_us; // from the call that stopped the processors to its return
};
// Brings target's counter into step with reference's as the plan says (both present and
// different), adding the meeting to tally. PASSIVE_LEVEL; one meeting at a time.
tkd::sync_result meet_and_sync(ULONG reference, ULONG target, const tkd::sync_plan& plan, meeting_tally* tally);
// The plan of a sync and of a drift correction of target: rounds, moves and tolerance; a
// counter that may not be written (invariant) is measured only.
tkd::sync_plan sync_plan_for(ULONG target, bool leave_in_step);
// Microseconds on the performance counter, for the budgets.
uint64_t now_us();
// Whether owner (a process id, or drift_owner) may make processors meet now; the charge for
// the meetings it made.
constexpr uint64_t drift_owner = ~static_cast<uint64_t>(0);
bool meeting_allowed(uint64_t owner);
void meeting_charge(uint64_t owner, const meeting_tally& tally);

// The drift timers, one per processor, each queuing its work on device.
NTSTATUS drift_start(PDEVICE_OBJECT device);
// cpu is compensated against reference every interval_ms (0: registered, never run).
void drift_register(ULONG cpu, ULONG reference, ULONG interval_ms);
void drift_deregister(ULONG cpu);
// Cancels every timer and waits for every DPC and work item. Safe to call twice.
void drift_stop();
