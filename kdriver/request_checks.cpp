#include "request_checks.h"

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
    if (request[0] != nb_bus || request[1] != nb_device || request[2] != nb_function || request[3] != pci_width ||
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

} // namespace tkd
