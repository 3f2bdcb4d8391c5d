#include "common/process_image.h"
#include "common/handle.h"
#include "common/wide_text.h"

#include <wchar.h>

namespace {

// Vista and later; on XP OpenProcess refuses it, and the older rights are asked instead.
constexpr DWORD query_limited_information = 0x1000; // PROCESS_QUERY_LIMITED_INFORMATION

using query_image_fn = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
using module_name_fn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using query_image_w_fn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using module_name_w_fn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

// Looked up at each call (psapi.dll stays loaded after the first): a guarded static would
// bring the C++ runtime's locks into the program.
template <class F>
F look_up(const char* module, const char* name)
{
    HMODULE loaded = GetModuleHandleA(module);
    if (!loaded) loaded = LoadLibraryA(module); // psapi.dll stays for the life of the process
    return loaded ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(loaded, name))) : nullptr;
}

} // namespace

const char* path_file_part(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at; ++at)
        if (*at == '\\' || *at == '/') name = at + 1;
    return name;
}

const wchar_t* path_file_part(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* at = path; *at; ++at)
        if (*at == L'\\' || *at == L'/') name = at + 1;
    return name;
}

HANDLE open_process_image(DWORD id, DWORD extra)
{
    HANDLE process = OpenProcess(query_limited_information | extra, FALSE, id);
    if (!process) process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | extra, FALSE, id);
    return process;
}

bool process_image_path(HANDLE process, char* path, DWORD size)
{
    query_image_fn query = look_up<query_image_fn>("kernel32.dll", "QueryFullProcessImageNameA");
    if (query) {
        DWORD length = size;
        if (query(process, 0, path, &length)) return true;
    }
    module_name_fn module_name = look_up<module_name_fn>("psapi.dll", "GetModuleFileNameExA");
    return module_name && module_name(process, nullptr, path, size) != 0;
}

bool process_image_path(HANDLE process, wchar_t* path, DWORD count)
{
    query_image_w_fn query = look_up<query_image_w_fn>("kernel32.dll", "QueryFullProcessImageNameW");
    if (query) {
        DWORD length = count;
        if (query(process, 0, path, &length)) return true;
    }
    module_name_w_fn module_name = look_up<module_name_w_fn>("psapi.dll", "GetModuleFileNameExW");
    if (!module_name) return false;
    // XP cuts a long path to the buffer without saying so: a path that fills it is not taken.
    const DWORD made = module_name(process, nullptr, path, count);
    return made != 0 && made < count - 1;
}

bool long_path_form(const wchar_t* path, wchar_t* buffer, int count)
{
    const size_t length = wcslen(path);
    const bool drive = path[0] && path[1] == L':' && path[2] == L'\\';
    const bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    const wchar_t* prefix = L"";
    const wchar_t* rest = path;
    if (length >= MAX_PATH && drive) prefix = L"\\\\?\\";
    if (length >= MAX_PATH && unc) prefix = L"\\\\?\\UNC", rest = path + 1;
    const size_t needed = wcslen(prefix) + wcslen(rest) + 1;
    if (needed > static_cast<size_t>(count)) return false;
    wcscpy(buffer, prefix);
    wcscat(buffer, rest);
    return true;
}

bool file_identity_of(const wchar_t* path, file_identity* identity)
{
    wide_buffer whole(long_path_size + 8);
    if (!whole || !long_path_form(path, whole.get(), whole.count())) return false;
    tk::unique_hfile file(CreateFileW(whole.get(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

bool same_file(const wchar_t* a, const wchar_t* b)
{
    file_identity first, second;
    return file_identity_of(a, &first) && file_identity_of(b, &second) && same_identity(first, second);
}

bool file_identity_of(const char* path, file_identity* identity)
{
    // Attributes only: a running program's image opens so, whoever else holds it.
    tk::unique_hfile file(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

bool same_file(const char* a, const char* b)
{
    file_identity first, second;
    return file_identity_of(a, &first) && file_identity_of(b, &second) && same_identity(first, second);
}
