// The worker: the daemon's start and exit, and the pipe thread that serves
// "\\.\pipe\QelTscPipe" to any process of any user.
//
// One exchange: a client connects, writes zero or more requests, reads the two-byte state
// reply and closes. The thread executes every request already in the pipe when it reads,
// replies as soon as a read finds the pipe empty (the first read of a connection waits a
// moment for a request first), and then ends the connection. The one
// pipe instance is kept for the worker's whole life (disconnected and connected again), so
// the name never disappears while the worker runs.
#include "worker/worker.h"

#include "common/handle.h"
#include "common/trace.h"
#include "daemon/daemon.h"

namespace {

const char pipe_name[] = "\\\\.\\pipe\\QelTscPipe";
constexpr DWORD request_limit = 256;  // the longest request we execute, and both pipe buffers
constexpr DWORD linger_ms = 5000;     // the longest wait for a client to take its reply and go
constexpr DWORD first_request_ms = 50; // how long a new connection may take to send its first request
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
    tk::unique_handle io_event;    // connects and reads
    tk::unique_handle reply_event; // the reply write, which runs while a read is pending
    tk::unique_hfile pipe;         // the one instance
    OVERLAPPED io = {};
    OVERLAPPED reply = {};
    bool stopping = false; // end the thread once the current connection is closed
};

// Where one connection stands; the loop in serve() moves between these.
enum class Step { wait_client, read_request, reply, linger, disconnect, stop };

// One connection's state, cleared before every connect.
struct Connection {
    char receive[request_limit + 1]; // a request and the NUL we put after it
    char state[2];                   // the reply; lives as long as its write
    bool io_pending;                 // a connect or read on server.io is outstanding
    bool reply_pending;              // the reply write on server.reply is outstanding
    bool read_once;                  // a read of this connection has completed
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
    return CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            mode, 1, request_limit, request_limit, 0, attributes);
}

Step wait_for_client(PipeServer& server, Connection& conn)
{
    conn = {};
    start_operation(server.io);
    if (ConnectNamedPipe(server.pipe.get(), &server.io)) return Step::read_request;
    switch (GetLastError()) {
    case ERROR_PIPE_CONNECTED: // connected before the call; Wine does not set the event then
        return Step::read_request;
    case ERROR_NO_DATA: // connected and closed again already
        return Step::disconnect;
    case ERROR_IO_PENDING:
        break;
    default: // the instance is unusable; do not spin on it
        server.stopping = true;
        return Step::disconnect;
    }
    conn.io_pending = true;
    switch (wait_or_stop(server, server.io.hEvent, INFINITE)) {
    case Wait::done: {
        conn.io_pending = false;
        DWORD unused;
        return GetOverlappedResult(server.pipe.get(), &server.io, &unused, FALSE) ? Step::read_request
                                                                                    : Step::disconnect;
    }
    default:
        server.stopping = true;
        return Step::disconnect;
    }
}

// Executes a request of count bytes that a read has just delivered.
Step execute_request(PipeServer& server, Connection& conn, DWORD count)
{
    conn.read_once = true;
    if (count == 0) return Step::disconnect; // a zero-length message ends the connection without a reply
    conn.receive[count] = '\0';
    Qel_DaemonDoCommand(conn.receive);
    if (stop_requested(server)) { // a client that writes without pause must not hold us
        server.stopping = true;
        return Step::disconnect;
    }
    return Step::read_request;
}

// A client can write only once it is connected, and its connect wakes us first: the first
// read of a connection finds the pipe empty more often than not, although the request is
// on its way. Answering then would report the old state and drop the request unexecuted,
// so the first read waits a moment for it. A client that sends nothing (a plain state
// query) gets its reply after that moment; one that sends any other text gets it at once.
Step await_first_request(PipeServer& server, Connection& conn)
{
    switch (wait_or_stop(server, server.io.hEvent, first_request_ms)) {
    case Wait::timeout: return Step::reply; // the read stays pending while we reply
    case Wait::stop: server.stopping = true; return Step::disconnect;
    case Wait::done: break;
    }
    conn.io_pending = false;
    DWORD count = 0;
    if (GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE)) return execute_request(server, conn, count);
    conn.read_once = true;
    // Over 256 bytes: not executed; its rest is drained while lingering.
    return GetLastError() == ERROR_MORE_DATA ? Step::reply : Step::disconnect;
}

// Reads one request. Executes it when it came at once; replies when the pipe is empty.
Step read_request(PipeServer& server, Connection& conn)
{
    start_operation(server.io);
    DWORD count = 0;
    if (ReadFile(server.pipe.get(), conn.receive, request_limit, &count, &server.io)) {
        if (!GetOverlappedResult(server.pipe.get(), &server.io, &count, FALSE)) return Step::disconnect;
        return execute_request(server, conn, count);
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
    switch (wait_or_stop(server, server.reply.hEvent, linger_ms)) {
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
// same thing, but without a limit and deaf to the stop event; a pending read is waited on
// together with the stop event and for at most linger_ms after the reply, so a client that
// never reads is dropped then. Anything the client writes meanwhile (a late request, the
// rest of an over-long one) is read and discarded, never executed. A read that completes
// with nothing ends the wait too, so that no platform's end-of-pipe can make us spin.
Step linger(PipeServer& server, Connection& conn)
{
    for (;;) {
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
        DWORD elapsed = GetTickCount() - conn.replied_at;
        if (elapsed >= linger_ms) return Step::disconnect;
        switch (wait_or_stop(server, server.io.hEvent, linger_ms - elapsed)) {
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
// its record can be used again. Should it never finish, the thread ends rather than reuse it.
void finish_operation(PipeServer& server, OVERLAPPED& record, bool& pending)
{
    if (!pending) return;
    if (WaitForSingleObject(record.hEvent, linger_ms) != WAIT_OBJECT_0) server.stopping = true;
    pending = false;
}

Step end_connection(PipeServer& server, Connection& conn)
{
    if (conn.io_pending || conn.reply_pending) CancelIo(server.pipe.get());
    DisconnectNamedPipe(server.pipe.get());
    finish_operation(server, server.io, conn.io_pending);
    finish_operation(server, server.reply, conn.reply_pending);
    return server.stopping ? Step::stop : Step::wait_client;
}

void serve(PipeServer& server)
{
    Connection conn = {};
    Step step = Step::wait_client;
    while (step != Step::stop) {
        switch (step) {
        case Step::wait_client: step = wait_for_client(server, conn); break;
        case Step::read_request: step = read_request(server, conn); break;
        case Step::reply: step = write_reply(server, conn); break;
        case Step::linger: step = linger(server, conn); break;
        case Step::disconnect: step = end_connection(server, conn); break;
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

    server.io_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    server.reply_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!server.io_event || !server.reply_event) {
        TRACE("TscPipeThread: Error: CreateEvent() failed!\n");
    } else {
        server.io.hEvent = server.io_event.get();
        server.reply.hEvent = server.reply_event.get();
        // Created before the ready signal, so the name exists when Qel_WorkerStart returns.
        server.pipe.reset(create_pipe_instance(&attributes));
        if (!server.pipe) TRACE("TscPipeThread: Error: CreateNamedPipe() failed!\n");
    }
    signal_ready(ready);
    if (server.pipe) serve(server);

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
