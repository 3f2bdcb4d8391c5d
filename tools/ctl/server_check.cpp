#include "server_check.h"
#include "common/control_pipe.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"

#include <string.h>
#include <wchar.h>

namespace {

const char tickmend_class[] = "TICKMEND";
// Where the installer records the folder it installed tickmend into.
const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QEL Pacemill";
// The executables a tickmend runs from; the client checks for either beside itself too.
const wchar_t* const tickmend_images[] = {L"tickmend.exe", L"tickmend-sim.exe"};

// Whether process_id holds a top-level window of tickmend's class (hidden ones count).
bool holds_tickmend_window(DWORD process_id)
{
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, tickmend_class, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process_id) return true;
    }
    return false;
}

// The executable of process_id (UTF-16, and in UTF-8 into facts->image for the user); false
// when the process cannot be asked.
bool image_of(DWORD process_id, wchar_t* image, DWORD count, ServerFacts* facts)
{
    tk::unique_handle process(open_process_image(process_id, 0));
    if (!process || !process_image_path(process.get(), image, count)) return false;
    utf8_from_wide(image, facts->image, sizeof facts->image);
    return true;
}

// When process_id was created (FILETIME units); 0 when it cannot be asked.
ULONGLONG start_of(DWORD process_id)
{
    tk::unique_handle process(open_process_image(process_id, 0));
    FILETIME created, ended, kernel, user;
    if (!process || !GetProcessTimes(process.get(), &created, &ended, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Whether image is the same file as a tickmend executable in folder (a path ending in a
// separator, of length characters in a buffer of MAX_PATH).
bool is_tickmend_in(const wchar_t* image, wchar_t* folder, size_t length)
{
    for (const wchar_t* tickmend : tickmend_images) {
        if (length + wcslen(tickmend) >= MAX_PATH) continue;
        wcscpy(folder + length, tickmend);
        if (same_file(image, folder)) return true;
    }
    return false;
}

// Whether image is the same file as a tickmend executable in this client's folder.
bool is_tickmend_beside_us(const wchar_t* image)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    return is_tickmend_in(image, path, static_cast<size_t>(path_file_part(path) - path));
}

// The folder the installer recorded, into folder (count characters) with a separator at its
// end; false when there is none.
bool installed_folder(wchar_t* folder, DWORD count)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, uninstall_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, bytes = (count - 2) * sizeof(wchar_t);
    LONG read = RegQueryValueExW(key, L"InstallLocation", nullptr, &type, reinterpret_cast<BYTE*>(folder), &bytes);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0) return false;
    folder[bytes / sizeof(wchar_t)] = L'\0'; // a value stored without its NUL
    size_t length = wcslen(folder);
    if (length == 0) return false;
    if (folder[length - 1] != L'\\' && folder[length - 1] != L'/') {
        folder[length++] = L'\\';
        folder[length] = L'\0';
    }
    return true;
}

// Whether image is the tickmend the installer put in place.
bool is_installed_tickmend(const wchar_t* image)
{
    wchar_t folder[MAX_PATH];
    return installed_folder(folder, MAX_PATH) && is_tickmend_in(image, folder, wcslen(folder));
}

bool is_tickmend_image(const wchar_t* image)
{
    for (const wchar_t* tickmend : tickmend_images)
        if (same_name(path_file_part(image), tickmend)) return true;
    return false;
}

} // namespace

PipeServer check_pipe_server(HANDLE client, ServerFacts* facts)
{
    *facts = ServerFacts();
    ULONG server = 0;
    if (!control_pipe_server_process(client, &server)) return PipeServer::unknown;
    facts->process_id = server;
    facts->started = start_of(server);
    wide_buffer image(long_path_size);
    if (!image || !image_of(server, image.get(), image.count(), facts)) {
        facts->image[0] = '\0';
        facts->doubt = ServerDoubt::image_unread;
        return PipeServer::other;
    }
    // Any program can be called tickmend.exe: only the one the installer put in place, or
    // the one beside this client, is believed.
    if (!is_installed_tickmend(image.get()) && !is_tickmend_beside_us(image.get())) {
        facts->doubt = is_tickmend_image(image.get()) ? ServerDoubt::not_installed : ServerDoubt::not_tickmend_image;
        return PipeServer::other;
    }
    // The pipe's name is one for the whole machine, but windows are seen only within a
    // session, and another session's tickmend (the installed one, or ours) shows none here.
    DWORD ours = 0, theirs = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &ours) && ProcessIdToSessionId(server, &theirs) &&
        ours != theirs)
        return PipeServer::tickmend;
    // tickmend serves its pipe before its window exists (and runs Gaming Mode's on sequence
    // in that gap when it starts with it on).
    return holds_tickmend_window(server) ? PipeServer::tickmend : PipeServer::starting;
}

bool find_running_tickmend(ServerFacts* facts)
{
    *facts = ServerFacts();
    wide_buffer image(long_path_size);
    HWND window = nullptr;
    while (image && (window = FindWindowExA(nullptr, window, tickmend_class, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (!owner || !image_of(owner, image.get(), image.count(), facts)) continue;
        if (!is_installed_tickmend(image.get()) && !is_tickmend_beside_us(image.get())) continue;
        facts->process_id = owner;
        facts->started = start_of(owner);
        return true;
    }
    facts->image[0] = '\0';
    return false;
}

bool await_tickmend_window(ServerFacts* facts, DWORD wait_ms)
{
    tk::unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, facts->process_id));
    const DWORD start = GetTickCount();
    for (;;) {
        if (holds_tickmend_window(facts->process_id)) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= wait_ms) break;
        // Ends early when the process ends; without a handle, a plain pause.
        if (!process) Sleep(50);
        else if (WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) break;
    }
    facts->doubt = ServerDoubt::no_window;
    return false;
}
