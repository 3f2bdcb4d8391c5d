#include "server_check.h"

namespace {

const char tickmend_class[] = "TICKMEND";

using server_process_id_fn = BOOL(WINAPI*)(HANDLE, PULONG);

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

} // namespace

PipeServer check_pipe_server(HANDLE client, DWORD* process_id)
{
    *process_id = 0;
    auto server_process_id = reinterpret_cast<server_process_id_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId")));
    ULONG server = 0;
    if (!server_process_id || !server_process_id(client, &server)) return PipeServer::unknown;
    *process_id = server;
    return holds_tickmend_window(server) ? PipeServer::tickmend : PipeServer::other;
}
