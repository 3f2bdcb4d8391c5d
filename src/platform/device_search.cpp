#include "platform/device_search.h"
#include "common/handle.h"
#include "common/trace.h"

#include <setupapi.h>
#include <stddef.h>
#include <string.h>

namespace {

// The SetupAPI structures as a 32-bit program passes them: DevicePath follows cbSize
// directly, and cbSize names only the fixed part (the DWORD and one character).
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
constexpr DWORD detail_fixed_size = 5;

struct devinfo_traits {
    using type = HDEVINFO;
    static type empty() { return FALSE; }
    static void close(type h) { SetupDiDestroyDeviceInfoList(h); }
};
struct local_traits {
    using type = HLOCAL;
    static type empty() { return nullptr; }
    static void close(type h) { LocalFree(h); }
};
using unique_devinfo = tk::unique_any<devinfo_traits>;
using unique_local = tk::unique_any<local_traits>;

} // namespace

// Every owner releases what it holds on the way out.
BOOL find_driver_interface(const GUID* interface_class, char* path, DWORD path_size)
{
    unique_devinfo set(
        SetupDiGetClassDevsA(interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) {
        TRACE("driver open_driver_interface : SetupDiGetClassDevs( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return FALSE;
    }
    TRACE("driver open_driver_interface : Found GUID device class\n");

    // Only the first interface of the class is ever used.
    SP_DEVICE_INTERFACE_DATA interface_data = {};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, interface_class, 0, &interface_data)) {
        TRACE("driver open_driver_interface : SetupDiEnumDeviceInterfaces( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return FALSE;
    }

    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, nullptr, 0, &required, nullptr)) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail() failed to get size for "
              "SP_DEVICE_INTERFACE_DETAIL_DATA\n");
        return FALSE;
    }
    if (DWORD error = GetLastError(); error != ERROR_INSUFFICIENT_BUFFER) {
        TRACE("driver open_driver_interface : GetLastError() did not return ERROR_INSUFFICIENT_BUFFER "
              "( %d )\n",
              static_cast<int>(error));
        return FALSE;
    }
    // A size that cannot even hold the fixed part would have us write past the buffer.
    if (required < detail_fixed_size) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail() failed to get size for "
              "SP_DEVICE_INTERFACE_DETAIL_DATA\n");
        return FALSE;
    }

    unique_local buffer(LocalAlloc(LMEM_ZEROINIT, required));
    if (!buffer) {
        TRACE("driver open_driver_interface : LocalAlloc( %d ) failed to allocate "
              "SP_INTERFACE_DEVICE_DETAIL_DATA\n",
              static_cast<int>(required));
        return FALSE;
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = detail_fixed_size;
    if (!SetupDiGetDeviceInterfaceDetailA(set.get(), &interface_data, detail, required, nullptr, nullptr)) {
        TRACE("driver open_driver_interface : SetupDiGetDeviceInterfaceDetail( %d ) failed!\n",
              static_cast<int>(GetLastError()));
        return FALSE;
    }

    const size_t length = strlen(detail->DevicePath);
    if (length >= path_size) {
        TRACE("driver open_driver_interface : device path of %d characters does not fit\n",
              static_cast<int>(length));
        return FALSE;
    }
    memcpy(path, detail->DevicePath, length + 1);
    return TRUE;
}

