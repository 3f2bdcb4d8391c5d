// The list of followed programs in the registry: one REG_SZ value a program.
#include "follow/follow_list.h"
#include "common/handle.h"

#include <string.h>

namespace {

// The entry as it is stored: spaces and quotes around it dropped, ".exe" added to a name
// without an extension. False when nothing usable is left.
bool normalize(const char* program, char* entry)
{
    if (!program) return false;
    while (*program == ' ' || *program == '\t' || *program == '"') ++program;
    int length = lstrlenA(program);
    while (length > 0 && (program[length - 1] == ' ' || program[length - 1] == '\t' || program[length - 1] == '"'))
        --length;
    if (length == 0 || length >= follow_entry_size - 4) return false;
    memcpy(entry, program, length);
    entry[length] = '\0';
    const char* name = follow_file_part(entry);
    if (!*name) return false; // a folder, not a program
    if (!strchr(name, '.')) strcat(entry, ".exe");
    return true;
}

using query_image_fn = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
using module_name_fn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

template <class F>
F look_up(const char* module, const char* name)
{
    HMODULE loaded = GetModuleHandleA(module);
    if (!loaded) loaded = LoadLibraryA(module); // psapi.dll stays for the life of the process
    return loaded ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(loaded, name))) : nullptr;
}

// Vista and later; on XP OpenProcess refuses it, and the older rights are asked instead.
constexpr DWORD query_limited = 0x1000; // PROCESS_QUERY_LIMITED_INFORMATION

} // namespace

HANDLE follow_open_process(DWORD id)
{
    HANDLE process = OpenProcess(query_limited | SYNCHRONIZE, FALSE, id);
    if (!process) process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, id);
    return process;
}

bool follow_image_path(HANDLE process, char* path, DWORD size)
{
    // Looked up at each call (psapi.dll stays loaded after the first): a guarded static would
    // bring the C++ runtime's locks into the program.
    query_image_fn query = look_up<query_image_fn>("kernel32.dll", "QueryFullProcessImageNameA");
    if (query) {
        DWORD length = size;
        if (query(process, 0, path, &length)) return true;
    }
    module_name_fn module_name = look_up<module_name_fn>("psapi.dll", "GetModuleFileNameExA");
    return module_name && module_name(process, nullptr, path, size) != 0;
}

const char* follow_file_part(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at; ++at)
        if (*at == '\\' || *at == '/') name = at + 1;
    return name;
}

bool follow_entry_matches(const char* entry, const char* path)
{
    if (!entry || !path || !*entry) return false;
    if (follow_file_part(entry) != entry) return lstrcmpiA(entry, path) == 0;
    return lstrcmpiA(entry, follow_file_part(path)) == 0;
}

follow_change follow_list_add(const char* program)
{
    char entry[follow_entry_size];
    if (!normalize(program, entry)) return follow_change::invalid;
    tk::unique_hkey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return follow_change::failed;
    if (RegQueryValueExA(key.get(), entry, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        return follow_change::already;
    LONG status = RegSetValueExA(key.get(), entry, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry),
                                 static_cast<DWORD>(strlen(entry) + 1));
    return status == ERROR_SUCCESS ? follow_change::done : follow_change::failed;
}

follow_change follow_list_remove(const char* program)
{
    char entry[follow_entry_size];
    if (!normalize(program, entry)) return follow_change::invalid;
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_SET_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return follow_change::not_listed;
    if (status != ERROR_SUCCESS) return follow_change::failed;
    status = RegDeleteValueA(key.get(), entry);
    if (status == ERROR_FILE_NOT_FOUND) return follow_change::not_listed;
    return status == ERROR_SUCCESS ? follow_change::done : follow_change::failed;
}

int follow_list_each(void (*each)(const char* entry, void* context), void* context)
{
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    int count = 0;
    for (DWORD index = 0;; ++index) {
        char name[follow_entry_size];
        DWORD name_size = sizeof name;
        status = RegEnumValueA(key.get(), index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_MORE_DATA) continue; // not an entry of ours: longer than any we write
        if (status != ERROR_SUCCESS) return -1;
        if (!name[0]) continue; // the key's default value
        if (each) each(name, context);
        ++count;
    }
    return count;
}
