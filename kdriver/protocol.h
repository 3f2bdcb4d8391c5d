// What tickmend.sys takes from a user process and what it answers: the four control codes,
// their buffers, the TSC command words, and the checks every request passes before anything
// is touched. Plain C++ without kernel headers: the driver and its user-mode tests share it.
#pragma once
#include <stdint.h>

namespace tkd {

constexpr uint32_t IOCTL_MSR_READ = 0xFFF02804;
constexpr uint32_t IOCTL_PCI_READ = 0xFFF0282C;
constexpr uint32_t IOCTL_PCI_WRITE = 0xFFF02830;
constexpr uint32_t IOCTL_TSC_REQUEST = 0xFFF0285C;

constexpr uint32_t SYNC_CORE_TSC = 7;
constexpr uint32_t REGISTER_TSC_DRIFT = 8;
constexpr uint32_t Deregister_TSC_DRIFT = 9;
constexpr uint32_t SYNC_NODE_TSC = 10;

// Buffer sizes, exact: a request of any other size is refused.
constexpr uint32_t pci_request_size = 10, msr_request_size = 20, tsc_request_size = 8, tsc_reply_size = 8;

// The one PCI register the driver reaches (the northbridge's power-management dword) and
// the one bit of it a write may change; the one MSR it reads.
constexpr uint8_t nb_bus = 0, nb_device = 24, nb_function = 3, nb_offset = 0x84;
constexpr uint32_t nb_bit = 0x01000000;
constexpr uint32_t msr_fid_status = 0xC0010042;
// The vendor the northbridge function must carry (configuration dword 0, low 16 bits).
constexpr uint32_t nb_vendor_amd = 0x1022;
// A drift registration's interval, when not 0: from 100 ms (a meeting stops every processor
// for its exchange; ten a second is already far more than drift needs) to one day (a timer
// period must stay a positive LONG, and a longer one corrects nothing worth having).
constexpr uint32_t drift_interval_min_ms = 100, drift_interval_max_ms = 24u * 60 * 60 * 1000;

// NTSTATUS values the driver completes requests with, or puts in a TSC reply's Status word.
constexpr int32_t status_success = 0;
constexpr int32_t status_info_length_mismatch = static_cast<int32_t>(0xC0000004); // buffer size
constexpr int32_t status_invalid_parameter = static_cast<int32_t>(0xC000000D);    // word, processor
constexpr int32_t status_invalid_device_request = static_cast<int32_t>(0xC0000010); // control code
constexpr int32_t status_access_denied = static_cast<int32_t>(0xC0000022);        // address, bit
constexpr int32_t status_io_timeout = static_cast<int32_t>(0xC00000B5);           // did not arrive
constexpr int32_t status_unsuccessful = static_cast<int32_t>(0xC0000001);         // not in step
constexpr int32_t status_no_such_device = static_cast<int32_t>(0xC000000E);      // no northbridge there
constexpr int32_t status_not_supported = static_cast<int32_t>(0xC00000BB);       // not this hardware
constexpr int32_t status_insufficient_resources = static_cast<int32_t>(0xC000009A);
// Informational, our own: the counters were left alone on purpose (RetCode says why).
constexpr int32_t status_left_alone = 0x60A10000;

// RetCode, the second word of a TSC reply.
enum ret_code : int32_t {
    ret_done = 0,
    ret_refused = 1,          // unknown command, bits outside the layout, no such processor,
                              // or not sent from the processor the word names
    ret_not_arrived = 2,      // a processor did not come to the meeting in time
    ret_out_of_tolerance = 3, // the sync ran, and the counter is still not within tolerance
    ret_invariant_in_step = 4,   // invariant counters, already in step: nothing written
    ret_windows_keeps_time = 5,  // Windows keeps its performance counter by the TSC
    ret_no_resources = 6,
};

// A decoded TSC command.
struct tsc_command {
    uint32_t number; // SYNC_CORE_TSC ...
    unsigned node;
    unsigned core;   // SYNC_NODE_TSC: unused
    uint32_t interval_ms; // REGISTER_TSC_DRIFT only
};

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
// Decodes a TSC command word: false for an unknown command, bits outside its layout, or a
// drift registration's interval outside 0 and drift_interval_min_ms..drift_interval_max_ms.
bool decode_tsc(uint32_t word, uint32_t interval_ms, tsc_command* command);

// Little-endian field access.
inline uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Node and core of a processor from its CPUID leaf 1, as tickmend numbers them.
void topology_of(uint32_t eax1, uint32_t ebx1, uint32_t edx1, unsigned* node, unsigned* core);

} // namespace tkd
