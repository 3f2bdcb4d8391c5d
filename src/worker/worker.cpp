// The worker: the daemon's start and exit, and the pipe thread that serves
// "\\.\pipe\QelTscPipe" to any process of any user.
//
// One exchange: a client connects, writes zero or more requests, reads the two-byte state
// reply and closes. The thread executes every request already in the pipe when it reads,
// replies as soon as a read finds the pipe empty (the first read of a connection waits a
// moment for a request first), and then ends the connection. The one pipe instance is kept
// for the worker's whole life (disconnected and connected again), so the name never
// disappears while the worker runs.
//
// Any local process may open the pipe, and one instance serves one client at a time, so no
// client may hold it long: a connection is served for at most serve_ms (requests beyond
// the first few, or read after that time, are read and discarded unexecuted), and ended
// at most grace_ms after its reply, whatever the client does. Every wait also watches the
// stop event. When the name is held by another program, the thread says so through a
// notice and tries again every few seconds until it has it.
#include "worker/worker.h"

#include "common/control_pipe.h"
#include "common/handle.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "notice/notice.h"

#include <stdio.h>

namespace {

constexpr DWORD request_limit = 256;   // the longest request we execute, and both pipe buffers
constexpr DWORD requests_per_connection = 16; // executed at most; later ones are read and discarded
constexpr DWORD first_request_ms = 50; // how long a new connection may take to send its first request
constexpr DWORD serve_ms = 500;        // from connect: requests are executed and the reply written within this
constexpr DWORD grace_ms = 500;        // from the reply: the client's time to read it and close
constexpr DWORD cancel_wait_ms = 1000; // a cancelled operation that takes longer costs the instance
constexpr DWORD create_retry_ms = 2000; // between attempts to create the instance while the name is taken
constexpr DWORD reconnect_pause_ms = 1000; // before a new instance when connecting failed oddly
constexpr DWORD reject_remote_clients = 0x8; // PIPE_REJECT_REMOTE_CLIENTS (Vista on; XP refuses it)

// Module state: written by the user-interface thread only.
HANDLE pipe_stop_event;  // manual reset; set to end the thread
HANDLE pipe_thread;
HANDLE pipe_ready_event; // auto reset; the thread sets it once it serves (or gives up)
bool worker_running;     // Qel_WorkerStart returned 1 and no Qel_WorkerExit followed

// ---- the pipe thread ----

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
};

// Where one connection stands; the loop in serve() moves between these.
enum class Step { wait_client, read_request, reply, linger, disconnect, renew, stop };

// One connection's state, cleared before every connect.
struct Connection {
    char receive[request_limit + 1]; // a request and the NUL we put after it
    char state[2];                   // the reply; lives as long as its write
    bool io_pending;                 // a connect or read on server.io is outstanding
    bool reply_pending;              // the reply write on server.reply is outstanding
    bool read_once;                  // a read of this connection has completed
    DWORD executed;                  // requests executed on this connection
    DWORD connected_at;              // GetTickCount() when the client was connected
    DWORD replied_at;                // GetTickCount() when the reply was written
};

enum class Wait { done, stop, timeout };

// Waits for an operation's event or the stop event. A failed wait counts as stop.
Wait wait_or_stop(const PipeServer& server, HANDLE event, DWORD timeout_ms)
{
    HANDLE pair[2] = {event, server.stop_event};
    switch (WaitForMultipleObjects(2, pair, FALSE, timeout_ms)) {
    case WAIT_OBJECT_0: return Wait::done;
    case WAIT_TIMEOUT: return Wait::timeout;
    default: return Wait::stop;
    }
}

bool stop_requested(const PipeServer& server)
{
    return WaitForSingleObject(server.stop_event, 0) != WAIT_TIMEOUT;
}

// What is left of a span of span_ms that began at since; 0 once it is over.
DWORD left_of(DWORD since, DWORD span_ms)
{
    DWORD elapsed = GetTickCount() - since;
    return elapsed < span_ms ? span_ms - elapsed : 0;
}

void start_operation(OVERLAPPED& record)
{
    record.Offset = 0;
    record.OffsetHigh = 0;
    ResetEvent(record.hEvent);
}

bool vista_or_later()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwMajorVersion >= 6;
}

