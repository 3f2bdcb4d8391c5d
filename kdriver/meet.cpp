// Two processors meet at raised IRQL: through the IPI call where Windows has it (every
// processor at IPI level at once), else the generic DPC call (every processor at DISPATCH
// level), else a DPC aimed at the target while the caller, bound to the reference, raises
// its own IRQL (Windows XP). Each side waits a bounded time; interrupts are held off only
// for the exchange itself.
#include "kernel.h"
#include "hw.h"
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

tkd::sync_plan sync_plan_for(bool leave_in_step)
{
    tkd::sync_plan p;
    p.rounds = hw_rounds();
    p.corrections = 3;
    p.tolerance = static_cast<int64_t>(g_cycles_per_us / 2); // half a microsecond
    p.write = true;
    p.leave_in_step = leave_in_step;
    return p;
}

tkd::sync_result meet_and_sync(ULONG reference, ULONG target, const tkd::sync_plan& asked)
{
    KeWaitForSingleObject(&meeting_lock, Executive, KernelMode, FALSE, nullptr);
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
    KeSetEvent(&meeting_lock, IO_NO_INCREMENT, FALSE);
    return done;
}
