#include "platform/seam.h"
#include "platform/device_search.h"
#include "common/trace.h"

#include <intrin.h>
#include <string.h>

namespace {

DWORD win32_processor_count()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

BOOL win32_get_affinity(DWORD_PTR* process_mask, DWORD_PTR* system_mask)
{
    return GetProcessAffinityMask(GetCurrentProcess(), process_mask, system_mask);
}

BOOL win32_set_affinity(DWORD_PTR process_mask)
{
    return SetProcessAffinityMask(GetCurrentProcess(), process_mask);
}

void win32_cpuid(DWORD leaf, DWORD regs[4])
{
    int r[4];
    __cpuid(r, static_cast<int>(leaf));
    for (int i = 0; i < 4; ++i) regs[i] = static_cast<DWORD>(r[i]);
}

ULONGLONG win32_read_tsc() { return __rdtsc(); }

DWORD_PTR win32_bind_thread(DWORD_PTR thread_mask) { return SetThreadAffinityMask(GetCurrentThread(), thread_mask); }

HANDLE win32_open(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL win32_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                   DWORD* bytes_returned)
{
    return DeviceIoControl(device, code, in, in_size, out, out_size, bytes_returned, nullptr);
}

BOOL win32_close(HANDLE device) { return CloseHandle(device); }

const ProcessorOps win32_processors = {win32_processor_count, win32_get_affinity, win32_set_affinity,
                                       win32_cpuid, win32_read_tsc, win32_bind_thread};
const DeviceOps win32_device = {find_driver_interface, win32_open, win32_control, win32_close};

const ProcessorOps* current_processors = &win32_processors;
const DeviceOps* current_device = &win32_device;

// The path the last search found, while it still opens. Nothing here needs destroying, so
// that opens while the process ends still find it.
struct FoundPath {
    CRITICAL_SECTION lock;
    bool known = false;
    GUID interface_class = {};
    char path[device_path_size] = {};
    FoundPath() { InitializeCriticalSection(&lock); }
};

FoundPath& found()
{
    static FoundPath f;
    return f;
}

bool known_path(const GUID* interface_class, char* path)
{
    FoundPath& f = found();
    EnterCriticalSection(&f.lock);
    const bool known = f.known && IsEqualGUID(f.interface_class, *interface_class);
    if (known) memcpy(path, f.path, sizeof f.path);
    LeaveCriticalSection(&f.lock);
    return known;
}

void keep_path(const GUID* interface_class, const char* path)
{
    FoundPath& f = found();
    EnterCriticalSection(&f.lock);
    f.interface_class = *interface_class;
    memcpy(f.path, path, sizeof f.path);
    f.known = true;
    LeaveCriticalSection(&f.lock);
}

void forget_path()
{
    FoundPath& f = found();
    EnterCriticalSection(&f.lock);
    f.known = false;
    LeaveCriticalSection(&f.lock);
}

} // namespace

HANDLE open_driver_interface(const GUID* interface_class)
{
    TRACE("open_driver_interface - ENTRY\n");
    const DeviceOps& device = platform_device();
    char path[device_path_size];
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (known_path(interface_class, path)) {
        handle = device.open(path);
        if (handle == INVALID_HANDLE_VALUE) forget_path();
    }
    if (handle == INVALID_HANDLE_VALUE && device.find(interface_class, path, sizeof path)) {
        path[sizeof path - 1] = '\0';
        handle = device.open(path);
        if (handle != INVALID_HANDLE_VALUE) keep_path(interface_class, path);
    }
    TRACE("open_driver_interface - EXIT\n");
    return handle;
}

const ProcessorOps& platform_processors() { return *current_processors; }
const DeviceOps& platform_device() { return *current_device; }

void platform_install(const ProcessorOps* processors, const DeviceOps* device)
{
    current_processors = processors ? processors : &win32_processors;
    current_device = device ? device : &win32_device;
    forget_path();
}
