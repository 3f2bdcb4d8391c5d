// The simulated machine: processors and the stand-in TSC driver behind the platform seam.
// A machine is loaded from a preset or a description file (format in sim/README.md);
// every driver request is logged, in memory and to the file TICKMEND_SIM_LOG names.
// All functions may be called from any thread.
#pragma once
#include <windows.h>
#include <cstddef>

// Loads a preset ("single-cpu", "one-node", "one-node-invariant", "two-node", "four-node")
// or a description file, whole or nothing: on failure the previous machine stays and error
// names the file and line. Resets bindings, masks and request counter; clears the log;
// starts the time-stamp counters afresh, seen by this process alone.
bool sim_load_machine(const char* preset_or_path, char* error, size_t error_size);
// The same, with the counters every process on this machine shares: the state file that
// TICKMEND_SIM_STATE names, else one per machine in the temporary folder (sim/README.md).
bool sim_load_shared_machine(const char* preset_or_path, char* error, size_t error_size);
// Installs the simulated processors and driver through platform_install.
void sim_install();
// The switch bounds of a simulated machine: TICKMEND_SIM_POWERCFG_BOUND_MS (one powercfg run)
// and TICKMEND_SIM_DRIVER_BOUND_MS (the driver's part of a switch), each the real one when
// unset; every wait derived from them follows. Done by the installs below too.
void sim_bounds_from_environment();
// Loads TICKMEND_SIM_MACHINE (or "two-node") with shared counters and installs; false with
// the error when the machine cannot be loaded (the previous one stays installed).
bool sim_install_shared_from_environment(char* error, size_t error_size);
// The same; a bad description ends the process with exit code 3 after writing the error to
// stderr.
void sim_install_from_environment();

// The affinity bit the process is bound to, -1 when its mask is not one bit (threads bound
// on their own through the seam's bind_thread do not count).
int sim_bound_cpu();
// The simulated process affinity mask.
DWORD_PTR sim_process_mask();

// PCI configuration dwords as the stand-in driver reads and writes them.
void sim_set_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD value);
// false when the description never set the dword (a driver read then gives 0xFFFFFFFF).
bool sim_get_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD* value);
// The value of an MSR on every processor.
void sim_set_msr(DWORD msr, ULONGLONG value);
// An absent driver: the search for its device finds none, and a path found before opens
// nothing.
void sim_set_driver_absent(bool absent);
// From the nth request since the load on, requests are not delivered; 0 = never.
void sim_set_fail_from(int nth_request);
// The reply words of every TSC request the driver would otherwise accept; 0,0 = accept.
void sim_set_refusal(LONG status, LONG retcode);
// CPUID leaf 0x80000007 EDX of every processor.
void sim_set_cpuid_80000007_edx(DWORD edx);
// Processors that never run a thread bound to them alone: such a thread stops in its
// binding until the mask no longer names the processor. 0 = none; a load leaves it as is.
void sim_set_silent(DWORD_PTR mask);
// Makes the affinity query (GetProcessAffinityMask) fail or work again.
void sim_set_affinity_query_fails(bool fails);

// The request log since the load or the last clear, one line each (format in README.md).
// A line pointer stays valid until the log is cleared or a machine is loaded.
size_t sim_log_size();
const char* sim_log_line(size_t i); // nullptr past the end
void sim_log_clear();

// Opens the device Windows finds ("driver system": the test build of tickmend.sys) with the
// access given, which that driver records at create as Windows would give it. One open at a
// time on a simulated machine.
HANDLE sim_open_system_device(const char* path, DWORD access);

// Device searches since the load (opens of a path already found are not counted).
int sim_open_count();
