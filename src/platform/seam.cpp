#include "platform/seam.h"
#include "platform/device_search.h"
#include "platform/tsc_read.h"
#include "common/trace.h"

#include <intrin.h>
#include <string.h>

namespace {

// The skew measurement sets a TSC read against a signal another processor gave: the read on
// one side comes after a load saw the other side's store. RDTSC alone does not wait for
// earlier loads, so it may run while the load that saw the signal is still in flight, and
// the round trips that look shortest (the ones the midpoint method keeps) are exactly those
// cut short that way. Each read below therefore starts only after every earlier load has
// completed. Nothing is needed after the read: a store that follows it becomes visible only
// once it retires, after the counter was read, and the answer's store carries the value.
ULONGLONG read_rdtscp()
{
    // RDTSCP waits until every earlier instruction has executed and every earlier load is
    // globally visible.
    DWORD low, high, aux;
    asm volatile("rdtscp" : "=a"(low), "=d"(high), "=c"(aux) : : "memory");
    return static_cast<ULONGLONG>(high) << 32 | low;
}

ULONGLONG read_mfence()
{
    // On AMD processors LFENCE need not order RDTSC (older models do not make it dispatch-
    // serializing); MFENCE completes every earlier load and store first.
    DWORD low, high;
    asm volatile("mfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
    return static_cast<ULONGLONG>(high) << 32 | low;
}

ULONGLONG read_lfence()
{
    // On Intel processors LFENCE lets nothing later start until every earlier instruction,
    // loads included, has completed locally.
    DWORD low, high;
    asm volatile("lfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
    return static_cast<ULONGLONG>(high) << 32 | low;
}

ULONGLONG read_cpuid()
{
    // Without SSE2 there is no fence: CPUID serializes everything before it.
    DWORD a = 0, b, c = 0, d, low, high;
    asm volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d) : : "memory");
    asm volatile("rdtsc" : "=a"(low), "=d"(high) : : "memory");
    return static_cast<ULONGLONG>(high) << 32 | low;
}

// CPUID of the processor we run on, straight from the instruction: how to order a read is a
// fact of this processor, whatever machine the seam stands for.
void own_cpuid(DWORD leaf, DWORD regs[4])
{
    int r[4];
    __cpuid(r, static_cast<int>(leaf));
    for (int i = 0; i < 4; ++i) regs[i] = static_cast<DWORD>(r[i]);
}

constexpr DWORD EDX1_SSE2 = 1u << 26;
constexpr DWORD EDX80000001_RDTSCP = 1u << 27;

tsc_ordering choose_ordering()
{
    DWORD regs[4];
    own_cpuid(0, regs);
    const DWORD basic_leaves = regs[0];
    // "AuthenticAMD" in EBX, EDX, ECX.
    const bool amd = memcmp(&regs[1], "Auth", 4) == 0 && memcmp(&regs[3], "enti", 4) == 0 &&
                     memcmp(&regs[2], "cAMD", 4) == 0;
    own_cpuid(0x80000000, regs);
    if (regs[0] >= 0x80000001 && regs[0] <= 0x8000FFFF) {
        own_cpuid(0x80000001, regs);
        if (regs[3] & EDX80000001_RDTSCP) return tsc_ordering::rdtscp;
    }
    if (basic_leaves >= 1) {
        own_cpuid(1, regs);
        if (regs[3] & EDX1_SSE2) return amd ? tsc_ordering::mfence : tsc_ordering::lfence;
    }
    return tsc_ordering::cpuid;
}

// -1 until chosen; threads that choose at once all choose the same.
volatile LONG chosen_ordering = -1;

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
                                       win32_cpuid, platform_ordered_tsc, win32_bind_thread};
const DeviceOps win32_device = {find_driver_interface, win32_open, win32_control, win32_close};

const ProcessorOps* current_processors = &win32_processors;
const DeviceOps* current_device = &win32_device;

