#include "follow/started.h"

#include <winternl.h>
#include <algorithm>
#include <string.h>

namespace {

using query_system_fn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG system_process_information = 5;
constexpr LONG info_length_mismatch = static_cast<LONG>(0xC0000004);

// ntdll.dll's NtQuerySystemInformation (every Windows NT; always loaded), looked up by name.
query_system_fn query_system()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<query_system_fn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                 : nullptr;
}

void* fresh_block(void* old, size_t bytes)
{
    if (old) HeapFree(GetProcessHeap(), 0, old);
    return HeapAlloc(GetProcessHeap(), 0, bytes);
}

} // namespace

bool started_processes::read_system()
{
    query_system_fn query = query_system();
    if (!query) return false;
    for (int tries = 0; tries < 8; ++tries) {
        ULONG needed = 0;
        if (system_) {
            const LONG status = query(system_process_information, system_, system_size_, &needed);
            if (status >= 0) return true;
            if (status != info_length_mismatch) return false;
        }
        // Room for what was needed and a quarter more: processes start between two calls.
        const ULONG size = (needed > system_size_ ? needed : system_size_ ? system_size_ * 2 : 65536) / 4 * 5;
        system_ = fresh_block(system_, size);
        system_size_ = system_ ? size : 0;
        if (!system_) return false;
    }
    return false;
}

bool started_processes::look(void (*each)(DWORD id, void* context), void* context)
{
    if (!read_system()) return false;
    int count = 0;
    for (const BYTE* at = static_cast<const BYTE*>(system_);;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
        if (count == capacity_) {
            const int capacity = capacity_ ? capacity_ * 2 : 512;
            seen* known = static_cast<seen*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(seen)));
            seen* now = static_cast<seen*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(seen)));
            if (!known || !now) {
                if (known) HeapFree(GetProcessHeap(), 0, known);
                if (now) HeapFree(GetProcessHeap(), 0, now);
                return false;
            }
            if (known_) memcpy(known, known_, known_count_ * sizeof(seen));
            if (now_) memcpy(now, now_, count * sizeof(seen));
            if (known_) HeapFree(GetProcessHeap(), 0, known_);
            if (now_) HeapFree(GetProcessHeap(), 0, now_);
            known_ = known, now_ = now, capacity_ = capacity;
        }
        now_[count].id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(process->UniqueProcessId));
        now_[count].created = static_cast<ULONGLONG>(process->CreateTime.QuadPart);
        ++count;
        if (!process->NextEntryOffset) break;
        at += process->NextEntryOffset;
    }
    std::sort(now_, now_ + count, [](const seen& a, const seen& b) { return a.id < b.id; });
    if (each && noted_) tell_new(known_, known_count_, now_, count, each, context);
    seen* swapped = known_;
    known_ = now_;
    now_ = swapped;
    known_count_ = count;
    noted_ = true;
    return true;
}

void started_processes::tell_new(const seen* known, int known_count, const seen* now, int count,
                                 void (*each)(DWORD id, void* context), void* context)
{
    // One walk through both lists.
    int k = 0;
    for (int i = 0; i < count; ++i) {
        while (k < known_count && known[k].id < now[i].id) ++k;
        if (k < known_count && known[k].id == now[i].id && known[k].created == now[i].created) continue;
        each(now[i].id, context);
    }
}

void started_processes::forget()
{
    for (void* block : {static_cast<void*>(known_), static_cast<void*>(now_), system_})
        if (block) HeapFree(GetProcessHeap(), 0, block);
    known_ = now_ = nullptr;
    system_ = nullptr;
    known_count_ = capacity_ = 0;
    system_size_ = 0;
    noted_ = false;
}
