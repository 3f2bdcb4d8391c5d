// The real hardware behind the driver's door (hw.h).
#include "hw.h"
#include "protocol/tsc_protocol.h"

#include <intrin.h>

namespace {

constexpr uint32_t msr_tsc = 0x10, msr_tsc_adjust = 0x3B;

bool has_tsc_adjust()
{
    uint32_t r[4];
    hw_cpuid(0, 0, r);
    if (r[0] < 7) return false;
    int regs[4];
    __cpuidex(regs, 7, 0);
    return (regs[1] & 2) != 0; // EBX bit 1: IA32_TSC_ADJUST
}

// PCI configuration space through the HAL, bus 0 only.
ULONG slot_of(uint8_t device, uint8_t function)
{
    PCI_SLOT_NUMBER slot;
    slot.u.AsULONG = 0;
    slot.u.bits.DeviceNumber = device;
    slot.u.bits.FunctionNumber = function;
    return slot.u.AsULONG;
}

bool read_nb_dword(ULONG offset, uint32_t* value)
{
    ULONG v = 0;
    const ULONG n = HalGetBusDataByOffset(PCIConfiguration, tkd::nb_bus, slot_of(tkd::nb_device, tkd::nb_function),
                                          &v, offset, sizeof v);
    if (n != sizeof v) return false;
    *value = v;
    return true;
}

} // namespace

bool hw_start(PUNICODE_STRING) { return true; }
void hw_stop() {}

KAFFINITY hw_processors() { return KeQueryActiveProcessors(); }
ULONG hw_requesting_processor(ULONG running_on) { return running_on; }

void hw_cpuid(ULONG, uint32_t leaf, uint32_t regs[4])
{
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) regs[i] = static_cast<uint32_t>(r[i]);
}

uint64_t hw_read_tsc(ULONG)
{
    uint32_t low, high;
    // MFENCE completes every earlier load first, on AMD and Intel alike.
    asm volatile("mfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
    return static_cast<uint64_t>(high) << 32 | low;
}

uint64_t hw_cycles() { return __rdtsc(); }

void hw_shift_tsc(ULONG, int64_t cycles)
{
    if (has_tsc_adjust()) {
        __writemsr(msr_tsc_adjust, __readmsr(msr_tsc_adjust) + static_cast<uint64_t>(cycles));
        return;
    }
    __writemsr(msr_tsc, __rdtsc() + static_cast<uint64_t>(cycles));
}

bool hw_read_fid_msr(uint64_t* value)
{
    *value = __readmsr(tkd::msr_fid_status);
    return true;
}

bool hw_read_nb_id(uint32_t* value) { return read_nb_dword(0, value); }
bool hw_read_nb(uint32_t* value) { return read_nb_dword(tkd::nb_offset, value); }

bool hw_write_nb(uint32_t value)
{
    ULONG v = value;
    return HalSetBusDataByOffset(PCIConfiguration, tkd::nb_bus, slot_of(tkd::nb_device, tkd::nb_function), &v,
                                 tkd::nb_offset, sizeof v) == sizeof v;
}

uintptr_t hw_interrupts_off()
{
    const uintptr_t flags = __readeflags();
    asm volatile("cli" : : : "memory");
    return flags;
}

void hw_interrupts_restore(uintptr_t previous)
{
    if (previous & 0x200) asm volatile("sti" : : : "memory"); // IF was set
}

int hw_rounds() { return 32; }
ULONG hw_arrive_budget_us() { return 1000; }
ULONG hw_answer_budget_us() { return 100; }
