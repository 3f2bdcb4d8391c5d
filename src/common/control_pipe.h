// The control pipe as server and client both know it.
#pragma once
#include <windows.h>

// "\\.\pipe\QelTscPipe": one instance, message mode, any local user.
extern const char control_pipe_name[];

// The process serving the pipe that pipe (either end) is connected to, by
// GetNamedPipeServerProcessId, looked up at run time (Vista and later); FALSE where this
// Windows lacks it or the question fails.
BOOL control_pipe_server_process(HANDLE pipe, ULONG* process_id);
