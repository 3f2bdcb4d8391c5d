// The simulated processors: count, affinity, thread binding, CPUID and time-stamp counters
// as the loaded machine describes them.
#include "sim/sim.h"
#include "sim/state.h"
#include "sim/counters.h"
#include "platform/tsc_read.h"

#include <cstring>

namespace {

DWORD sim_processor_count()
{
    SimLocked s;
    return s->machine.reported_count();
}

BOOL sim_get_affinity(DWORD_PTR* process_mask, DWORD_PTR* system_mask)
{
    SimLocked s;
    if (!process_mask || !system_mask) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (s->machine.affinity_query_fails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *process_mask = s->process_mask;
    *system_mask = s->machine.system_mask();
    return TRUE;
}

BOOL sim_set_affinity(DWORD_PTR mask)
{
    SimLocked s;
    const DWORD_PTR system = s->machine.system_mask();
    const int bit = single_bit(mask);
    if (mask == 0 || (mask & ~system) != 0 ||
        (bit >= 0 && (s->machine.bind_fails & (static_cast<DWORD_PTR>(1) << bit)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s->process_mask = mask;
    InterlockedIncrement(&s->binding_epoch);
    return TRUE;
}

// The real TSC plus the offset and drift of the processor the thread runs on, read in the
// same order as the real seam's read (platform_ordered_tsc), or the simulated machine would
// measure with the fault the real one has not. No lock: two threads that measure one another
// must not wait for each other here.
ULONGLONG sim_read_tsc()
{
    const SimState& s = sim_state();
    const int cpu = running_cpu(s);
    // A busy processor: every round trip that reads its counter is at least this long.
    if (cpu >= 0 && cpu < 32 && s.read_cycles[cpu] > 0) {
        const ULONGLONG until = platform_ordered_tsc() + static_cast<ULONGLONG>(s.read_cycles[cpu]);
        while (platform_ordered_tsc() < until) YieldProcessor();
    }
    return counters_read(cpu);
}

// Processors that never run a thread bound to them alone (sim_set_silent).
volatile DWORD_PTR silent_processors = 0;

// Binds the calling thread within the process mask; a mask of several bits lets it follow
// the process mask again. The previous mask, 0 on failure. A thread bound to a silent
// processor stays here, outside the lock, for as long as it is silent.
DWORD_PTR sim_bind_thread(DWORD_PTR mask)
{
    const int bit = single_bit(mask);
    DWORD_PTR previous_mask = 0;
    {
        SimLocked s;
        if (mask == 0 || (mask & ~s->process_mask) != 0 ||
            (bit >= 0 && (s->machine.bind_fails & (static_cast<DWORD_PTR>(1) << bit)))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const int previous = thread_cpu(*s);
        const DWORD_PTR value =
            bit < 0 ? 0 : (static_cast<DWORD_PTR>(s->binding_epoch) & epoch_mask) << 6 | (bit + 1);
        TlsSetValue(s->thread_slot, reinterpret_cast<void*>(value));
        previous_mask = previous >= 0 ? static_cast<DWORD_PTR>(1) << previous : s->process_mask;
    }
    while (bit >= 0 && (silent_processors & (static_cast<DWORD_PTR>(1) << bit))) Sleep(5);
    return previous_mask;
}

void vendor(DWORD regs[4])
{
    // "AuthenticAMD" in EBX, EDX, ECX.
    std::memcpy(&regs[1], "Auth", 4);
    std::memcpy(&regs[3], "enti", 4);
    std::memcpy(&regs[2], "cAMD", 4);
}

void sim_cpuid(DWORD leaf, DWORD regs[4])
{
    SimLocked s;
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    const SimCpu* cpu = s->machine.cpu_at(running_cpu(*s));
    if (!cpu) return;
    switch (leaf) {
    case 0:
        regs[0] = 1;
        vendor(regs);
        break;
    case 1: {
        // Base family 0xF with the rest in the extended family from family 16 on; model and
        // stepping bits are filled so that only the family fields count.
        DWORD base = cpu->family < 15 ? static_cast<DWORD>(cpu->family) : 0xF;
        DWORD extended = cpu->family < 15 ? 0 : static_cast<DWORD>(cpu->family - 15);
        if (cpu->base_family >= 0) {
            base = static_cast<DWORD>(cpu->base_family);
            extended = static_cast<DWORD>(cpu->ext_family);
        }
        regs[0] = extended << 20 | 0x4u << 16 | base << 8 | 0x1u << 4 | 0x2u;
        regs[1] = static_cast<DWORD>(cpu->apic) << 24 | (cpu->htt ? 0x02u << 16 : 0) | 0x08u << 8;
        regs[2] = 0x00000001;
        regs[3] = cpu->htt ? 0x178BFBFF : 0x078BFBFF; // bit 28 is HTT
        break;
    }
    case 0x80000000:
        regs[0] = 0x80000008;
        vendor(regs);
        break;
    case 0x80000007:
        regs[3] = s->machine.cpuid_80000007_edx;
        break;
    default:
        break;
    }
}

} // namespace

const ProcessorOps sim_processor_ops = {sim_processor_count, sim_get_affinity, sim_set_affinity,
                                        sim_cpuid,           sim_read_tsc,     sim_bind_thread};

int sim_bound_cpu()
{
    SimLocked s;
    return single_bit(s->process_mask);
}

DWORD_PTR sim_process_mask()
{
    SimLocked s;
    return s->process_mask;
}

void sim_set_cpuid_80000007_edx(DWORD edx)
{
    SimLocked s;
    s->machine.cpuid_80000007_edx = edx;
}

void sim_set_silent(DWORD_PTR mask) { silent_processors = mask; }

void sim_set_affinity_query_fails(bool fails)
{
    SimLocked s;
    s->machine.affinity_query_fails = fails;
}
