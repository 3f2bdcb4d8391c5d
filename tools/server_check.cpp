#include "server_check.h"
#include "common/control_pipe.h"

namespace {

const char tickmend_class[] = "TICKMEND";

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
    ULONG server = 0;
    if (!control_pipe_server_process(client, &server)) return PipeServer::unknown;
    *process_id = server;
    if (holds_tickmend_window(server)) return PipeServer::tickmend;
    // The pipe's name is one for the whole machine, but windows are seen only within a
    // session: a tickmend of another session cannot be told from any other program.
    DWORD ours = 0, theirs = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &ours) && ProcessIdToSessionId(server, &theirs) && ours != theirs)
        return PipeServer::other_session;
    return PipeServer::other;
}
