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

// Room for a device path, its terminating zero included.
constexpr DWORD device_path_size = 512;

// The TSC driver's device: the search for it, an open of the path found, one request, close.
struct DeviceOps {
    // The path of the first device of the class into path; FALSE when there is none.
    BOOL (*find)(const GUID* interface_class, char* path, DWORD path_size);
    HANDLE (*open)(const char* path); // INVALID_HANDLE_VALUE when it cannot be opened
    BOOL (*control)(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* bytes_returned);
    BOOL (*close)(HANDLE device);
};

const ProcessorOps& platform_processors();
const DeviceOps& platform_device();

// Opens the first device of the class for reading and writing: the path the last search
// found, searched for again when none is known or it no longer opens; INVALID_HANDLE_VALUE
// when no device opens. The search is made once for the process, not for every open, so
// that a request costs an open alone. The caller closes the handle.
HANDLE open_driver_interface(const GUID* interface_class);

// Replaces either implementation (and forgets the path found); a null argument puts the
// Win32 one back.
void platform_install(const ProcessorOps* processors, const DeviceOps* device);
