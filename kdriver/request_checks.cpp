#include "request_checks.h"
#include "cpu_rules.h"

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

int32_t check_fid_msr_present(const uint32_t leaf0[4], uint32_t eax1, uint32_t ecx1)
{
    struct leaves {
        const uint32_t* leaf0;
        uint32_t eax1, ecx1;
    } known = {leaf0, eax1, ecx1};
    // Only leaves 0 and 1 count here; any other reads as zero.
    const cpuid_fn answer = [](void* context, uint32_t leaf, uint32_t regs[4]) {
        const leaves* k = static_cast<const leaves*>(context);
        for (int i = 0; i < 4; ++i) regs[i] = leaf == 0 ? k->leaf0[i] : 0;
        if (leaf == 1) regs[0] = k->eax1, regs[2] = k->ecx1;
    };
    return fid_msr_readable(read_cpu_facts(answer, &known)) ? status_success : status_not_supported;
}

int32_t check_nb_function(bool read, uint32_t dword0)
{
    const uint32_t vendor = dword0 & 0xFFFF;
    if (!read || vendor == 0xFFFF || vendor == 0) return status_no_such_device; // nothing answers
    return dword0 == nb_k8_misc_control_id ? status_success : status_not_supported;
}

bool handle_may_write(bool have_context, uint32_t desired, bool have_state, uint32_t granted)
{
    constexpr uint32_t file_write_data = 0x0002, generic_write = 0x40000000, generic_all = 0x10000000;
    if (!have_context) return false;
    const uint32_t access = have_state ? granted : desired;
    return (access & (file_write_data | generic_write | generic_all)) != 0;
}

bool request_writes(uint32_t code) { return code == IOCTL_TSC_REQUEST || code == IOCTL_PCI_WRITE; }

bool pci_write_value(uint32_t current, uint32_t asked, uint32_t* to_write)
{
    if ((current ^ asked) & ~nb_bit) return false;
    *to_write = (current & ~nb_bit) | (asked & nb_bit);
    return true;
}

} // namespace tkd
