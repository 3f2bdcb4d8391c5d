// The TSC driver's contract: the device interface class, the four control codes and their
// buffers, the TSC command words (encoded and decoded here alone), what the reply words mean,
// the registers the requests reach and how a processor's node and core follow from its
// initial APIC ID. tickmend.sys (kdriver/), tickmend's client (src/driver/), the stand-in
// driver (sim/) and the wording (src/notice/) all include this file: a change of the
// protocol is a change here. Plain C++ with fixed-width types and no system header, so that
// kernel code includes it as it is.
#pragma once
#include <stdint.h>

namespace tkd {

// ---- the device ----

// {36FC3AB9-5ABB-42BA-ABF6-53D32F1C545A}, the class under which the driver's device is found.
struct interface_class_id {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
    // As the system's own GUID type (an aggregate of the same four fields).
    template <class Guid>
    constexpr Guid as() const
    {
        return Guid{data1, data2, data3, {data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]}};
    }
};
constexpr interface_class_id tsc_interface_class = {0x36FC3AB9, 0x5ABB, 0x42BA,
                                                    {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5A}};

// ---- control codes: device type 0xFFF0, METHOD_BUFFERED, FILE_ANY_ACCESS ----

constexpr uint32_t control_code(uint32_t function) { return 0xFFF0u << 16 | function << 2; }
constexpr uint32_t IOCTL_MSR_READ = 0xFFF02804;
constexpr uint32_t IOCTL_PCI_READ = 0xFFF0282C;
constexpr uint32_t IOCTL_PCI_WRITE = 0xFFF02830;
constexpr uint32_t IOCTL_TSC_REQUEST = 0xFFF0285C;
static_assert(IOCTL_MSR_READ == control_code(0xA01) && IOCTL_PCI_READ == control_code(0xA0B) &&
              IOCTL_PCI_WRITE == control_code(0xA0C) && IOCTL_TSC_REQUEST == control_code(0xA17));

// ---- buffers (little-endian; a request of any other size is refused) ----

// PCI: bus, device, function, width (4), offset, a zero byte, the dword; in and out alike.
constexpr uint32_t pci_request_size = 10, pci_value_at = 6, pci_width = 4;
// MSR: the register number, then its value (low half, high half), then 8 zero bytes.
constexpr uint32_t msr_request_size = 20, msr_low_at = 4, msr_high_at = 8;
// TSC: the command word and the interval in; Status and RetCode out, in a buffer of its own.
constexpr uint32_t tsc_request_size = 8, tsc_interval_at = 4, tsc_reply_size = 8;

// The one PCI register tickmend reaches (the northbridge's power-management dword at
// 0:24:3, offset 0x84), the one bit of it a write may change, and the one MSR it reads.
constexpr uint8_t nb_bus = 0, nb_device = 24, nb_function = 3, nb_offset = 0x84;
constexpr uint32_t nb_bit = 0x01000000;
constexpr uint32_t msr_fid_status = 0xC0010042;

// ---- TSC commands (bits 0..23 of the command word) ----

constexpr uint32_t SYNC_CORE_TSC = 7;
constexpr uint32_t REGISTER_TSC_DRIFT = 8;
constexpr uint32_t Deregister_TSC_DRIFT = 9;
constexpr uint32_t SYNC_NODE_TSC = 10;

constexpr uint32_t command_number_mask = 0x00FFFFFF;
constexpr uint32_t command_number(uint32_t word) { return word & command_number_mask; }
// "SYNC_CORE_TSC" and so on; nullptr for a number that is no command.
const char* command_name(uint32_t number);

// Sync layout: the node at bit 24 (3 bits), the core at bit 28 (3 bits), bits 27 and 31
// clear; SYNC_NODE_TSC carries the node to bring into step at bit 28 and nothing else.
constexpr uint32_t sync_command_word(uint32_t command, uint8_t node, uint8_t core)
{
    return command | static_cast<uint32_t>(node & 7) << 24 | static_cast<uint32_t>(core & 7) << 28;
}
constexpr uint32_t sync_node_command_word(uint8_t node) { return SYNC_NODE_TSC | static_cast<uint32_t>(node & 7) << 28; }
// Drift layout: the core at bit 24 (5 bits), the node at bit 29 (3 bits).
constexpr uint32_t drift_command_word(uint32_t command, uint8_t node, uint8_t core)
{
    return command | static_cast<uint32_t>(core & 0x1F) << 24 | static_cast<uint32_t>(node & 7) << 29;
}

// A drift registration's interval, when not 0 (registered, never run): from 100 ms (each
// run stops processors for an exchange; ten a second is already far more than drift needs)
// to one day (a timer period must stay a positive LONG).
constexpr uint32_t drift_interval_min_ms = 100, drift_interval_max_ms = 24u * 60 * 60 * 1000;

// A decoded TSC command.
struct tsc_command {
    uint32_t number;      // SYNC_CORE_TSC ...
    unsigned node;
    unsigned core;        // SYNC_NODE_TSC: 0
    uint32_t interval_ms; // REGISTER_TSC_DRIFT only
};
// false for an unknown command, bits outside its layout, or a registration's interval
// outside 0 and drift_interval_min_ms..drift_interval_max_ms.
bool decode_tsc(uint32_t word, uint32_t interval_ms, tsc_command* command);

// ---- what the driver answers ----

// NTSTATUS values a request completes with, or a TSC reply carries as its Status word.
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
    ret_invariant_in_step = 4,  // invariant counters, already in step: nothing written
    ret_windows_keeps_time = 5, // Windows keeps its performance counter by the TSC
    ret_no_resources = 6,
};

// The two words of a TSC reply; each meaning below is the pair the driver sends for it.
struct tsc_reply {
    int32_t status;
    int32_t ret_code;
};
constexpr bool operator==(const tsc_reply& a, const tsc_reply& b) { return a.status == b.status && a.ret_code == b.ret_code; }
constexpr tsc_reply reply_done = {status_success, ret_done};
constexpr tsc_reply reply_refused = {status_invalid_parameter, ret_refused};
constexpr tsc_reply reply_not_arrived = {status_io_timeout, ret_not_arrived};
constexpr tsc_reply reply_out_of_tolerance = {status_unsuccessful, ret_out_of_tolerance};
constexpr tsc_reply reply_invariant_in_step = {status_left_alone, ret_invariant_in_step};
constexpr tsc_reply reply_windows_keeps_time = {status_left_alone, ret_windows_keeps_time};

// ---- little-endian fields ----

inline uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- a processor's node and core, as the requests name them ----

// From CPUID leaf 1: the family (base plus extended, the extended one always added), HTT
// (EDX bit 28) and the initial APIC ID (EBX bits 24..31).
constexpr uint32_t cpuid_family(uint32_t eax1) { return ((eax1 >> 8) & 0xF) + ((eax1 >> 20) & 0xFF); }
constexpr bool cpuid_htt(uint32_t edx1) { return (edx1 >> 28) & 1; }
constexpr uint32_t cpuid_apic_id(uint32_t ebx1) { return ebx1 >> 24; }

struct processor_place {
    unsigned node;
    unsigned core;
};
// Family below 16: core = APIC ID bit 0, node = bits 1..3; from 16: core = bits 0..1,
// node = bits 2..7. Without HTT a single-core package: core 0 of node 0.
processor_place place_of(uint32_t family, uint32_t apic_id, bool htt);
processor_place place_of_cpuid(uint32_t eax1, uint32_t ebx1, uint32_t edx1);

} // namespace tkd
