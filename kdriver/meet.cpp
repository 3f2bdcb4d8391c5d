// Two processors meet at raised IRQL: through the IPI call where Windows has it (every
// processor at IPI level at once), else the generic DPC call (every processor at DISPATCH
// level), else a DPC aimed at the target while the caller, bound to the reference, raises
// its own IRQL (Windows XP). Each side waits a bounded time; interrupts are held off only
// for the exchange itself.
#include "kernel.h"
#include "hw.h"
#include "meeting_budget.h"
#include "protocol/tsc_protocol.h"

namespace {

typedef ULONG_PTR(NTAPI* ipi_call_fn)(PKIPI_BROADCAST_WORKER, ULONG_PTR);
typedef VOID(NTAPI* generic_call_fn)(PKDEFERRED_ROUTINE, PVOID);
typedef VOID(NTAPI* signal_done_fn)(PVOID);
typedef ULONG(NTAPI* processor_number_fn)(PPROCESSOR_NUMBER);

ipi_call_fn ipi_call;
generic_call_fn generic_call;
signal_done_fn signal_done;
processor_number_fn processor_number_ex;

// One meeting at a time: its state lives here, under meeting_lock.
KEVENT meeting_lock;
KDPC target_dpc;
tkd::exchange x;
ULONG reference_cpu, target_cpu;
tkd::sync_plan plan;
tkd::exchange_budget budget;
tkd::sync_result result;
volatile LONG target_ran; // the target's side ran to its end

// Who may make the processors meet how often (meeting_budget.h), under budget_lock.
KEVENT budget_lock;
tkd::meeting_budgets budgets;

PVOID routine(const wchar_t* name)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, name);
    return MmGetSystemRoutineAddress(&s);
}

uint64_t read_counter(void* context) { return hw_read_tsc(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context))); }
void shift_counter(void* context, int64_t by) { hw_shift_tsc(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context)), by); }

tkd::counter_ops counter_of(ULONG cpu)
{
    return tkd::counter_ops{read_counter, shift_counter, reinterpret_cast<void*>(static_cast<ULONG_PTR>(cpu))};
}

void reference_side()
{
    const tkd::counter_ops counter = counter_of(reference_cpu);
    if (!tkd::meet(&x, tkd::side_reference, counter, budget.arrive)) return;
    const uintptr_t flags = hw_interrupts_off();
    tkd::answer_target(&x, counter, budget);
    hw_interrupts_restore(flags);
}

void target_side()
{
    const tkd::counter_ops counter = counter_of(target_cpu);
    if (tkd::meet(&x, tkd::side_target, counter, budget.arrive)) {
        const uintptr_t flags = hw_interrupts_off();
        result = tkd::sync_target(&x, counter, budget, plan);
        hw_interrupts_restore(flags);
    }
    InterlockedExchange(&target_ran, 1);
}

void side_of(ULONG cpu)
{
    if (cpu == reference_cpu) reference_side();
    else if (cpu == target_cpu) target_side();
}

ULONG_PTR NTAPI ipi_worker(ULONG_PTR)
{
    side_of(current_processor());
    return 0;
}

VOID NTAPI generic_routine(PKDPC, PVOID, PVOID done, PVOID)
{
    side_of(current_processor());
    signal_done(done);
}

VOID NTAPI targeted_routine(PKDPC, PVOID, PVOID, PVOID) { target_side(); }

} // namespace

// The number the processor control region holds (what Windows before 7 offers, inline).
ULONG region_processor_number()
{
#if defined(__x86_64__)
    USHORT n;
    asm volatile("movw %%gs:0x184, %0" : "=r"(n));
#else
    UCHAR n;
    asm volatile("movb %%fs:0x51, %0" : "=q"(n));
#endif
    return n;
}

ULONG current_processor() { return processor_number_ex ? processor_number_ex(nullptr) : region_processor_number(); }