// The one instance. FILE_FLAG_FIRST_PIPE_INSTANCE makes creation fail when another process
// holds the name already, instead of joining its pipe.
HANDLE create_pipe_instance(SECURITY_ATTRIBUTES* attributes)
{
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (vista_or_later()) mode |= reject_remote_clients;
    return CreateNamedPipeA(control_pipe_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            mode, 1, request_limit, request_limit, 0, attributes);
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

// Creates the instance, or says that it cannot: creation fails while another program holds
// the name, and after a console disconnect it may have taken it meanwhile.
bool try_create_instance(PipeServer& server)
{
    server.pipe.reset(create_pipe_instance(server.attributes));
    if (server.pipe) {
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

// Tries again every few seconds until the instance exists; false when the stop event came.
bool create_instance(PipeServer& server)
{
    while (!try_create_instance(server))
        if (WaitForSingleObject(server.stop_event, create_retry_ms) != WAIT_TIMEOUT) return false;
    return true;
}

Step wait_for_client(PipeServer& server, Connection& conn)
{
    conn = {};
    start_operation(server.io);
    BOOL connected = ConnectNamedPipe(server.pipe.get(), &server.io);
    conn.connected_at = GetTickCount();
    if (connected) return Step::read_request;
    switch (GetLastError()) {
    case ERROR_PIPE_CONNECTED: // connected before the call; Wine does not set the event then
        return Step::read_request;
    case ERROR_NO_DATA: // connected and closed again already
        return Step::disconnect;
    case ERROR_IO_PENDING:
        break;
    default: // this instance is unusable: a new one after a pause, never a spin on it
        TRACE("worker wait_for_client : ConnectNamedPipe failed with %lu\n", GetLastError());
        server.renew = true;
        return Step::disconnect;
    }
    conn.io_pending = true;
    switch (wait_or_stop(server, server.io.hEvent, INFINITE)) {
    case Wait::done: {
        conn.io_pending = false;
        conn.connected_at = GetTickCount();
        DWORD unused;
        return GetOverlappedResult(server.pipe.get(), &server.io, &unused, FALSE) ? Step::read_request
                                                                                    : Step::disconnect;
    }
    default:
        server.stopping = true;
        return Step::disconnect;
    }
}

// Takes a request of count bytes that a read has just delivered: executes it while the
// connection is within its share of requests and time, else drops it unexecuted.
Step execute_request(Connection& conn, DWORD count)
{
    conn.read_once = true;
    if (count == 0) return Step::disconnect; // a zero-length message ends the connection without a reply
    if (conn.executed >= requests_per_connection || !left_of(conn.connected_at, serve_ms)) return Step::read_request;
    conn.receive[count] = '\0';
    ++conn.executed;
    Qel_DaemonDoCommand(conn.receive);
    return Step::read_request;
}

// A client can write only once it is connected, and its connect wakes us first: the first
// read of a connection finds the pipe empty more often than not, although the request is
// on its way. Answering then would report the old state and drop the request unexecuted,
// so the first read waits a moment for it. A client that sends nothing (a plain state
// query) gets its reply after that moment; one that sends any other text gets it at once.
Step await_first_request(PipeServer& server, Connection& conn)
{
    DWORD wait_ms = left_of(conn.connected_at, serve_ms);
    if (wait_ms > first_request_ms) wait_ms = first_request_ms;
    switch (wait_or_stop(server, server.io.hEvent, wait_ms)) {
    case Wait::timeout: return Step::reply; // the read stays pending while we reply
    case Wait::stop: server.stopping = true; return Step::disconnect;
    case Wait::done: break;
    }
    conn.io_pending = false;
    DWORD count = 0;
    if (GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE)) return execute_request(conn, count);
    conn.read_once = true;
    // Over 256 bytes: not executed; its rest is drained while lingering.
    return GetLastError() == ERROR_MORE_DATA ? Step::reply : Step::disconnect;
}

// Reads one request. Takes it when it came at once; replies when the pipe is empty, and
// when the connection has had its time, even if the client still writes.
Step read_request(PipeServer& server, Connection& conn)
{
    // After a read that completed at once nothing has waited on the stop event: look at it.
    if (conn.read_once && stop_requested(server)) {
        server.stopping = true;
        return Step::disconnect;
    }
    if (!left_of(conn.connected_at, serve_ms)) return Step::reply;
    start_operation(server.io);
    DWORD count = 0;
    if (ReadFile(server.pipe.get(), conn.receive, request_limit, &count, &server.io)) {
        if (!GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE)) return Step::disconnect;
        return execute_request(conn, count);
    }
    switch (GetLastError()) {
    case ERROR_IO_PENDING: // the pipe is empty: the read stays pending while we reply
        conn.io_pending = true;
        return conn.read_once ? Step::reply : await_first_request(server, conn);
    case ERROR_MORE_DATA: // over 256 bytes: not executed; its rest is drained while lingering
        conn.read_once = true;
        return Step::reply;
    default: // the client has gone
        return Step::disconnect;
    }
}

// Writes the state reply through its own record: the read may still be pending on server.io.
Step write_reply(PipeServer& server, Connection& conn)
{
    conn.state[0] = Qel_DaemonIsGameModeOn() ? '1' : '0';
    conn.state[1] = '\0';
    conn.replied_at = GetTickCount();
    start_operation(server.reply);
    DWORD written;
    if (WriteFile(server.pipe.get(), conn.state, sizeof conn.state, &written, &server.reply)) return Step::linger;
    if (GetLastError() != ERROR_IO_PENDING) return Step::disconnect;
    conn.reply_pending = true;
    switch (wait_or_stop(server, server.reply.hEvent, grace_ms)) {
    case Wait::done:
        conn.reply_pending = false;
        return GetOverlappedResult(server.pipe.get(), &server.reply, &written, FALSE) ? Step::linger
                                                                                      : Step::disconnect;
    case Wait::stop:
        server.stopping = true;
        return Step::disconnect;
    default:
        return Step::disconnect;
    }
}

// The bounded flush. Disconnecting discards what the client has not read yet, so we wait
// until the client has taken the reply, which it shows by closing its end: a read pending
// on our side then completes with ERROR_BROKEN_PIPE. FlushFileBuffers would wait for the
// same thing, but without a limit and deaf to the stop event; here every turn looks at
// the stop event and the clock, reads that complete at once included, and the client is
// dropped grace_ms after the reply whatever it does. Anything it writes meanwhile (a late
// request, the rest of an over-long one, a flood) is read and discarded, never executed.
// A read that completes with nothing ends the wait too, so that no platform's end-of-pipe
// can make us spin.
Step linger(PipeServer& server, Connection& conn)
{
    for (bool at_once = false;; at_once = true) { // every turn but the first follows a read that did not wait
        if (at_once && stop_requested(server)) {
            server.stopping = true;
            return Step::disconnect;
        }
        DWORD left = left_of(conn.replied_at, grace_ms);
        if (!left) return Step::disconnect;
        if (!conn.io_pending) {
            start_operation(server.io);
            DWORD count = 0;
            if (ReadFile(server.pipe.get(), conn.receive, request_limit, &count, &server.io)) {
                if (!GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE) || count == 0)
                    return Step::disconnect;
                continue;
            }
            DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) continue;
            if (error != ERROR_IO_PENDING) return Step::disconnect; // closed: the reply is taken
            conn.io_pending = true;
        }
        switch (wait_or_stop(server, server.io.hEvent, left)) {
        case Wait::done: break;
        case Wait::stop: server.stopping = true; return Step::disconnect;
        case Wait::timeout: return Step::disconnect;
        }
        conn.io_pending = false;
        DWORD count = 0;
        if (GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE)) {
            if (count == 0) return Step::disconnect;
        } else if (GetLastError() != ERROR_MORE_DATA) {
            return Step::disconnect;
        }
    }
}

