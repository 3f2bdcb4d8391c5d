// The pipe thread's listening: every instance waits for a client at once, and the clients
// are served one at a time in the order they connected, whichever instance each found.
//
// An instance whose connection has ended is made again (pipe_instances.cpp) while the
// others hold the name, so the name never disappears while the worker runs; clients
// connected meanwhile to the others wait for their turn. Their connects complete into one
// completion port, which keeps that order; a client that connected before we listened gives no completion and
// is queued here instead, ahead of the port's. Every wait also watches the stop event.
#include "worker/pipe_listen.h"

#include "common/trace.h"
#include "worker/pipe_connection.h"
#include "worker/pipe_instances.h"

namespace worker_pipe {
namespace {

constexpr DWORD reconnect_pause_ms = 1000; // before new instances when connecting failed oddly

// Puts an instance whose client connected before we listened at the end of the queue of
// those waiting.
void queue_connected(PipeServer& server, Instance& in)
{
    in.listening = false;
    in.connected = true;
    in.connect_failed = false;
    server.queue[server.queued++] = &in;
}

// Puts every idle instance to listening; false when one failed oddly (then all are made anew).
bool listen_all(PipeServer& server)
{
    for (Instance& in : server.instances) {
        for (int tries = 0; in.pipe && !in.listening && !in.connected && tries < 2; ++tries) {
            start_operation(in.io, true);
            if (ConnectNamedPipe(in.pipe.get(), &in.io)) {
                in.listening = true; // its completion is in the port all the same
                break;
            }
            switch (GetLastError()) {
            case ERROR_PIPE_CONNECTED: queue_connected(server, in); break; // came before we listened: no completion
            case ERROR_IO_PENDING: in.listening = true; break;
            case ERROR_NO_DATA: DisconnectNamedPipe(in.pipe.get()); break; // connected and closed already
            default:
                TRACE("worker listen_all : ConnectNamedPipe failed with %lu\n", GetLastError());
                return false;
            }
        }
    }
    return true;
}

// The next instance whose connect has completed, by the port's order, which is the order
// the clients connected; nullptr when none comes within wait_ms.
Instance* next_completed(PipeServer& server, DWORD wait_ms)
{
    for (;;) {
        DWORD count = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* done = nullptr;
        const bool ok = GetQueuedCompletionStatus(server.port.get(), &count, &key, &done, wait_ms);
        if (!done) return nullptr; // nothing more (or the port failed)
        for (Instance& in : server.instances) {
            if (&in.io != done || !in.listening) continue;
            in.listening = false;
            in.connect_failed = !ok;
            return &in;
        }
    }
}

// The next connected client, in the order the clients connected, into server.cur; renew
// when the instances must be made anew, stop when the stop event came.
AfterConnection wait_for_client(PipeServer& server)
{
    server.cur = nullptr;
    if (!listen_all(server)) return AfterConnection::renew;
    Instance* pick = nullptr;
    if (server.queued) { // connected before we listened: no completion comes for those
        pick = server.queue[0];
        --server.queued;
        for (int i = 0; i < server.queued; ++i) server.queue[i] = server.queue[i + 1];
        pick->connected = false;
    } else {
        // A listening instance's event is set when its connect completes, and the
        // completion queued with it.
        HANDLE events[pipe_instances + 1];
        int n = 0;
        for (Instance& in : server.instances)
            if (in.listening) events[n++] = record_event(in.io);
        if (n == 0) return AfterConnection::renew;
        events[n] = server.stop_event;
        if (WaitForMultipleObjects(n + 1, events, FALSE, INFINITE) >= WAIT_OBJECT_0 + n) {
            server.stopping = true;
            return AfterConnection::stop;
        }
        pick = next_completed(server, cancel_wait_ms);
        if (!pick) return AfterConnection::renew; // a completion that never came: the instances made anew
    }
    server.cur = pick;
    return AfterConnection::next;
}

// New instances in place of one that failed: a short pause (a failure that repeats at once
// must not make us spin), then creation, again every few seconds while the name is taken.
AfterConnection renew_instances(PipeServer& server)
{
    server.renew = false;
    close_instances(server);
    if (WaitForSingleObject(server.stop_event, reconnect_pause_ms) != WAIT_TIMEOUT) return AfterConnection::stop;
    return create_instance(server) ? AfterConnection::next : AfterConnection::stop;
}

} // namespace

void serve(PipeServer& server)
{
    AfterConnection next = server.instances[0].pipe || create_instance(server) ? AfterConnection::next
                                                                              : AfterConnection::stop;
    while (next != AfterConnection::stop) {
        if (next == AfterConnection::renew) {
            next = renew_instances(server);
            continue;
        }
        next = wait_for_client(server);
        if (next != AfterConnection::next) continue;
        if (server.cur->connect_failed) { // nothing to serve: only disconnected
            DisconnectNamedPipe(server.cur->pipe.get());
            continue;
        }
        next = serve_connection(server);
    }
}

} // namespace worker_pipe
