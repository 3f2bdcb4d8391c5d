// The pipe's instances: made (the first with FILE_FLAG_FIRST_PIPE_INSTANCE, so that we never
// join another program's pipe), each made again once its connection has ended, closed
// together, and the records of their overlapped operations. While the name is held by
// another program, creation says so through a notice and is tried again every few seconds.
#include "worker/pipe_instances.h"
#include "worker/worker_testing.h"

#include "common/control_pipe.h"
#include "common/os_version.h"
#include "common/trace.h"
#include "notice/notice.h"

#include <stdio.h>

namespace worker_pipe {
namespace {

constexpr DWORD create_retry_ms = 2000; // between attempts to create the instance while the name is taken
constexpr DWORD reject_remote_clients = 0x8; // PIPE_REJECT_REMOTE_CLIENTS (Vista on; XP refuses it)
// Our outbound buffer: none, so that a reply's write completes only once the client has
// read it whole, and the connection ends then, not when the client closes.
constexpr DWORD reply_buffer = 0;

void* volatile pipe_create = nullptr; // the tests' creation, read by the pipe thread; null: CreateNamedPipeA

// An instance. On the first, FILE_FLAG_FIRST_PIPE_INSTANCE makes creation fail when another
// process holds the name already, instead of joining its pipe.
HANDLE create_pipe_instance(SECURITY_ATTRIBUTES* attributes, bool first)
{
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (os_pipe_rejects_remote_clients()) mode |= reject_remote_clients;
    pipe_create_fn create = reinterpret_cast<pipe_create_fn>(InterlockedCompareExchangePointer(&pipe_create, nullptr, nullptr));
    return (create ? create : CreateNamedPipeA)(control_pipe_name,
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0), mode,
                            pipe_instances, reply_buffer, request_limit, 0, attributes);
}

// Who holds the name, into detail ("process 1234"); "" when this Windows cannot tell (XP)
// or the holder's pipe cannot be opened. Opening it is a connection the holder sees.
void describe_holder(char* detail, int size)
{
    detail[0] = '\0';
    tk::unique_hfile probe(CreateFileA(control_pipe_name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ULONG holder = 0;
    if (probe && control_pipe_server_process(probe.get(), &holder)) {
        _snprintf(detail, size, "process %lu", holder);
        detail[size - 1] = '\0';
    }
}

} // namespace

// Creates the instance, or says that it cannot: creation fails while another program holds
// the name, and after a console disconnect it may have taken it meanwhile.
bool try_create_instance(PipeServer& server)
{
    server.instances[0].pipe.reset(create_pipe_instance(server.attributes, true));
    if (server.instances[0].pipe) {
        // The others join the name we hold; one that cannot be made is done without.
        for (int i = 1; i < pipe_instances; ++i)
            server.instances[i].pipe.reset(create_pipe_instance(server.attributes, false));
        // Each completes its connects into the port; one that cannot is not used.
        for (Instance& in : server.instances)
            if (in.pipe && !CreateIoCompletionPort(in.pipe.get(), server.port.get(), 0, 0)) in.pipe.reset();
        if (!server.instances[0].pipe) {
            for (Instance& in : server.instances) in.pipe.reset();
            return false;
        }
        server.holder_asked = false;
        notice_clear(NOTICE_PIPE_NAME_TAKEN);
        return true;
    }
    DWORD error = GetLastError();
    TRACE("TscPipeThread: Error: CreateNamedPipe() failed!\n");
    TRACE("worker try_create_instance : error %lu\n", error);
    if ((error == ERROR_PIPE_BUSY || error == ERROR_ACCESS_DENIED) && !server.holder_asked) { // the name is another's
        server.holder_asked = true; // once: every look is a connection to the holder's pipe
        char detail[32];
        describe_holder(detail, sizeof detail);
        notice_raise(NOTICE_PIPE_NAME_TAKEN, detail);
    }
    return false;
}

bool remake_instance(PipeServer& server, Instance& in)
{
    in.pipe.reset();
    in.listening = false;
    in.connected = false;
    // While another instance of ours holds the name, the new one joins it; else it must be
    // the first again, so that it never joins another program's pipe.
    bool others = false;
    for (const Instance& other : server.instances) others = others || other.pipe;
    in.pipe.reset(create_pipe_instance(server.attributes, !others));
    if (in.pipe && !CreateIoCompletionPort(in.pipe.get(), server.port.get(), 0, 0)) in.pipe.reset();
    return static_cast<bool>(in.pipe);
}

// Tries again every few seconds until the instance exists; false when the stop event came.
bool create_instance(PipeServer& server)
{
    while (!try_create_instance(server))
        if (WaitForSingleObject(server.stop_event, create_retry_ms) != WAIT_TIMEOUT) return false;
    return true;
}

HANDLE record_event(const OVERLAPPED& record)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(record.hEvent) & ~static_cast<ULONG_PTR>(1));
}

// Only connects complete into the completion port (it holds the clients in the order they
// came); reads and writes are kept out of it by the low bit of their event handle, as
// Windows provides.
void start_operation(OVERLAPPED& record, bool into_port)
{
    HANDLE event = record_event(record);
    record.Offset = 0;
    record.OffsetHigh = 0;
    record.hEvent = into_port ? event : reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    // Reset here too: an event left set by an earlier operation must not read as this one's
    // end (a second request of one connection was once lost without it).
    ResetEvent(event);
}

void close_instances(PipeServer& server)
{
    server.cur = nullptr;
    for (Instance& in : server.instances) {
        if (in.listening) {
            CancelIo(in.pipe.get());
            // The record must outlive the connect; should it not end, closing the handle ends it.
            WaitForSingleObject(record_event(in.io), cancel_wait_ms);
        }
        in.listening = false;
        in.connected = false;
        in.pipe.reset();
    }
    // The cancelled connects' completions would be taken for new instances' clients.
    server.queued = 0;
    for (OVERLAPPED* done = &server.instances[0].io; server.port && done;) {
        DWORD count;
        ULONG_PTR key;
        done = nullptr;
        GetQueuedCompletionStatus(server.port.get(), &count, &key, &done, 0);
    }
}

} // namespace worker_pipe

void worker_set_pipe_create(pipe_create_fn create)
{
    InterlockedExchangePointer(&worker_pipe::pipe_create, reinterpret_cast<void*>(create));
}