// Lets an outstanding operation finish (it was cancelled or its pipe disconnected) so that
// its record can be used again. Should it not finish in time, the instance is closed,
// which ends every operation on it; should even that not end it, the thread ends rather
// than reuse the record.
void finish_operation(PipeServer& server, OVERLAPPED& record, bool& pending)
{
    if (!pending) return;
    if (WaitForSingleObject(record.hEvent, cancel_wait_ms) != WAIT_OBJECT_0) {
        server.pipe.reset();
        server.renew = true;
        if (WaitForSingleObject(record.hEvent, cancel_wait_ms) != WAIT_OBJECT_0) server.stopping = true;
    }
    pending = false;
}

Step end_connection(PipeServer& server, Connection& conn)
{
    if (conn.io_pending || conn.reply_pending) CancelIo(server.pipe.get());
    DisconnectNamedPipe(server.pipe.get());
    finish_operation(server, server.io, conn.io_pending);
    finish_operation(server, server.reply, conn.reply_pending);
    if (server.stopping) return Step::stop;
    return server.renew ? Step::renew : Step::wait_client;
}

// A new instance in place of one that failed: a short pause (a failure that repeats at once
// must not make us spin), then creation, again every few seconds while the name is taken.
Step renew_instance(PipeServer& server)
{
    server.renew = false;
    server.pipe.reset();
    if (WaitForSingleObject(server.stop_event, reconnect_pause_ms) != WAIT_TIMEOUT) return Step::stop;
    return create_instance(server) ? Step::wait_client : Step::stop;
}

