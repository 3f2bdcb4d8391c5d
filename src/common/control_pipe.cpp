#include "common/control_pipe.h"

#include "common/handle.h"

const char control_pipe_name[] = "\\\\.\\pipe\\QelTscPipe";

namespace {

// A state reply is "1" or "0" and a NUL, nothing more.
bool reply_state(const char* reply, DWORD size, char* state)
{
    if (size != 2 || (reply[0] != '0' && reply[0] != '1') || reply[1] != '\0') return false;
    *state = reply[0];
    return true;
}

// An end's process id by the Vista function named, looked up at run time.
BOOL pipe_end_process(HANDLE pipe, const char* function, ULONG* process_id)
{
    using process_id_fn = BOOL(WINAPI*)(HANDLE, PULONG);
    auto query = reinterpret_cast<process_id_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), function)));
    return query && query(pipe, process_id);
}

} // namespace

BOOL control_pipe_server_process(HANDLE pipe, ULONG* process_id)
{
    return pipe_end_process(pipe, "GetNamedPipeServerProcessId", process_id);
}

BOOL control_pipe_client_process(HANDLE pipe, ULONG* process_id)
{
    return pipe_end_process(pipe, "GetNamedPipeClientProcessId", process_id);
}

HANDLE control_pipe_open(DWORD wait_ms, DWORD* error, DWORD access, const char* name)
{
    DWORD start = GetTickCount();
    for (;;) {
        SetLastError(0xdeadbeef);
        HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | access, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        *error = GetLastError();
        DWORD elapsed = GetTickCount() - start;
        if (*error != ERROR_PIPE_BUSY || elapsed >= wait_ms) return INVALID_HANDLE_VALUE;
        WaitNamedPipeA(name, wait_ms - elapsed); // a timeout shows at the next try
    }
}

BOOL control_pipe_transfer(HANDLE pipe, BOOL write, void* buffer, DWORD size, DWORD* count, DWORD wait_ms)
{
    *count = 0;
    tk::unique_handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done) return FALSE;
    OVERLAPPED io = {};
    io.hEvent = done.get();
    BOOL ok = write ? WriteFile(pipe, buffer, size, count, &io) : ReadFile(pipe, buffer, size, count, &io);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (WaitForSingleObject(done.get(), wait_ms) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        WaitForSingleObject(done.get(), 1000); // the record must outlive the operation
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    return GetOverlappedResult(pipe, &io, count, FALSE);
}

ControlPipeExchange control_pipe_exchange(HANDLE pipe, const char* request, DWORD wait_ms, char* state,
                                          ControlPipeRefusal* refusal)
{
    DWORD count = 0;
    if (request) {
        char text[16];
        lstrcpynA(text, request, sizeof text);
        if (!control_pipe_transfer(pipe, TRUE, text, lstrlenA(text), &count, wait_ms))
            return ControlPipeExchange::failed;
    }
    char reply[32];
    if (!control_pipe_transfer(pipe, FALSE, reply, sizeof reply, &count, wait_ms))
        return GetLastError() == ERROR_MORE_DATA ? ControlPipeExchange::malformed : ControlPipeExchange::failed;
    if (count == 2 && reply[0] == control_pipe_busy_reply && reply[1] == '\0') return ControlPipeExchange::busy;
    if (count >= 2 && reply[0] == control_pipe_refused_reply && reply[1] == '\0' && reply[count - 1] == '\0') {
        ControlPipeRefusal said;
        const char* p = reply + 2;
        for (; *p >= '0' && *p <= '9'; ++p) said.connects = said.connects * 10 + (*p - '0');
        if (*p == ' ') ++p;
        for (; *p >= '0' && *p <= '9'; ++p) said.own_ms = said.own_ms * 10 + (*p - '0');
        if (refusal) *refusal = said;
        return ControlPipeExchange::refused;
    }
    return reply_state(reply, count, state) ? ControlPipeExchange::done : ControlPipeExchange::malformed;
}
