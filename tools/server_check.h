// Whom a client of the control pipe talks to: any program may create the pipe's name
// before tickmend does, and answer in its place.
#pragma once
#include <windows.h>

enum class PipeServer { tickmend, other, unknown, other_session };

// The process serving the pipe that client is connected to, asked by
// GetNamedPipeServerProcessId (Vista and later, looked up by name), and whether it is a
// running tickmend: the process that holds a window of class "TICKMEND". unknown where
// this Windows cannot tell (XP) or the question fails; other_session where the server runs
// in another session, whose windows this client cannot see; *process_id gets the id when known.
PipeServer check_pipe_server(HANDLE client, DWORD* process_id);
