// The rules of a one-node machine's drift compensation, on what its processor reports: whether
// its counters can drift, and the interval registration sends (drift.cpp reads the processor,
// the northbridge and the stored sync_interval, and sends what these say).
#pragma once
#include <windows.h>

// The stored sync_interval (found: whether one could be read) as registration sends it: 1000
// ms when none is stored, at most 2000, at least the driver's 100 ms, and 0 (registered,
// never run) as it stands.
DWORD drift_interval_bounded(bool found, DWORD stored);
// Whether the frequency varies: the processor can change it (frequency or voltage control,
// CPUID 0x80000007 EDX bits 1 and 2) and its start and maximum frequency IDs (the FID status
// MSR's bits 8-13 and 16-21) differ. A read of the IDs that failed (fid_read false: a driver
// that refuses the MSR, as on a virtual machine) tells nothing: the frequency then varies.
bool drift_frequency_varies(DWORD edx, ULONGLONG fid_status, bool fid_read = true);
// Whether the counters can drift, so that registration sends the configured interval (else 0):
// not with an invariant TSC, nor with the northbridge bit read clear and a fixed frequency.
// nb_read: whether the northbridge dword nb could be read (a read that failed tells nothing:
// the counter may drift).
bool drift_possible(DWORD edx, ULONGLONG fid_status, bool nb_read, DWORD nb, bool fid_read = true);
