// The driver's one door to the hardware: time-stamp counters, MSRs, PCI configuration space,
// CPUID and the interrupt flag. hw_real.cpp opens it on a real machine; hw_sim.cpp, in the
// test build, stands the simulated machine's registers and counters behind it, so that the
// same driver runs where a privileged instruction would end it (a driver host in user mode).
// Callers ask only for what request_checks.h allows; nothing here checks an address.
#pragma once
#include <ntddk.h>
#include <stdint.h>

// Picks up what the implementation needs from the service's key (the simulated machine's
// description); false when the driver cannot work.
bool hw_start(PUNICODE_STRING registry_path);
// Releases what hw_start took. Safe after a failed or no hw_start.
void hw_stop();

// The processors that exist for this driver (bit = processor number).
KAFFINITY hw_processors();
// The processor a request came from (the dispatch routine runs in the caller's thread).
ULONG hw_requesting_processor(ULONG running_on);

// CPUID on processor cpu; the caller runs there.
void hw_cpuid(ULONG cpu, uint32_t leaf, uint32_t regs[4]);
// The counter of processor cpu, read after every earlier load; the caller runs there.
uint64_t hw_read_tsc(ULONG cpu);
// Moves the counter of processor cpu by cycles (IA32_TSC_ADJUST where the processor has it,
// else a write of IA32_TIME_STAMP_COUNTER); the caller runs there.
void hw_shift_tsc(ULONG cpu, int64_t cycles);
// A free-running cycle count of the processor the caller runs on, for timing only.
uint64_t hw_cycles();

// The frequency-ID MSR (the only one read); the caller has checked by CPUID that it exists.
bool hw_read_fid_msr(uint64_t* value);
// Configuration dword 0 (vendor and device ID) of the northbridge function; false when
// nothing answers.
bool hw_read_nb_id(uint32_t* value);
// The northbridge power-management dword (the only PCI register reached); the caller has
// checked its function's vendor.
bool hw_read_nb(uint32_t* value);
bool hw_write_nb(uint32_t value);

// Interrupts off on this processor for the few microseconds of an exchange; the previous
// state back.
uintptr_t hw_interrupts_off();
void hw_interrupts_restore(uintptr_t previous);

// Round trips per measurement (the shortest counts).
int hw_rounds();
// Microseconds a processor waits for the other to arrive, and for one answer.
ULONG hw_arrive_budget_us();
ULONG hw_answer_budget_us();