void serve(PipeServer& server)
{
    Connection conn = {};
    Step step = server.pipe ? Step::wait_client : create_instance(server) ? Step::wait_client : Step::stop;
    while (step != Step::stop) {
        switch (step) {
        case Step::wait_client: step = wait_for_client(server, conn); break;
        case Step::read_request: step = read_request(server, conn); break;
        case Step::reply: step = write_reply(server, conn); break;
        case Step::linger: step = linger(server, conn); break;
        case Step::disconnect: step = end_connection(server, conn); break;
        case Step::renew: step = renew_instance(server); break;
        case Step::stop: break;
        }
    }
}

void signal_ready(HANDLE ready)
{
    if (ready) SetEvent(ready);
}

DWORD WINAPI TscPipeThread(void*)
{
    TRACE("TscPipeThread - ENTRY\n");
    HANDLE ready = pipe_ready_event;
    PipeServer server;
    server.stop_event = pipe_stop_event;

    DWORD acl_buffer[16]; // 64 bytes, DWORD-aligned as an ACL must be
    DWORD acl_size = sizeof acl_buffer;
    PACL acl = reinterpret_cast<PACL>(acl_buffer);
    SECURITY_DESCRIPTOR descriptor;
    if (!build_pipe_acl(acl, &acl_size) || !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        TRACE("TscPipeThread: Error setting security attributes!\n");
        TRACE("TscPipeThread - EXIT\n");
        return 0; // the starter sees the thread end
    }
    // Not inheritable: a child we start (the power tool, the command interpreter) must not
    // hold our instance and keep the name alive after we are gone.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    server.attributes = &attributes;

    server.io_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    server.reply_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!server.io_event || !server.reply_event) {
        TRACE("TscPipeThread: Error: CreateEvent() failed!\n");
        signal_ready(ready);
    } else {
        server.io.hEvent = server.io_event.get();
        server.reply.hEvent = server.reply_event.get();
        // Tried before the ready signal, so the name exists when Qel_WorkerStart returns;
        // a name taken by another program is tried again while we serve nothing.
        try_create_instance(server);
        signal_ready(ready);
        serve(server);
    }
    // Nothing of ours is expected on the pipe any more: no warning about its name either.
    notice_clear(NOTICE_PIPE_NAME_TAKEN);
    TRACE("TscPipeThread - EXIT\n");
    return 0;
}

} // namespace

BOOL build_pipe_acl(PACL buffer, DWORD* size)
{
    DWORD needed = GetSidLengthRequired(1) + GetSidLengthRequired(1) + 24;
    DWORD offered = *size;
    *size = needed;
    if (offered < needed) return FALSE;

    DWORD world[4]; // room for a one-sub-authority SID (12 bytes), DWORD-aligned
    DWORD creator[4];
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY creator_authority = SECURITY_CREATOR_SID_AUTHORITY;
    if (!InitializeSid(world, &world_authority, 1)) return FALSE;
    *GetSidSubAuthority(world, 0) = SECURITY_WORLD_RID;
    if (!InitializeSid(creator, &creator_authority, 1)) return FALSE;
    *GetSidSubAuthority(creator, 0) = SECURITY_CREATOR_OWNER_RID;

    if (!InitializeAcl(buffer, needed, ACL_REVISION)) return FALSE;
    if (!AddAccessAllowedAce(buffer, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE, world)) return FALSE;
    return AddAccessAllowedAce(buffer, ACL_REVISION, FILE_ALL_ACCESS, creator);
}

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
        pipe_thread = CreateThread(nullptr, 0, TscPipeThread, nullptr, 0, nullptr);
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
    TRACE("Qel_WorkerStart - EXIT\n");
    return result;
}

void Qel_WorkerExit()
{
    TRACE("Qel_WorkerExit - ENTRY\n");
    if (pipe_stop_event) {
        if (pipe_thread) {
            SetEvent(pipe_stop_event);
            WaitForSingleObject(pipe_thread, INFINITE);
            CloseHandle(pipe_thread);
            pipe_thread = nullptr;
        }
        CloseHandle(pipe_stop_event);
        pipe_stop_event = nullptr;
    }
    worker_running = false;
    Qel_DaemonExit();
    TRACE("Qel_WorkerExit - EXIT\n");
}
