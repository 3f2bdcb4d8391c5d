// Sends tickmend.sys, found by tickmend's own device search, every request it must refuse,
// then reads what the allowed requests see: the refused ones changed nothing. Exit code:
// the number of rows that went otherwise; each is printed. With "foreign" (a machine whose
// processor and northbridge are not AMD's): the allowed requests too are refused.
#include "platform/device_search.h"
#include "request_checks.h"

#include <windows.h>
#include <cstdio>
#include <cstring>
#include <initializer_list>

using namespace tkd;

namespace {

const GUID tsc_class = {0x36FC3AB9, 0x5ABB, 0x42BA, {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5A}};
HANDLE device;
int faults;

void fault(const char* what, unsigned long a, unsigned long b)
{
    std::printf("FAULT %s (%#lx, %#lx)\n", what, a, b);
    ++faults;
}

// The request must fail, and the buffer come back as it went.
void refused(const char* what, DWORD code, const BYTE* in, DWORD in_size, DWORD out_size)
{
    BYTE buffer[64];
    std::memset(buffer, 0xA5, sizeof buffer);
    std::memcpy(buffer, in, in_size);
    DWORD returned = 12345;
    if (DeviceIoControl(device, code, buffer, in_size, buffer, out_size, &returned, nullptr)) fault(what, code, in_size);
    else if (std::memcmp(buffer, in, in_size) != 0) fault("buffer touched", code, in_size);
}

bool pci(DWORD code, DWORD* value)
{
    BYTE r[pci_request_size] = {nb_bus, nb_device, nb_function, 4, nb_offset, 0};
    put32(r + 6, *value);
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, r, sizeof r, r, sizeof r, &returned, nullptr)) return false;
    *value = get32(r + 6);
    return true;
}

// The MSR and northbridge requests that a machine of AMD's takes, on one that is not.
int foreign()
{
    BYTE msr[msr_request_size] = {};
    put32(msr, msr_fid_status);
    BYTE r[msr_request_size];
    std::memcpy(r, msr, sizeof r);
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_MSR_READ, r, sizeof r, r, sizeof r, &returned, nullptr) ||
        GetLastError() != ERROR_NOT_SUPPORTED)
        fault("msr read on a processor without it", IOCTL_MSR_READ, GetLastError());
    DWORD value = 0x010A0C20;
    for (DWORD code : {IOCTL_PCI_READ, IOCTL_PCI_WRITE})
        if (pci(code, &value) || GetLastError() != ERROR_NOT_SUPPORTED)
            fault("northbridge request to another vendor's device", code, GetLastError());
    CloseHandle(device);
    std::printf("%d faults on a foreign machine\n", faults);
    return faults;
}

} // namespace

int main(int argc, char** argv)
{
    char path[512];
    if (!find_driver_interface(&tsc_class, path, sizeof path)) return std::printf("FAULT no device\n"), 100;
    device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return std::printf("FAULT cannot open %s\n", path), 100;
    if (argc == 2 && std::strcmp(argv[1], "foreign") == 0) return foreign();

    DWORD before = 0;
    if (!pci(IOCTL_PCI_READ, &before)) fault("northbridge read", 0, 0);
    const BYTE pci_good[pci_request_size] = {nb_bus, nb_device, nb_function, 4, nb_offset, 0};
    BYTE msr_good[msr_request_size] = {};
    put32(msr_good, msr_fid_status);

    // Each size but the right one, for each code.
    const struct { DWORD code; const BYTE* in; DWORD size; } codes[] = {
        {IOCTL_PCI_READ, pci_good, 10}, {IOCTL_PCI_WRITE, pci_good, 10}, {IOCTL_MSR_READ, msr_good, 20}};
    for (const auto& c : codes)
        for (DWORD in : {c.size - 1, c.size + 1})
            refused("size", c.code, c.in, in, c.size), refused("size", c.code, c.in, c.size, in);
    // Unknown codes.
    for (DWORD code : {0xFFF02808u, 0xFFF02805u, 0xFFF06804u, 0xFFF02834u, 0x0022285Cu})
        refused("code", code, pci_good, 10, 10);
    // Every other PCI address, for a read and a write.
    const struct { int byte; BYTE value; } addresses[] = {{0, 1}, {1, 23}, {1, 25}, {2, 2}, {2, 4}, {3, 2}, {4, 0x80}, {4, 0x88}, {5, 1}};
    for (const auto& a : addresses) {
        BYTE r[pci_request_size];
        std::memcpy(r, pci_good, sizeof r);
        r[a.byte] = a.value;
        refused("pci address", IOCTL_PCI_READ, r, 10, 10);
        put32(r + 6, before);
        refused("pci address", IOCTL_PCI_WRITE, r, 10, 10);
    }
    // Every bit but the power-management one.
    for (int bit = 0; bit < 32; ++bit) {
        if (bit == 24) continue;
        BYTE r[pci_request_size];
        std::memcpy(r, pci_good, sizeof r);
        put32(r + 6, before ^ (1u << bit));
        refused("pci bit", IOCTL_PCI_WRITE, r, 10, 10);
    }
    // Other MSRs.
    for (DWORD msr : {0x10u, 0x3Bu, 0x1Bu, 0xC0010041u}) {
        BYTE r[msr_request_size] = {};
        put32(r, msr);
        refused("msr", IOCTL_MSR_READ, r, 20, 20);
    }

    DWORD after = 0;
    if (!pci(IOCTL_PCI_READ, &after) || after != before) fault("northbridge changed", before, after);
    // The one bit may change, and back.
    DWORD cleared = before & ~nb_bit, seen = 0;
    if (!pci(IOCTL_PCI_WRITE, &cleared) || !pci(IOCTL_PCI_READ, &seen) || seen != cleared) fault("bit clear", cleared, seen);
    DWORD restored = before;
    if (!pci(IOCTL_PCI_WRITE, &restored) || !pci(IOCTL_PCI_READ, &seen) || seen != before) fault("bit set", before, seen);
    // TSC commands on the two-node machine (processor 0: node 0, processor 1: node 1): an
    // unknown one, bits outside the layout, processors that do not exist, and a withdrawal,
    // which may come from anywhere.
    const struct { DWORD word; int32_t status; int32_t ret; } commands[] = {
        {0x0000000B, status_invalid_parameter, ret_refused}, {0x08000007, status_invalid_parameter, ret_refused},
        {0x03000007, status_invalid_parameter, ret_refused}, {0x3000000A, status_invalid_parameter, ret_refused},
        {0xA0000009, status_invalid_parameter, ret_refused}, {0x20000009, status_success, ret_done}};
    for (const auto& c : commands) {
        BYTE in[8] = {}, out[8] = {};
        put32(in, c.word);
        DWORD returned = 0;
        if (!DeviceIoControl(device, IOCTL_TSC_REQUEST, in, 8, out, 8, &returned, nullptr) ||
            static_cast<int32_t>(get32(out)) != c.status || static_cast<int32_t>(get32(out + 4)) != c.ret)
            fault("tsc reply", c.word, get32(out + 4));
    }
    CloseHandle(device);
    std::printf("%d faults; northbridge %#lx\n", faults, before);
    return faults;
}
