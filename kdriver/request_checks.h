// What tickmend.sys checks of a request before anything is touched: the buffer sizes for its
// code, the one PCI address and bit, the one MSR and whether the processor has it, and the
// northbridge function's vendor. Plain C++ without kernel headers, beside the contract the
// driver shares with its clients (protocol/tsc_protocol.h): the tests run these rules in user
// mode.
#pragma once
#include "protocol/tsc_protocol.h"

namespace tkd {

// The vendor the northbridge function must carry (configuration dword 0, low 16 bits).
constexpr uint32_t nb_vendor_amd = 0x1022;

// Status of a control request before it is carried out: the buffer sizes for its code.
// status_success, status_invalid_device_request (unknown code) or status_info_length_mismatch.
int32_t check_sizes(uint32_t code, uint32_t in_size, uint32_t out_size);
// A PCI request (10 bytes): only the northbridge dword, four bytes wide, byte 5 zero.
int32_t check_pci(const uint8_t request[pci_request_size]);
// An MSR request (20 bytes): only the frequency-ID MSR, the rest of the input zero.
int32_t check_msr(const uint8_t request[msr_request_size]);
// Whether the processor has the frequency-ID MSR, from CPUID leaf 0 (its four registers)
// and leaf 1's EAX: status_success, or status_not_supported (then nothing may be read).
int32_t check_fid_msr_present(const uint32_t leaf0[4], uint32_t eax1);
// Whether the northbridge function is there and AMD's, from its configuration dword 0 (read:
// whether the read gave it): status_success, status_no_such_device or status_not_supported.
int32_t check_nb_vendor(bool read, uint32_t dword0);
// The dword a PCI write puts, given what the register holds and what was asked: the asked
// value may differ from the current one in the power-management bit alone. false: refused.
bool pci_write_value(uint32_t current, uint32_t asked, uint32_t* to_write);

} // namespace tkd
