#include "driver/driver.h"
#include "common/handle.h"
#include "common/trace.h"
#include "platform/seam.h"

#include <stddef.h>

const GUID tsc_driver_interface_class = tkd::tsc_interface_class.as<GUID>();

namespace {

// The byte layouts the driver reads and writes, as the contract places their fields.
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
#pragma pack(pop)

static_assert(sizeof(PciRequest) == tkd::pci_request_size && offsetof(PciRequest, value) == tkd::pci_value_at);
static_assert(sizeof(MsrRequest) == tkd::msr_request_size && offsetof(MsrRequest, low) == tkd::msr_low_at &&
              offsetof(MsrRequest, high) == tkd::msr_high_at);
static_assert(sizeof(TscRequest) == tkd::tsc_request_size && offsetof(TscRequest, interval) == tkd::tsc_interval_at);
static_assert(sizeof(tkd::tsc_reply) == tkd::tsc_reply_size);

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
    request.width = tkd::pci_width;
    request.reg = reg;
    request.value = value;
    return request;
}

[[maybe_unused]] const char* command_name(DWORD word)
{
    const char* name = tkd::command_name(tkd::command_number(word));
    return name ? name : "TSC command";
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

TscResult send_tsc_command(HANDLE device, DWORD word, DWORD interval, TscReplyWords* reply_words)
{
    // Nothing is ever sent on a handle that did not open.
    if (device == INVALID_HANDLE_VALUE) return TscResult::undelivered;

    TscRequest request = {};
    request.word = word;
    if (tkd::command_number(word) == REGISTER_TSC_DRIFT) request.interval = interval;

    // A reply word the driver did not write must not read as success: both start non-zero.
    tkd::tsc_reply reply = {-1, -1};

    if (!send_request(device, IOCTL_TSC_REQUEST, &request, sizeof request, &reply, sizeof reply)) {
        [[maybe_unused]] DWORD error = GetLastError();
        TRACE("driver send_tsc_command : DeviceIoControl( %d ) failed!\n", static_cast<int>(error));
        return TscResult::undelivered;
    }
    if (reply_words) *reply_words = reply;
    if (!(reply == tkd::reply_done)) {
        TRACE("driver send_tsc_command : %s: Status[ %ld ]  RetCode[ %ld ]\n", command_name(word),
              static_cast<long>(reply.status), static_cast<long>(reply.ret_code));
        return TscResult::refused;
    }
    if (tkd::command_number(word) != Deregister_TSC_DRIFT)
        TRACE("driver send_tsc_command : %s: registered succesfully\n", command_name(word));
    return TscResult::accepted;
}

HANDLE open_tsc_device() { return open_driver_interface(&tsc_driver_interface_class); }

void close_tsc_device(HANDLE device)
{
    if (device != INVALID_HANDLE_VALUE) platform_device().close(device);
}
