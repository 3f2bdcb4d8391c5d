// What tickmend.sys checks of a request before anything is touched: the buffer sizes for its
// code, the one PCI address and bit, the one MSR and whether the processor has it, and the
// northbridge function's vendor. Plain C++ without kernel headers, beside the contract the
// driver shares with its clients (protocol/tsc_protocol.h): the tests run these rules in user
// mode.
#pragma once
#include "protocol/tsc_protocol.h"

namespace tkd {

// Configuration dword 0 (device and vendor ID) of the one northbridge function the bit is
// written for: AMD K8's miscellaneous control (0:24:3). Any other function there, AMD's
// later families included, holds something else at offset 0x84.
constexpr uint32_t nb_k8_misc_control_id = 0x11031022;

// Status of a control request before it is carried out: the buffer sizes for its code.
// status_success, status_invalid_device_request (unknown code) or status_info_length_mismatch.
int32_t check_sizes(uint32_t code, uint32_t in_size, uint32_t out_size);
// A PCI request (10 bytes): only the northbridge dword, four bytes wide, byte 5 zero.
int32_t check_pci(const uint8_t request[pci_request_size]);
// An MSR request (20 bytes): only the frequency-ID MSR, the rest of the input zero.
int32_t check_msr(const uint8_t request[msr_request_size]);
// Whether the frequency-ID MSR may be read, from CPUID leaf 0 (its four registers) and leaf
// 1's EAX and ECX: status_success on bare AMD family 0Fh, else status_not_supported (then
// nothing may be read: RDMSR of a missing MSR is #GP, a bugcheck).
int32_t check_fid_msr_present(const uint32_t leaf0[4], uint32_t eax1, uint32_t ecx1 = 0);
// Whether the northbridge function is the one the bit is written for, from its configuration
// dword 0 (read: whether the read gave it): status_success, status_no_such_device (nothing
// answers) or status_not_supported (another device: nothing is read or written).
int32_t check_nb_function(bool read, uint32_t dword0);
// Whether a handle may make requests that change the machine, from what IRP_MJ_CREATE
// carried: the access granted (the access state's, where there is one) or else the access
// asked for. Generic rights count as the file rights they stand for. No context: read only.
bool handle_may_write(bool have_context, uint32_t desired, bool have_state, uint32_t granted);
// Whether a request changes the machine (a TSC command, a northbridge write): only on a handle
// that may write.
bool request_writes(uint32_t code);
// The dword a PCI write puts, given what the register holds and what was asked: the asked
// value may differ from the current one in the power-management bit alone. false: refused.
bool pci_write_value(uint32_t current, uint32_t asked, uint32_t* to_write);

} // namespace tkd
