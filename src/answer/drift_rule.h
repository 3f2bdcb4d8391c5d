// Whether a one-node machine's counters can drift, on what its processor reports: the rule the
// PC's answer and the drift registration share (answer.cpp reads the processor and the
// northbridge; these say what the readings mean).
#pragma once
#include <windows.h>

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
