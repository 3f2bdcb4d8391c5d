// The simulated machine behind the driver's door (hw.h), for the test build of tickmend.sys:
// the counters are those of the simulated machine's state file (mapped from the path the
// service's value SimState gives), CPUID answers with the APIC IDs of the value ApicIds,
// the vendor of CpuidVendor, leaf 1's EAX, ECX and EDX of Cpuid1Eax, Cpuid1Ecx and Cpuid1Edx,
// leaf 7's EBX of Cpuid7Ebx and 80000001h's EDX of Cpuid80000001Edx (without them a bare AMD
// family 0Fh processor with SSE2), and the frequency-ID MSR, the northbridge dword and its
// function's ID dword are registers of this file, starting as the values FidMsr, Northbridge
// and NorthbridgeId say (0: nothing answers). How the driver chose to read and move the
// counters it writes back to the key (TscRead, CounterWrite: processor 0's). Nothing
// privileged runs here.
#include "hw.h"
#include "../sim/counter_block.h"

namespace {

HANDLE state_file, state_section;
sim_counter_block* block;
UCHAR apic_ids[32];
ULONG apic_count;
uint32_t power_edx;             // CPUID 0x80000007 EDX
char vendor[12] = {'A', 'u', 't', 'h', 'e', 'n', 't', 'i', 'c', 'A', 'M', 'D'};
uint32_t eax1 = 0xF00;          // family 15
uint32_t ecx1;                  // bit 31: a hypervisor
uint32_t edx1 = 1u << 28 | 1u << 26 | 1u << 4; // HTT, SSE2, TSC
uint32_t ebx7;                  // bit 1: IA32_TSC_ADJUST
uint32_t edx_ext1;              // bit 27: RDTSCP
wchar_t service_key[260];
uint64_t fid_msr = 0x0000000E00120A0Aull;
uint32_t northbridge = 0x010A0C20;
uint32_t northbridge_id = 0x11031022; // AMD, the K8 miscellaneous control function

uint32_t caller() { return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

uint64_t ordered_tsc()
{
    uint32_t low, high;
    asm volatile("mfence\n\trdtsc" : "=a"(low), "=d"(high) : : "memory");
    return static_cast<uint64_t>(high) << 32 | low;
}

int64_t offset_now(const volatile sim_counter& c, uint64_t now)
{
    if (c.held || c.ppm == 0) return c.offset;
    const int64_t elapsed = static_cast<int64_t>(now - c.since);
    return c.offset + elapsed / 1000000 * c.ppm + elapsed % 1000000 * c.ppm / 1000000;
}

// One value of the service's key into buffer; its size, 0 when missing.
ULONG query(HANDLE key, const wchar_t* name, void* buffer, ULONG size)
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 520];
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(raw);
    ULONG got = 0;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &n, KeyValuePartialInformation, info, sizeof raw, &got))) return 0;
    const ULONG length = info->DataLength < size ? info->DataLength : size;
    RtlCopyMemory(buffer, info->Data, length);
    return length;
}

// Mapped into the process the driver starts in: its host's, under Wine, where every request,
// DPC and work item runs too. (A driver on Windows would map into system space.)
bool map_state(const wchar_t* path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwCreateFile(&state_file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0)))
        return false;
    LARGE_INTEGER size;
    size.QuadPart = sizeof(sim_counter_block);
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (!NT_SUCCESS(ZwCreateSection(&state_section, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT,
                                    state_file)))
        return false;
    PVOID view = nullptr;
    SIZE_T view_size = 0;
    if (!NT_SUCCESS(ZwMapViewOfSection(state_section, NtCurrentProcess(), &view, 0, 0, nullptr, &view_size, ViewUnmap, 0,
                                       PAGE_READWRITE)))
        return false;
    block = static_cast<sim_counter_block*>(view);
    return block->magic == counter_block_magic;
}

} // namespace

bool hw_start(PUNICODE_STRING registry_path)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registry_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return false;
    wchar_t path[260] = {};
    const ULONG path_bytes = query(key, L"SimState", path, sizeof path - sizeof(wchar_t));
    apic_count = query(key, L"ApicIds", apic_ids, sizeof apic_ids);
    query(key, L"Cpuid80000007Edx", &power_edx, sizeof power_edx);
    query(key, L"FidMsr", &fid_msr, sizeof fid_msr);
    query(key, L"Northbridge", &northbridge, sizeof northbridge);
    query(key, L"NorthbridgeId", &northbridge_id, sizeof northbridge_id);
    query(key, L"Cpuid1Eax", &eax1, sizeof eax1);
    query(key, L"Cpuid1Ecx", &ecx1, sizeof ecx1);
    query(key, L"Cpuid1Edx", &edx1, sizeof edx1);
    query(key, L"Cpuid7Ebx", &ebx7, sizeof ebx7);
    query(key, L"Cpuid80000001Edx", &edx_ext1, sizeof edx_ext1);
    const ULONG key_chars = registry_path->Length / sizeof(wchar_t);
    if (key_chars < 260) {
        RtlCopyMemory(service_key, registry_path->Buffer, registry_path->Length);
        service_key[key_chars] = 0;
    }
    wchar_t name[13] = {};
    if (query(key, L"CpuidVendor", name, sizeof name - sizeof(wchar_t)) == 12 * sizeof(wchar_t))
        for (int i = 0; i < 12; ++i) vendor[i] = static_cast<char>(name[i]);
    ZwClose(key);
    return path_bytes > 0 && map_state(path);
}

