// Sends tickmend.sys, found by tickmend's own device search, every request it must refuse,
// then reads what the allowed requests see: the refused ones changed nothing. Exit code:
// the number of rows that went otherwise; each is printed. With "foreign" (a machine whose
// processor and northbridge are not AMD's): the allowed requests too are refused; "access":
// a handle opened for reading is refused every request that changes the machine, one opened
// for writing is served; "flood": 1,000 syncs in a row are served within the caller's budget
// and the rest told busy; "msr-refused" and "nb-refused": that request alone is not supported.
// Runs on the simulated machine TICKMEND_SIM_MACHINE names (its requesting processor and the
// access an open asks for reach the driver's test build through it).
#include "platform/device_search.h"
#include "platform/seam.h"
#include "request_checks.h"
#include "sim/counter_block.h"
#include "sim/sim.h"

#include <windows.h>
#include <cstdio>
#include <cstring>
#include <initializer_list>

using namespace tkd;

namespace {

const GUID tsc_class = tsc_interface_class.as<GUID>();
char path[512];
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

// One TSC command from the processor the process is bound to; false when not delivered.
bool tsc(HANDLE handle, uint32_t word, uint32_t interval, tsc_reply* reply)
{
    BYTE in[tsc_request_size] = {}, out[tsc_reply_size];
    std::memset(out, 0xA5, sizeof out);
    put32(in, word);
    put32(in + tsc_interval_at, interval);
    DWORD returned = 0;
    const BOOL sent = platform_device().control(handle, IOCTL_TSC_REQUEST, in, sizeof in, out, sizeof out, &returned);
    reply->status = static_cast<int32_t>(get32(out));
    reply->ret_code = static_cast<int32_t>(get32(out + 4));
    return sent;
}

// A read-only handle: each request that changes the machine fails with access denied and
// leaves its buffers as they went; a read-write one is served.
int access()
{
    platform_processors().set_affinity(1); // processor 0: node 0's first, sends node 1's sync
    HANDLE ro = sim_open_system_device(path, GENERIC_READ);
    CloseHandle(device);
    device = ro;
    DWORD before = 0;
    if (!pci(IOCTL_PCI_READ, &before)) fault("northbridge read on a read-only handle", 0, GetLastError());
    BYTE w[pci_request_size] = {nb_bus, nb_device, nb_function, 4, nb_offset, 0};
    put32(w + pci_value_at, before ^ nb_bit);
    refused("pci write on a read-only handle", IOCTL_PCI_WRITE, w, 10, 10);
    if (GetLastError() != ERROR_ACCESS_DENIED) fault("pci write: not access denied", 0, GetLastError());
    const struct { uint32_t word, interval; } writing[] = {
        {sync_node_command_word(1), 0}, {sync_command_word(SYNC_CORE_TSC, 0, 0), 0},
        {drift_command_word(REGISTER_TSC_DRIFT, 0, 0), 1000}, {drift_command_word(Deregister_TSC_DRIFT, 0, 0), 0}};
    for (const auto& c : writing) {
        tsc_reply reply;
        if (tsc(ro, c.word, c.interval, &reply) || GetLastError() != ERROR_ACCESS_DENIED)
            fault("tsc command on a read-only handle", c.word, GetLastError());
        else if (static_cast<uint32_t>(reply.status) != 0xA5A5A5A5u) fault("reply written", c.word, reply.status);
    }
    DWORD after = 0;
    if (!pci(IOCTL_PCI_READ, &after) || after != before) fault("northbridge changed", before, after);
    CloseHandle(ro);
    device = sim_open_system_device(path, GENERIC_READ | GENERIC_WRITE);
    DWORD cleared = before ^ nb_bit, seen = 0, restored = before;
    if (!pci(IOCTL_PCI_WRITE, &cleared) || !pci(IOCTL_PCI_READ, &seen) || seen != cleared) fault("rw pci write", 0, seen);
    if (!pci(IOCTL_PCI_WRITE, &restored)) fault("rw pci write back", 0, GetLastError());
    tsc_reply reply;
    if (!tsc(device, sync_node_command_word(1), 0, &reply) || reply == reply_refused || reply == reply_busy)
        fault("rw node sync", reply.status, reply.ret_code);
    for (const auto& c : {writing[2], writing[3]})
        if (!tsc(device, c.word, c.interval, &reply) || !(reply == reply_done)) fault("rw drift", c.word, reply.ret_code);
    CloseHandle(device);
    std::printf("%d faults on handles by their access\n", faults);
    return faults;
}

// 1,000 node syncs in a row: at most the caller's budget served (its burst and 1% of the
// time it took, each meeting at least the minimum), the rest busy.
int flood()
{
    platform_processors().set_affinity(1);
    const DWORD start = GetTickCount();
    int served = 0, busy = 0;
    for (int i = 0; i < 1000; ++i) {
        tsc_reply reply;
        if (!tsc(device, sync_node_command_word(1), 0, &reply)) fault("flood: not delivered", i, GetLastError());
        else if (reply == reply_busy) ++busy;
        else if (reply == reply_refused) fault("flood: refused", i, reply.ret_code);
        else ++served;
    }
    const unsigned long elapsed_ms = GetTickCount() - start + 1;
    const unsigned long bound = (sim_meeting_burst_us + elapsed_ms * 1000 / 100) / sim_meeting_min_us + 1;
    if (!busy || static_cast<unsigned long>(served) > bound) fault("flood: served beyond the budget", served, bound);
    // Its budget spent, a sync that makes no meeting (node 0 of processor 0 alone) is still done.
    tsc_reply own;
    if (!tsc(device, sync_node_command_word(0), 0, &own) || !(own == reply_done))
        fault("flood: a sync without a meeting refused", own.status, own.ret_code);
    CloseHandle(device);
    std::printf("flood: %d served (at most %lu), %d busy in %lu ms; %d faults\n", served, bound, busy, elapsed_ms, faults);
    return faults;
}

// One kind of request refused as not supported (the MSR on a hypervisor, the northbridge of
// another device), the other served.
int one_refused(bool msr_refused)
{
    BYTE r[msr_request_size] = {};
    put32(r, msr_fid_status);
    DWORD returned = 0, value = 0;
    const BOOL msr = DeviceIoControl(device, IOCTL_MSR_READ, r, sizeof r, r, sizeof r, &returned, nullptr);
    const DWORD msr_error = GetLastError();
    const BOOL nb = pci(IOCTL_PCI_READ, &value);
    const DWORD nb_error = GetLastError();
    if (msr_refused ? msr || msr_error != ERROR_NOT_SUPPORTED : !msr) fault("msr read", msr, msr_error);
    if (msr_refused ? !nb : nb || nb_error != ERROR_NOT_SUPPORTED) fault("northbridge read", nb, nb_error);
    value = 0x010A0C20;
    if (!msr_refused && (pci(IOCTL_PCI_WRITE, &value) || GetLastError() != ERROR_NOT_SUPPORTED))
        fault("northbridge write", 0, GetLastError());
    CloseHandle(device);
    std::printf("%d faults with the %s refused\n", faults, msr_refused ? "MSR" : "northbridge");
    return faults;
}

} // namespace

int main(int argc, char** argv)
{
    char error[256];
    if (!sim_install_shared_from_environment(error, sizeof error)) return std::printf("FAULT %s\n", error), 100;
    if (!find_driver_interface(&tsc_class, path, sizeof path)) return std::printf("FAULT no device\n"), 100;
    device = sim_open_system_device(path, GENERIC_READ | GENERIC_WRITE);
    if (device == INVALID_HANDLE_VALUE) return std::printf("FAULT cannot open %s\n", path), 100;
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "foreign") == 0) return foreign();
    if (std::strcmp(mode, "access") == 0) return access();
    if (std::strcmp(mode, "flood") == 0) return flood();
    if (std::strcmp(mode, "msr-refused") == 0) return one_refused(true);
    if (std::strcmp(mode, "nb-refused") == 0) return one_refused(false);

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
