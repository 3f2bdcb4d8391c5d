// Private to the worker: the pipe thread that serves "\\.\pipe\QelTscPipe", shared between
// the thread's set-up (pipe_server.cpp: security descriptor, instance creation) and the
// per-connection state machine (pipe_connection.cpp). worker.cpp starts and stops it.
#pragma once
#include "common/handle.h"

#include <windows.h>

namespace worker_pipe {

constexpr DWORD request_limit = 256; // the longest request we execute, and both pipe buffers

// The events the starter hands to the thread; they outlive it.
struct thread_events {
    HANDLE stop = nullptr;  // manual reset; set to end the thread
    HANDLE ready = nullptr; // auto reset; the thread sets it once it serves (or gives up)
};

// A client process floods the pipe when it was served more than flood_connects times within
// flood_window_ms, or when its connections begun within hold_window_ms held the instance
// more than hold_limit_ms (one that reconnects as soon as it is dropped). It is refused
// until it has made no connection for calm_ms.
constexpr int flood_connects = 4;
constexpr DWORD flood_window_ms = 1000;
constexpr DWORD hold_window_ms = 3000;
constexpr DWORD hold_limit_ms = 1500;
constexpr DWORD calm_ms = 1000;
constexpr int tracked_clients = 8; // processes whose recent connections are remembered

// One client process's latest served connections, in a ring, and its last refused one.
struct ClientRate {
    ULONG process_id;
    int next;                          // the slot the next served connection goes to
    DWORD at[flood_connects + 1];      // GetTickCount() at its connect; 0: none
    DWORD held[flood_connects + 1];    // how long it had the instance, once it ended
    DWORD refused_at;                  // 0: none
};

// What the pipe thread owns for its whole life.
struct PipeServer {
    HANDLE stop_event = nullptr;   // the worker's; not owned
    SECURITY_ATTRIBUTES* attributes = nullptr; // the thread's, for every instance it creates
    tk::unique_handle io_event;    // connects and reads
    tk::unique_handle reply_event; // the reply write, which runs while a read is pending
    tk::unique_hfile pipe;         // the one instance
    OVERLAPPED io = {};
    OVERLAPPED reply = {};
    bool stopping = false; // end the thread once the current connection is closed
    bool renew = false;    // close the instance once the current connection is closed, make a new one
    bool holder_asked = false; // the holder of the taken name was looked for since we last had it
    ClientRate clients[tracked_clients] = {};
    DWORD* holding = nullptr; // the held slot of the connection being served, while one is
};

// The thread; events points to a thread_events that lives as long as the worker.
DWORD WINAPI TscPipeThread(void* events);
// Tries again every few seconds until the instance exists; false when the stop event came.
bool create_instance(PipeServer& server);
// Serves connections until the stop event comes or the instance cannot be had.
void serve(PipeServer& server);

} // namespace worker_pipe