void hw_stop()
{
    if (block) ZwUnmapViewOfSection(NtCurrentProcess(), block);
    block = nullptr;
    if (state_section) ZwClose(state_section);
    if (state_file) ZwClose(state_file);
    state_section = state_file = nullptr;
}

KAFFINITY hw_processors()
{
    const ULONG count = apic_count < 32 ? apic_count : 32;
    const KAFFINITY simulated = count >= 32 ? ~static_cast<KAFFINITY>(0) : (static_cast<KAFFINITY>(1) << count) - 1;
    return KeQueryActiveProcessors() & simulated;
}

ULONG hw_requesting_processor(ULONG)
{
    // The request runs in the thread of the process that sent it.
    const auto* r = block ? counter_block_find_requester(block, caller()) : nullptr;
    const int32_t cpu = r ? r->cpu : -1;
    return cpu < 0 ? 32 : static_cast<ULONG>(cpu);
}

void hw_cpuid(ULONG cpu, uint32_t leaf, uint32_t regs[4])
{
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    switch (leaf) {
    case 0: // "GenuineIntel" and the like: EBX, EDX, ECX
        regs[0] = 7;
        RtlCopyMemory(&regs[1], vendor, 4);
        RtlCopyMemory(&regs[3], vendor + 4, 4);
        RtlCopyMemory(&regs[2], vendor + 8, 4);
        break;
    case 1: // the family, HTT, the processor's APIC ID
        regs[0] = eax1;
        regs[1] = static_cast<uint32_t>(cpu < apic_count ? apic_ids[cpu] : cpu) << 24;
        regs[2] = ecx1;
        regs[3] = edx1;
        break;
    case 7: regs[1] = ebx7; break;
    case 0x80000000: regs[0] = 0x80000008; break;
    case 0x80000001: regs[3] = edx_ext1; break;
    case 0x80000007: regs[3] = power_edx; break;
    default: break;
    }
}

uint64_t hw_read_tsc(ULONG cpu)
{
    if (!block || cpu >= 32) return ordered_tsc();
    for (int tries = 0;; ++tries) {
        const int32_t g = __atomic_load_n(&block->generation, __ATOMIC_ACQUIRE);
        if ((g & 1) && tries < 1000000) continue;
        const int64_t offset = block->cpu[cpu].offset;
        const uint64_t since = block->cpu[cpu].since;
        const int32_t ppm = block->cpu[cpu].ppm, held = block->cpu[cpu].held;
        const uint64_t now = ordered_tsc();
        if (__atomic_load_n(&block->generation, __ATOMIC_ACQUIRE) == g || tries >= 1000000) {
            const sim_counter c = {offset, since, ppm, held};
            return now + static_cast<uint64_t>(offset_now(c, now));
        }
    }
}

void hw_shift_tsc(ULONG cpu, int64_t cycles)
{
    if (!block || cpu >= 32) return;
    counter_block_write_begin(block);
    volatile sim_counter& c = block->cpu[cpu];
    const uint64_t now = ordered_tsc();
    c.offset = offset_now(c, now) + cycles;
    c.since = now;
    counter_block_write_end(block);
}

uint64_t hw_cycles() { return ordered_tsc(); }

void hw_use(ULONG cpu, tkd::tsc_read read, tkd::counter_write write)
{
    // The host's counter is read as the host allows; the choice is what the tests look at.
    if (cpu != 0 || !service_key[0]) return;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, service_key);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_SET_VALUE, &attributes))) return;
    const char* names[2] = {tkd::tsc_read_name(read), tkd::counter_write_name(write)};
    const wchar_t* values[2] = {L"TscRead", L"CounterWrite"};
    for (int i = 0; i < 2; ++i) {
        wchar_t text[16] = {};
        for (int c = 0; c < 15 && names[i][c]; ++c) text[c] = static_cast<wchar_t>(names[i][c]);
        UNICODE_STRING value;
        RtlInitUnicodeString(&value, values[i]);
        ZwSetValueKey(key, &value, 0, REG_SZ, text, sizeof text);
    }
    ZwClose(key);
}

// Wine gives a driver no security context at create: the simulated machine says what the
// opener asked for.
bool hw_access_without_context(uint32_t* access)
{
    if (!block) return false;
    // Taken once: an open that did not say (a program outside the simulated machine) is read only.
    auto* r = counter_block_find_requester(block, caller());
    *access = r ? __atomic_exchange_n(&r->opening_access, 0u, __ATOMIC_ACQ_REL) : 0;
    return true;
}

bool hw_read_fid_msr(uint64_t* value)
{
    *value = fid_msr;
    return true;
}

bool hw_read_nb_id(uint32_t* value)
{
    *value = northbridge_id;
    return northbridge_id != 0;
}

bool hw_read_nb(uint32_t* value)
{
    *value = northbridge;
    return true;
}

bool hw_write_nb(uint32_t value)
{
    northbridge = value;
    return true;
}

uintptr_t hw_interrupts_off() { return 0; }
void hw_interrupts_restore(uintptr_t) {}

// A driver host in user mode runs the meeting on threads that the host's scheduler may
// hold up, on a machine busy with other work: the waits are longer here, and more round
// trips give the shortest a chance.
int hw_rounds() { return 2000; }
ULONG hw_arrive_budget_us() { return 200000; }
ULONG hw_answer_budget_us() { return 50000; }
ULONG hw_meeting_burst_us() { return sim_meeting_burst_us; }
ULONG hw_meeting_min_us() { return sim_meeting_min_us; }
