#include "platform/seam.h"
#include "platform/device_search.h"

#include <intrin.h>

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

HANDLE win32_open(const GUID* interface_class) { return open_driver_interface(interface_class); }

BOOL win32_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                   DWORD* bytes_returned)
{
    return DeviceIoControl(device, code, in, in_size, out, out_size, bytes_returned, nullptr);
}

BOOL win32_close(HANDLE device) { return CloseHandle(device); }

const ProcessorOps win32_processors = {win32_processor_count, win32_get_affinity, win32_set_affinity,
                                       win32_cpuid, win32_read_tsc, win32_bind_thread};
const DeviceOps win32_device = {win32_open, win32_control, win32_close};

const ProcessorOps* current_processors = &win32_processors;
const DeviceOps* current_device = &win32_device;

} // namespace

const ProcessorOps& platform_processors() { return *current_processors; }
const DeviceOps& platform_device() { return *current_device; }

void platform_install(const ProcessorOps* processors, const DeviceOps* device)
{
    current_processors = processors ? processors : &win32_processors;
    current_device = device ? device : &win32_device;
}
