// The in-process seam: the only two things the program asks of the machine that a test
// machine cannot give truly. The Win32 implementations are the default; the simulated
// machine (sim/) installs its own before anything runs.
#pragma once
#include <windows.h>

// The processors of this machine, as the process sees them.
struct ProcessorOps {
    DWORD (*processor_count)();                                       // GetSystemInfo's dwNumberOfProcessors
    BOOL (*get_affinity)(DWORD_PTR* process_mask, DWORD_PTR* system_mask); // GetProcessAffinityMask, this process
    BOOL (*set_affinity)(DWORD_PTR process_mask);                     // SetProcessAffinityMask, this process
    void (*cpuid)(DWORD leaf, DWORD regs[4]);                         // EAX, EBX, ECX, EDX on the current processor
    ULONGLONG (*read_tsc)();                                          // the TSC of the processor the calling thread runs on
    DWORD_PTR (*bind_thread)(DWORD_PTR thread_mask); // SetThreadAffinityMask, calling thread: previous mask, 0 = failed
};

// The TSC driver's device: open (INVALID_HANDLE_VALUE when absent), one request, close.
struct DeviceOps {
    HANDLE (*open)(const GUID* interface_class);
    BOOL (*control)(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* bytes_returned);
    BOOL (*close)(HANDLE device);
};

const ProcessorOps& platform_processors();
const DeviceOps& platform_device();

// Replaces either implementation; a null argument puts the Win32 one back.
void platform_install(const ProcessorOps* processors, const DeviceOps* device);
