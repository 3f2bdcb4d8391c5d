// The device Windows finds, in place of the stand-in ("driver system"): the test build of
// tickmend.sys, found by tickmend's own device search and sent every request as Windows
// would. Before each request the simulated machine tells that driver which simulated
// processor the request comes from, since its host runs requests on threads of its own, and
// before each open the access asked for, which Wine does not pass to a driver.
#include "sim/sim.h"
#include "sim/state.h"
#include "sim/counters.h"
#include "platform/device_search.h"

namespace {

HANDLE system_open(const char* path) { return sim_open_system_device(path, GENERIC_READ | GENERIC_WRITE); }

BOOL system_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* bytes_returned)
{
    {
        SimLocked s;
        counters_set_requesting(bound_cpu(*s));
    }
    return DeviceIoControl(device, code, in, in_size, out, out_size, bytes_returned, nullptr);
}

BOOL system_close(HANDLE device) { return CloseHandle(device); }

} // namespace

HANDLE sim_open_system_device(const char* path, DWORD access)
{
    counters_set_opening(access);
    return CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

const DeviceOps sim_system_device_ops = {find_driver_interface, system_open, system_control, system_close};
