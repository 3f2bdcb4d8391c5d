// Whom a client of the control pipe talks to: any program may create the pipe's name
// before tickmend does, and answer in its place. The server is told by its executable
// and, in this session, by tickmend's window.
#pragma once
#include <windows.h>

enum class PipeServer {
    tickmend, // a running tickmend: send to it
    starting, // tickmend's executable in this session, its window not there yet
    other,    // not tickmend, or not one that can be trusted: send nothing
    unknown,  // this Windows cannot tell (XP): the reply is taken on trust
};

// Why a server is not trusted, for the user.
enum class ServerDoubt { none, image_unread, not_tickmend_image, not_installed, no_window };

struct ServerFacts {
    DWORD process_id = 0;   // 0 when this Windows cannot tell
    ULONGLONG started = 0;  // its creation time (FILETIME units), 0 when it cannot be read
    char image[MAX_PATH * 3] = ""; // its executable in UTF-8 (console.h), "" when it cannot be read
    ServerDoubt doubt = ServerDoubt::none;
};

// The process serving the pipe that client is connected to (GetNamedPipeServerProcessId,
// looked up at run time), its executable (common/process_image.h), and its start. A
// tickmend is a process whose executable is the same file as the tickmend.exe in the folder
// the installer recorded (InstallLocation of its uninstall entry) or as a tickmend.exe or
// tickmend-sim.exe beside this client; in this session it must also hold a window of class
// "TICKMEND" (another session's windows cannot be seen).
PipeServer check_pipe_server(HANDLE client, ServerFacts* facts);

// A tickmend that runs in this session, whether it serves the pipe or not: a process that
// holds a window of tickmend's class and runs a tickmend executable as above; false when
// there is none (or this Windows cannot name executables: XP).
bool find_running_tickmend(ServerFacts* facts);

// Waits up to wait_ms for a starting tickmend's window; false when it did not appear (or
// the process ended), with facts->doubt set.
bool await_tickmend_window(ServerFacts* facts, DWORD wait_ms);
