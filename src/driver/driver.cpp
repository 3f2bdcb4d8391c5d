#include "driver/driver.h"
#include "common/handle.h"
#include "common/trace.h"
#include "platform/seam.h"

#include <stddef.h>

const GUID tsc_driver_interface_class = {
    0x36FC3AB9, 0x5ABB, 0x42BA, {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5A}};

namespace {

// The byte layouts the driver reads and writes. Nothing outside this file builds them.
#pragma pack(push, 1)
struct PciRequest {
    BYTE bus;
    BYTE device;
    BYTE function;
    BYTE width; // access width in bytes
    BYTE reg;
    BYTE reserved;
    DWORD value; // write: the value; read: 0 in, the dword out
};
struct MsrRequest {
    DWORD msr;
    DWORD low;
    DWORD high;
    BYTE reserved[8];
};
struct TscRequest {
    DWORD word;
    DWORD interval; // REGISTER_TSC_DRIFT only
};
struct TscReply {
    LONG status;
    LONG ret_code;
};
#pragma pack(pop)

static_assert(sizeof(PciRequest) == 10 && offsetof(PciRequest, value) == 6);
static_assert(sizeof(MsrRequest) == 20 && offsetof(MsrRequest, low) == 4 && offsetof(MsrRequest, high) == 8);
static_assert(sizeof(TscRequest) == 8);
static_assert(sizeof(TscReply) == 8);

constexpr DWORD command_number_mask = 0x00FFFFFF;

// Every request to the driver goes out here.
BOOL send_request(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
{
    DWORD returned = 0; // not examined: the layouts say what comes back
    return platform_device().control(device, code, in, in_size, out, out_size, &returned);
}

// Requests that use one buffer for both directions.
template <class Request>
BOOL send_in_place(HANDLE device, DWORD code, Request& request)
{
    return send_request(device, code, &request, sizeof request, &request, sizeof request);
}

PciRequest pci_request(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD value)
{
    PciRequest request = {};
    request.bus = bus;
    request.device = device;
    request.function = function;
    request.width = 4;
    request.reg = reg;
    request.value = value;
    return request;
}

[[maybe_unused]] const char* command_name(DWORD word)
{
    switch (word & command_number_mask) {
    case SYNC_CORE_TSC: return "SYNC_CORE_TSC";
    case REGISTER_TSC_DRIFT: return "REGISTER_TSC_DRIFT";
    case Deregister_TSC_DRIFT: return "Deregister_TSC_DRIFT";
    case SYNC_NODE_TSC: return "SYNC_NODE_TSC";
    default: return "TSC command";
    }
}

} // namespace

int ReadPCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD* value)
{
    PciRequest request = pci_request(bus, device, function, reg, 0);
    unique_device handle(open_tsc_device());
    if (!handle) return 0;
    BOOL done = send_in_place(handle.get(), IOCTL_PCI_READ, request);
    handle.reset();
    if (done) *value = request.value;
    return done;
}

int WritePCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD value)
{
    PciRequest request = pci_request(bus, device, function, reg, value);
    unique_device handle(open_tsc_device());
    if (!handle) return 0;
    return send_in_place(handle.get(), IOCTL_PCI_WRITE, request);
}

int ReadMSR64(DWORD msr, ULONGLONG* value)
{
    MsrRequest request = {};
    unique_device handle(open_tsc_device());
    if (!handle) {
        *value = 0;
        return 0;
    }
    request.msr = msr;
    BOOL done = send_in_place(handle.get(), IOCTL_MSR_READ, request);
    // Stored whatever the driver said: a request that wrote nothing back leaves the
    // cleared buffer, so the value is 0.
    *value = (static_cast<ULONGLONG>(request.high) << 32) | request.low;
    return done;
}

DWORD sync_command_word(DWORD command, BYTE node, BYTE core)
{
    DWORD word = command;
    word |= static_cast<DWORD>(node & 0x07) << 24;
    word |= static_cast<DWORD>(core & 0x07) << 28;
    return word;
}

DWORD sync_node_command_word(BYTE destination_node)
{
    DWORD word = SYNC_NODE_TSC;
    word |= static_cast<DWORD>(destination_node & 0x07) << 28;
    return word;
}

DWORD drift_command_word(DWORD command, BYTE node, BYTE core)
{
    DWORD word = command;
    word |= static_cast<DWORD>(core & 0x1F) << 24;
    word |= static_cast<DWORD>(node & 0x07) << 29;
    return word;
}

TscResult send_tsc_command(HANDLE device, DWORD word, DWORD interval, TscReplyWords* reply_words)
{
    // Nothing is ever sent on a handle that did not open.
    if (device == INVALID_HANDLE_VALUE) return TscResult::undelivered;

    TscRequest request = {};
    request.word = word;
    if ((word & command_number_mask) == REGISTER_TSC_DRIFT) request.interval = interval;

    // A reply word the driver did not write must not read as success: both start non-zero.
    TscReply reply;
    reply.status = -1;
    reply.ret_code = -1;

    if (!send_request(device, IOCTL_TSC_REQUEST, &request, sizeof request, &reply, sizeof reply)) {
        [[maybe_unused]] DWORD error = GetLastError();
        TRACE("driver send_tsc_command : DeviceIoControl( %d ) failed!\n", static_cast<int>(error));
        return TscResult::undelivered;
    }
    if (reply_words) {
        reply_words->status = reply.status;
        reply_words->ret_code = reply.ret_code;
    }
    if (reply.status != 0 || reply.ret_code != 0) {
        TRACE("driver send_tsc_command : %s: Status[ %ld ]  RetCode[ %ld ]\n", command_name(word),
              static_cast<long>(reply.status), static_cast<long>(reply.ret_code));
        return TscResult::refused;
    }
    if ((word & command_number_mask) != Deregister_TSC_DRIFT)
        TRACE("driver send_tsc_command : %s: registered succesfully\n", command_name(word));
    return TscResult::accepted;
}

HANDLE open_tsc_device() { return open_driver_interface(&tsc_driver_interface_class); }

void close_tsc_device(HANDLE device)
{
    if (device != INVALID_HANDLE_VALUE) platform_device().close(device);
}
