// Private to the worker: the pipe thread that serves "\\.\pipe\QelTscPipe"
// (pipe_server.cpp), which worker.cpp starts and stops.
#pragma once
#include <windows.h>

namespace worker_pipe {

// The events the starter hands to the thread; they outlive it.
struct thread_events {
    HANDLE stop = nullptr;  // manual reset; set to end the thread
    HANDLE ready = nullptr; // auto reset; the thread sets it once it serves (or gives up)
};

// The thread; events points to a thread_events that lives as long as the worker.
DWORD WINAPI TscPipeThread(void* events);

} // namespace worker_pipe
