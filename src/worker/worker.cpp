// The worker: the daemon's start and exit, and the start and stop of the pipe thread that
// serves "\\.\pipe\QelTscPipe" to any process of any user (pipe_server.cpp,
// pipe_listen.cpp, pipe_connection.cpp, pipe_share.cpp).
#include "worker/worker.h"

#include "common/trace.h"
#include "daemon/daemon.h"
#include "worker/pipe_server.h"

namespace {

// Module state: written by the user-interface thread only.
HANDLE pipe_stop_event;  // manual reset; set to end the thread
HANDLE pipe_thread;
HANDLE pipe_ready_event; // auto reset; the thread sets it once it serves (or gives up)
bool worker_running;     // Qel_WorkerStart returned 1 and no Qel_WorkerExit followed
worker_pipe::thread_events pipe_events; // what the thread is handed: the two events above

// The longest the stop waits for the pipe thread (which may be in a sequence, waiting for a
// powercfg run): a thread still running then is left to end with the process, its handles
// with it.
const DWORD pipe_stop_wait_ms = 3000;

} // namespace

int Qel_WorkerStart(int a, int b)
{
    TRACE("Qel_WorkerStart - ENTRY\n");
    if (worker_running) { // a console reconnection while we never stopped
        TRACE("Qel_WorkerStart - EXIT\n");
        return 1;
    }
    pipe_stop_event = nullptr;
    pipe_thread = nullptr;
    pipe_ready_event = nullptr;

    int available = 0;
    if (!Qel_DaemonStart(a, b, &available) || !available) {
        TRACE("Qel_WorkerStart - EXIT\n");
        return 0;
    }
    worker_running = true;

    pipe_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pipe_ready_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    int result = 1;
    if (pipe_stop_event) {
        pipe_events.stop = pipe_stop_event;
        pipe_events.ready = pipe_ready_event;
        pipe_thread = CreateThread(nullptr, 0, worker_pipe::TscPipeThread, &pipe_events, 0, nullptr);
        if (!pipe_thread) {
            TRACE(" CreateThread() failed to launch TSC_PIPE thread.\n");
            Qel_WorkerExit(); // the daemon has stopped: nothing runs
            result = 0;
        } else if (pipe_ready_event) {
            // The thread never signals when its set-up fails; it ends then.
            HANDLE either[2] = {pipe_ready_event, pipe_thread};
            WaitForMultipleObjects(2, either, FALSE, INFINITE);
        }
    }
    if (pipe_ready_event) CloseHandle(pipe_ready_event);
    pipe_ready_event = nullptr;
    pipe_events.ready = nullptr;
    TRACE("Qel_WorkerStart - EXIT\n");
    return result;
}

void Qel_WorkerExit()
{
    TRACE("Qel_WorkerExit - ENTRY\n");
    if (pipe_stop_event) {
        bool ended = true;
        if (pipe_thread) {
            SetEvent(pipe_stop_event);
            ended = WaitForSingleObject(pipe_thread, pipe_stop_wait_ms) == WAIT_OBJECT_0;
            if (!ended) TRACE("Qel_WorkerExit - the pipe thread did not stop in time\n");
            CloseHandle(pipe_thread);
            pipe_thread = nullptr;
        }
        if (ended) CloseHandle(pipe_stop_event); // a running thread still waits on it
        pipe_stop_event = nullptr;
    }
    worker_running = false;
    Qel_DaemonExit();
    TRACE("Qel_WorkerExit - EXIT\n");
}
