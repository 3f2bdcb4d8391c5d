// Drift compensation: one periodic kernel timer per registered processor. Its DPC queues a
// work item (the meeting needs PASSIVE_LEVEL), which measures the processor against its
// node's reference and moves its counter only when it lies past the tolerance.
#include "kernel.h"

namespace {

struct drift_slot {
    KTIMER timer;
    KDPC dpc;
    PIO_WORKITEM work;
    volatile LONG queued;  // its work item is queued or running
    ULONG reference;
    ULONG interval_ms;     // 0: registered, never run
    bool registered;
};

drift_slot slots[max_processors];
KEVENT slots_lock;          // registrations change one at a time
volatile LONG outstanding;  // work items queued or running
volatile LONG stopping;
bool started;

void lock() { KeWaitForSingleObject(&slots_lock, Executive, KernelMode, FALSE, nullptr); }
void unlock() { KeSetEvent(&slots_lock, IO_NO_INCREMENT, FALSE); }

VOID NTAPI drift_work(PDEVICE_OBJECT, PVOID context)
{
    const ULONG cpu = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context));
    drift_slot& s = slots[cpu];
    // The timers' meetings have a budget of their own, as any caller's: a run past it waits
    // for the next tick.
    if (!stopping && s.registered && s.interval_ms && meeting_allowed(drift_owner)) {
        meeting_tally tally = {0, 0};
        meet_and_sync(s.reference, cpu, sync_plan_for(cpu, false), &tally);
        meeting_charge(drift_owner, tally);
    }
    InterlockedExchange(&s.queued, 0);
    InterlockedDecrement(&outstanding);
}

VOID NTAPI drift_dpc(PKDPC, PVOID context, PVOID, PVOID)
{
    const ULONG cpu = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context));
    drift_slot& s = slots[cpu];
    if (stopping || !s.work) return;
    // A correction still pending makes this tick a no-op: the wish is the same.
    if (InterlockedCompareExchange(&s.queued, 1, 0) != 0) return;
    InterlockedIncrement(&outstanding);
    IoQueueWorkItem(s.work, drift_work, DelayedWorkQueue, context);
}

} // namespace

NTSTATUS drift_start(PDEVICE_OBJECT device)
{
    KeInitializeEvent(&slots_lock, SynchronizationEvent, TRUE);
    stopping = 0;
    outstanding = 0;
    for (ULONG i = 0; i < max_processors; ++i) {
        drift_slot& s = slots[i];
        KeInitializeTimerEx(&s.timer, SynchronizationTimer);
        KeInitializeDpc(&s.dpc, drift_dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(i)));
        s.queued = 0;
        s.registered = false;
        s.interval_ms = 0;
        s.work = g_processors[i].present ? IoAllocateWorkItem(device) : nullptr;
        if (g_processors[i].present && !s.work) {
            started = true;
            drift_stop();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    started = true;
    return STATUS_SUCCESS;
}

void drift_register(ULONG cpu, ULONG reference, ULONG interval_ms)
{
    lock();
    drift_slot& s = slots[cpu];
    KeCancelTimer(&s.timer);
    s.reference = reference;
    s.interval_ms = interval_ms;
    s.registered = true;
    if (interval_ms && !stopping) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(interval_ms) * 10000; // relative, 100 ns units
        KeSetTimerEx(&s.timer, due, static_cast<LONG>(interval_ms), &s.dpc);
    }
    unlock();
}

void drift_deregister(ULONG cpu)
{
    lock();
    drift_slot& s = slots[cpu];
    KeCancelTimer(&s.timer);
    s.registered = false;
    s.interval_ms = 0;
    unlock();
}

void drift_stop()
{
    if (!started) return;
    InterlockedExchange(&stopping, 1);
    for (drift_slot& s : slots) {
        KeCancelTimer(&s.timer);
        s.registered = false;
    }
    // After the flush no DPC runs or will run; the work items they queued end within their
    // meeting's budgets.
    KeFlushQueuedDpcs();
    LARGE_INTEGER tick;
    tick.QuadPart = -10 * 10000; // 10 ms
    while (outstanding) KeDelayExecutionThread(KernelMode, FALSE, &tick);
    for (drift_slot& s : slots) {
        if (s.work) IoFreeWorkItem(s.work);
        s.work = nullptr;
    }
    started = false;
}