// The path the last search found, while it still opens. Zero-initialized, with no
// constructor to run: opens come before static construction ends (the simulated machine
// installs itself from a static initializer) and while the process ends alike, and a local
// static with a constructor would bring the C++ runtime's guarded initialization, with its
// exceptions (some 60 KB), into the program. A spin lock guards it: it is held for the copy
// of a path.
struct FoundPath {
    volatile LONG lock;
    bool known;
    GUID interface_class;
    char path[device_path_size];
};
FoundPath found_path;

class FoundLocked {
public:
    FoundLocked()
    {
        while (InterlockedExchange(&found_path.lock, 1)) SwitchToThread();
    }
    ~FoundLocked() { InterlockedExchange(&found_path.lock, 0); }
    FoundLocked(const FoundLocked&) = delete;
    FoundLocked& operator=(const FoundLocked&) = delete;
};

bool known_path(const GUID* interface_class, char* path)
{
    FoundLocked locked;
    const bool known = found_path.known && IsEqualGUID(found_path.interface_class, *interface_class);
    if (known) memcpy(path, found_path.path, sizeof found_path.path);
    return known;
}

void keep_path(const GUID* interface_class, const char* path)
{
    FoundLocked locked;
    found_path.interface_class = *interface_class;
    memcpy(found_path.path, path, sizeof found_path.path);
    found_path.known = true;
}

void forget_path()
{
    FoundLocked locked;
    found_path.known = false;
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

tsc_ordering platform_tsc_ordering()
{
    LONG chosen = __atomic_load_n(&chosen_ordering, __ATOMIC_ACQUIRE);
    if (chosen < 0) {
        chosen = static_cast<LONG>(choose_ordering());
        __atomic_store_n(&chosen_ordering, chosen, __ATOMIC_RELEASE);
    }
    return static_cast<tsc_ordering>(chosen);
}

const char* platform_tsc_ordering_name()
{
    switch (platform_tsc_ordering()) {
    case tsc_ordering::rdtscp: return "RDTSCP";
    case tsc_ordering::mfence: return "MFENCE before RDTSC";
    case tsc_ordering::lfence: return "LFENCE before RDTSC";
    case tsc_ordering::cpuid: break;
    }
    return "CPUID before RDTSC";
}

ULONGLONG platform_ordered_tsc()
{
    switch (platform_tsc_ordering()) {
    case tsc_ordering::rdtscp: return read_rdtscp();
    case tsc_ordering::mfence: return read_mfence();
    case tsc_ordering::lfence: return read_lfence();
    case tsc_ordering::cpuid: break;
    }
    return read_cpuid();
}

DWORD platform_processors_out_of_reach(DWORD* groups)
{
    *groups = 1;
    if (current_processors != &win32_processors) return 0;
    // Windows 7 on: every processor of every group; before it, one group of at most 32 (on
    // a 32-bit process) is all there is.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    typedef DWORD(WINAPI * ActiveCount)(WORD);
    typedef WORD(WINAPI * GroupCount)();
    ActiveCount active = kernel ? reinterpret_cast<ActiveCount>(
                                      reinterpret_cast<void*>(GetProcAddress(kernel, "GetActiveProcessorCount")))
                                : nullptr;
    GroupCount group_count = kernel ? reinterpret_cast<GroupCount>(reinterpret_cast<void*>(
                                          GetProcAddress(kernel, "GetActiveProcessorGroupCount")))
                                    : nullptr;
    if (group_count) *groups = group_count();
    if (!active) return 0;
    const DWORD all = active(0xFFFF); // ALL_PROCESSOR_GROUPS
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 0;
    DWORD reachable = 0;
    for (DWORD_PTR m = system_mask; m; m &= m - 1) ++reachable;
    return all > reachable ? all - reachable : 0;
}

const ProcessorOps& platform_processors() { return *current_processors; }
const DeviceOps& platform_device() { return *current_device; }

void platform_install(const ProcessorOps* processors, const DeviceOps* device)
{
    current_processors = processors ? processors : &win32_processors;
    current_device = device ? device : &win32_device;
    forget_path();
}
