#include "follow/started.h"

#include <algorithm>
#include <string.h>

namespace {

using enum_processes_fn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);

// psapi.dll's EnumProcesses (XP on), looked up at each look: psapi.dll stays loaded.
enum_processes_fn enum_processes()
{
    HMODULE psapi = GetModuleHandleA("psapi.dll");
    if (!psapi) psapi = LoadLibraryA("psapi.dll");
    return psapi ? reinterpret_cast<enum_processes_fn>(reinterpret_cast<void*>(GetProcAddress(psapi, "EnumProcesses")))
                 : nullptr;
}

} // namespace

bool started_processes::look(void (*each)(DWORD id, void* context), void* context)
{
    enum_processes_fn read_ids = enum_processes();
    if (!read_ids) return false;
    int count = 0;
    for (;;) {
        if (capacity_ == 0 || count * 2 > capacity_) {
            // Room for twice the processes there were: a full buffer may have cut the list.
            const int capacity = capacity_ ? capacity_ * 2 : 1024;
            void* known = HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(DWORD));
            void* now = HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(DWORD));
            if (!known || !now) {
                if (known) HeapFree(GetProcessHeap(), 0, known);
                if (now) HeapFree(GetProcessHeap(), 0, now);
                return false;
            }
            if (known_) {
                memcpy(known, known_, known_count_ * sizeof(DWORD));
                HeapFree(GetProcessHeap(), 0, known_);
                HeapFree(GetProcessHeap(), 0, now_);
            }
            known_ = static_cast<DWORD*>(known);
            now_ = static_cast<DWORD*>(now);
            capacity_ = capacity;
        }
        DWORD bytes = 0;
        if (!read_ids(now_, capacity_ * sizeof(DWORD), &bytes)) return false;
        count = static_cast<int>(bytes / sizeof(DWORD));
        if (count * 2 <= capacity_) break;
    }
    std::sort(now_, now_ + count);
    // The ids of now that the last look did not have: one walk through both sorted lists.
    if (each && noted_) {
        int k = 0;
        for (int i = 0; i < count; ++i) {
            while (k < known_count_ && known_[k] < now_[i]) ++k;
            if (k < known_count_ && known_[k] == now_[i]) continue;
            each(now_[i], context);
        }
    }
    DWORD* swapped = known_;
    known_ = now_;
    now_ = swapped;
    known_count_ = count;
    noted_ = true;
    return true;
}

void started_processes::forget()
{
    if (known_) HeapFree(GetProcessHeap(), 0, known_);
    if (now_) HeapFree(GetProcessHeap(), 0, now_);
    known_ = now_ = nullptr;
    known_count_ = capacity_ = 0;
    noted_ = false;
}