void meet_start()
{
    KeInitializeEvent(&meeting_lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&budget_lock, SynchronizationEvent, TRUE);
    KeInitializeDpc(&target_dpc, targeted_routine, nullptr);
    KeSetImportanceDpc(&target_dpc, HighImportance);
    processor_number_ex = reinterpret_cast<processor_number_fn>(routine(L"KeGetCurrentProcessorNumberEx"));
    ipi_call = reinterpret_cast<ipi_call_fn>(routine(L"KeIpiGenericCall"));
    generic_call = reinterpret_cast<generic_call_fn>(routine(L"KeGenericCallDpc"));
    signal_done = reinterpret_cast<signal_done_fn>(routine(L"KeSignalCallDpcDone"));
    if (!signal_done) generic_call = nullptr;
}

void meet_stop()
{
    KeRemoveQueueDpc(&target_dpc);
    KeFlushQueuedDpcs();
}

tkd::sync_plan sync_plan_for(ULONG target, bool leave_in_step)
{
    // Moved only where CPUID allows; an invariant counter is measured, never written.
    const tkd::counter_write w = g_processors[target].write;
    tkd::sync_plan p;
    p.rounds = hw_rounds();
    p.corrections = 3;
    p.tolerance = static_cast<int64_t>(g_cycles_per_us / 2); // half a microsecond
    p.write = w == tkd::counter_write::adjust || w == tkd::counter_write::direct;
    p.leave_in_step = leave_in_step || !p.write;
    return p;
}

uint64_t now_us()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0) return 0;
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart), hz = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / hz * 1000000 + ticks % hz * 1000000 / hz;
}

bool meeting_allowed(uint64_t owner)
{
    const tkd::budget_rules rules = {hw_meeting_burst_us(), hw_meeting_min_us()};
    KeWaitForSingleObject(&budget_lock, Executive, KernelMode, FALSE, nullptr);
    const bool allowed = tkd::budget_allows(&budgets, rules, owner, now_us());
    KeSetEvent(&budget_lock, IO_NO_INCREMENT, FALSE);
    return allowed;
}

void meeting_charge(uint64_t owner, const meeting_tally& tally)
{
    if (!tally.meetings) return;
    const tkd::budget_rules rules = {hw_meeting_burst_us(), hw_meeting_min_us()};
    KeWaitForSingleObject(&budget_lock, Executive, KernelMode, FALSE, nullptr);
    tkd::budget_charge(&budgets, rules, owner, tally.meetings, tally.spent_us, now_us());
    KeSetEvent(&budget_lock, IO_NO_INCREMENT, FALSE);
}

tkd::sync_result meet_and_sync(ULONG reference, ULONG target, const tkd::sync_plan& asked, meeting_tally* tally)
{
    KeWaitForSingleObject(&meeting_lock, Executive, KernelMode, FALSE, nullptr);
    const uint64_t started = now_us();
    tkd::exchange_reset(&x);
    reference_cpu = reference;
    target_cpu = target;
    plan = asked;
    budget.arrive = g_cycles_per_us * hw_arrive_budget_us();
    budget.answer = g_cycles_per_us * hw_answer_budget_us();
    result = tkd::sync_result{};
    result.ret_code = tkd::ret_not_arrived; // until the target's side says otherwise
    target_ran = 0;

    if (ipi_call) {
        ipi_call(ipi_worker, 0);
    } else if (generic_call) {
        generic_call(generic_routine, nullptr);
    } else {
        KeSetSystemAffinityThread(static_cast<KAFFINITY>(1) << reference);
        KeSetTargetProcessorDpc(&target_dpc, static_cast<CCHAR>(target));
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        const BOOLEAN queued = KeInsertQueueDpc(&target_dpc, nullptr, nullptr);
        if (queued) reference_side();
        KeLowerIrql(irql);
        // A DPC still queued never ran: take it back. One already running ends within its
        // budgets; it is waited for, so that the next meeting finds it gone.
        if (queued && !KeRemoveQueueDpc(&target_dpc)) {
            LARGE_INTEGER tick;
            tick.QuadPart = -10000; // 1 ms
            for (int i = 0; i < 1000 && !target_ran; ++i) KeDelayExecutionThread(KernelMode, FALSE, &tick);
        }
        KeRevertToUserAffinityThread();
    }
    const tkd::sync_result done = result;
    tally->meetings += 1;
    tally->spent_us += now_us() - started;
    KeSetEvent(&meeting_lock, IO_NO_INCREMENT, FALSE);
    return done;
}
