// What the worker's tests reach inside it: the pipe's DACL, and the creation of the pipe's
// instances.
#pragma once
#include <windows.h>

// Builds the pipe's DACL in buffer (*size bytes on entry, the size needed on return).
BOOL build_pipe_acl(PACL buffer, DWORD* size);

// How the pipe's instances are created: CreateNamedPipeA, unless the tests put in one that
// refuses a first instance (FILE_FLAG_FIRST_PIPE_INSTANCE) as Windows does while another
// program holds the name, which Wine does not; null puts CreateNamedPipeA back.
using pipe_create_fn = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LPSECURITY_ATTRIBUTES);
void worker_set_pipe_create(pipe_create_fn create);
