// What tickmend.sys may run on a processor, from CPUID alone: how it reads the counter in
// order, whether and how it may move the counter, and whether the frequency-ID MSR is there.
// Every instruction newer than the oldest processor the driver may meet is chosen here; the
// hardware door (hw.h) only carries the choice out. Plain C++ without kernel headers.
#pragma once
#include <stdint.h>

namespace tkd {

// What the driver asks of CPUID, per processor.
struct cpu_facts {
    bool amd, intel;          // "AuthenticAMD", "GenuineIntel"
    uint32_t base_family, ext_family;
    uint32_t model;           // with the extended model where the family says it counts
    bool sse2;                // leaf 1 EDX bit 26: MFENCE and LFENCE
    bool hypervisor;          // leaf 1 ECX bit 31: a virtual machine, whose MSRs may be missing
    bool rdtscp;              // 80000001h EDX bit 27
    bool invariant_tsc;       // 80000007h EDX bit 8: Windows keeps time by the counter
    bool tsc_adjust;          // leaf 7 EBX bit 1: IA32_TSC_ADJUST
};
// CPUID of the processor the caller runs on, leaf into regs (EAX, EBX, ECX, EDX).
typedef void (*cpuid_fn)(void* context, uint32_t leaf, uint32_t regs[4]);
// Asks only leaves the processor reports (leaf 0 and 80000000h say how far it goes).
cpu_facts read_cpu_facts(cpuid_fn cpuid, void* context);

// How the counter is read after every earlier load: RDTSCP where there is one, else MFENCE and
// LFENCE then RDTSC (SSE2), else CPUID then RDTSC (serialising on every x86).
enum class tsc_read { cpuid_rdtsc, mfence_rdtsc, rdtscp }; // zero: the read every x86 has
tsc_read tsc_read_for(const cpu_facts& cpu);
const char* tsc_read_name(tsc_read read); // "rdtscp", "mfence", "cpuid"

// How the counter may be moved: never where it is invariant (Windows keeps time by it),
// through IA32_TSC_ADJUST where there is one, by a write of IA32_TIME_STAMP_COUNTER only
// where that write is known to take all 64 bits (some older Intel processors keep the low
// 32 and clear the rest), else not at all.
enum class counter_write { unsafe, invariant, adjust, direct }; // zero: never written
counter_write counter_write_for(const cpu_facts& cpu);
const char* counter_write_name(counter_write write); // "invariant", "adjust", "direct", "unsafe"

// The frequency-ID MSR (C001_0042h) exists on AMD family 0Fh alone, and a hypervisor that
// reports that family may still not emulate it: read only on bare AMD family 0Fh.
bool fid_msr_readable(const cpu_facts& cpu);

} // namespace tkd
