#include "platform/device_search.h"
#include "common/handle.h"
#include "common/trace.h"

#include <setupapi.h>
#include <stddef.h>

namespace {

// The SetupAPI structures as a 32-bit program passes them: DevicePath follows cbSize
// directly, and cbSize names only the fixed part (the DWORD and one character).
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
constexpr DWORD detail_fixed_size = 5;

struct devinfo_traits {
    using type = HDEVINFO;
    static type empty() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { SetupDiDestroyDeviceInfoList(h); }
};
struct local_traits {
    using type = HLOCAL;
    static type empty() { return nullptr; }
    static void close(type h) { LocalFree(h); }
};
using unique_devinfo = tk::unique_any<devinfo_traits>;
using unique_local = tk::unique_any<local_traits>;

// The device search itself; every owner releases what it holds on the way out.
HANDLE open_first_interface(const GUID* interface_class)
{
    unique_devinfo set(
        SetupDiGetClassDevsA(interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        TRACE("driver open_driver_interface : SetupDiGetClassDevs( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return INVALID_HANDLE_VALUE;
    }
    TRACE("driver open_driver_interface : Found GUID device class\n");

    // Only the first interface of the class is ever used.
    SP_DEVICE_INTERFACE_DATA interface_data = {};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, interface_class, 0, &interface_data)) {
        TRACE("driver open_driver_interface : SetupDiEnumDeviceInterfaces( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return INVALID_HANDLE_VALUE;
    }

    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, nullptr, 0, &required, nullptr)) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail() failed to get size for "
              "SP_DEVICE_INTERFACE_DETAIL_DATA\n");
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD error = GetLastError(); error != ERROR_INSUFFICIENT_BUFFER) {
        TRACE("driver open_driver_interface : GetLastError() did not return ERROR_INSUFFICIENT_BUFFER "
              "( %d )\n",
              static_cast<int>(error));
        return INVALID_HANDLE_VALUE;
    }
    // A size that cannot even hold the fixed part would have us write past the buffer.
    if (required < detail_fixed_size) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail() failed to get size for "
              "SP_DEVICE_INTERFACE_DETAIL_DATA\n");
        return INVALID_HANDLE_VALUE;
    }

    unique_local buffer(LocalAlloc(LMEM_ZEROINIT, required));
    if (!buffer) {
        TRACE("driver open_driver_interface : LocalAlloc( %d ) failed to allocate "
              "SP_INTERFACE_DEVICE_DETAIL_DATA\n",
              static_cast<int>(required));
        return INVALID_HANDLE_VALUE;
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = detail_fixed_size;
    if (!SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, detail, required, nullptr, nullptr)) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return INVALID_HANDLE_VALUE;
    }

    return CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

} // namespace

HANDLE open_driver_interface(const GUID* interface_class)
{
    TRACE("open_driver_interface - ENTRY\n");
    HANDLE device = open_first_interface(interface_class);
    TRACE("open_driver_interface - EXIT\n");
    return device;
}

