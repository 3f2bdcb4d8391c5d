#include "protocol.h"

namespace tkd {

int32_t check_sizes(uint32_t code, uint32_t in_size, uint32_t out_size)
{
    uint32_t in_want, out_want;
    switch (code) {
    case IOCTL_MSR_READ: in_want = out_want = msr_request_size; break;
    case IOCTL_PCI_READ:
    case IOCTL_PCI_WRITE: in_want = out_want = pci_request_size; break;
    case IOCTL_TSC_REQUEST: in_want = tsc_request_size; out_want = tsc_reply_size; break;
    default: return status_invalid_device_request;
    }
    return in_size == in_want && out_size == out_want ? status_success : status_info_length_mismatch;
}

int32_t check_pci(const uint8_t request[pci_request_size])
{
    if (request[0] != nb_bus || request[1] != nb_device || request[2] != nb_function || request[3] != 4 ||
        request[4] != nb_offset || request[5] != 0)
        return status_access_denied;
    return status_success;
}

int32_t check_msr(const uint8_t request[msr_request_size])
{
    if (get32(request) != msr_fid_status) return status_access_denied;
    for (uint32_t i = 4; i < msr_request_size; ++i)
        if (request[i]) return status_invalid_parameter;
    return status_success;
}

int32_t check_fid_msr_present(const uint32_t leaf0[4], uint32_t eax1)
{
    // MSR C001_0042 (FIDVID_STATUS) is architectural on AMD family 0Fh alone: later families
    // keep their P-state status elsewhere, and on them, as on any other vendor's processor,
    // RDMSR of that address raises #GP in the kernel. So: "AuthenticAMD" (EBX, EDX, ECX of
    // leaf 0), leaf 1 there, and a base family of 0Fh with no extended family.
    if (leaf0[0] < 1 || leaf0[1] != 0x68747541 || leaf0[3] != 0x69746E65 || leaf0[2] != 0x444D4163)
        return status_not_supported;
    const uint32_t base = (eax1 >> 8) & 0xF, extended = (eax1 >> 20) & 0xFF;
    return base == 0xF && extended == 0 ? status_success : status_not_supported;
}

int32_t check_nb_vendor(bool read, uint32_t dword0)
{
    const uint32_t vendor = dword0 & 0xFFFF;
    if (!read || vendor == 0xFFFF || vendor == 0) return status_no_such_device; // nothing answers
    return vendor == nb_vendor_amd ? status_success : status_not_supported;
}

bool pci_write_value(uint32_t current, uint32_t asked, uint32_t* to_write)
{
    if ((current ^ asked) & ~nb_bit) return false;
    *to_write = (current & ~nb_bit) | (asked & nb_bit);
    return true;
}

bool decode_tsc(uint32_t word, uint32_t interval_ms, tsc_command* command)
{
    const uint32_t number = word & 0x00FFFFFF;
    command->number = number;
    command->interval_ms = 0;
    switch (number) {
    case SYNC_CORE_TSC: // node at bit 24, core at bit 28, bits 27 and 31 clear
        if (word & 0x88000000) return false;
        command->node = (word >> 24) & 7;
        command->core = (word >> 28) & 7;
        return true;
    case SYNC_NODE_TSC: // the node to bring into step at bit 28; bits 24..27 and 31 clear
        if (word & 0x8F000000) return false;
        command->node = (word >> 28) & 7;
        command->core = 0;
        return true;
    case REGISTER_TSC_DRIFT:
    case Deregister_TSC_DRIFT: // core at bit 24 (5 bits), node at bit 29
        command->core = (word >> 24) & 0x1F;
        command->node = (word >> 29) & 7;
        if (number != REGISTER_TSC_DRIFT) return true;
        if (interval_ms && (interval_ms < drift_interval_min_ms || interval_ms > drift_interval_max_ms)) return false;
        command->interval_ms = interval_ms;
        return true;
    default:
        return false;
    }
}

void topology_of(uint32_t eax1, uint32_t ebx1, uint32_t edx1, unsigned* node, unsigned* core)
{
    const uint32_t family = ((eax1 >> 8) & 0xF) + ((eax1 >> 20) & 0xFF);
    const uint32_t apic = ebx1 >> 24;
    if (!(edx1 & (1u << 28))) { // no HTT: one processor per package
        *node = 0;
        *core = 0;
    } else if (family < 16) {
        *core = apic & 1;
        *node = (apic >> 1) & 7;
    } else {
        *core = apic & 3;
        *node = (apic >> 2) & 0x3F;
    }
}

} // namespace tkd
