#include "common/control_pipe.h"

const char control_pipe_name[] = "\\\\.\\pipe\\QelTscPipe";

BOOL control_pipe_server_process(HANDLE pipe, ULONG* process_id)
{
    using server_process_id_fn = BOOL(WINAPI*)(HANDLE, PULONG);
    auto server_process_id = reinterpret_cast<server_process_id_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId")));
    return server_process_id && server_process_id(pipe, process_id);
}
