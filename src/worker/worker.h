// The worker: starts and stops the daemon, and serves the control pipe
// "\\.\pipe\QelTscPipe" while Gaming Mode is available.
#pragma once
#include <windows.h>

// Starts the daemon and, when Gaming Mode is available, the pipe thread; 1 then, else 0.
// While the worker runs it does nothing and returns 1.
int Qel_WorkerStart(int a, int b);
// Stops the pipe thread if one runs, then always exits the daemon.
void Qel_WorkerExit();
// Builds the pipe's DACL in buffer (*size bytes on entry, the size needed on return).
BOOL build_pipe_acl(PACL buffer, DWORD* size);

// How the pipe's instances are created: CreateNamedPipeA, unless the tests put in one that
// refuses a first instance (FILE_FLAG_FIRST_PIPE_INSTANCE) as Windows does while another
// program holds the name, which Wine does not; null puts CreateNamedPipeA back.
using pipe_create_fn = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
void worker_set_pipe_create(pipe_create_fn create);
