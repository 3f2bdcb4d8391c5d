// The exchange of one connection, as a small state machine.
//
// A client connects, writes zero or more requests, reads the two-byte state reply and
// closes. The thread executes every request already in the pipe when it reads, replies as
// soon as a read finds the pipe empty (the first read of a connection waits for a request
// first, up to the whole request window), and then ends the connection.
//
// Any local process may open the pipe, and one connection is served at a time, so no
// client may hold it long: a connection is served for at most serve_ms of its own time
// (a request read after that time is read and discarded unexecuted; past the first few
// requests the reply is written at once), and ended at most grace_ms after its reply,
// whatever the client does. The time the server spends waiting for Gaming Mode's owner (a
// switch of this client's, or one running for someone else) is the server's, not the
// client's: requests the client wrote meanwhile are still read and executed in order.
// Every wait also watches the stop event.
//
// Each client process has its share (pipe_state.h), counted in its own time only. A
// connection beyond the share is not served: it gets the refusal message at once (a raw
// client sees "R", a NUL and why), and it is ended as soon as the client has read it, so
// the next client in the queue gets its turn.
#include "worker/pipe_connection.h"

#include "common/control_pipe.h"
#include "common/trace.h"
#include "daemon/daemon.h"
#include "worker/pipe_instances.h"
#include "worker/pipe_share.h"

#include <string.h>

namespace worker_pipe {
namespace {

constexpr DWORD serve_ms = 500;        // from connect: requests are executed and the reply written within this
constexpr DWORD grace_ms = 500;        // from the reply: the client's time to read it
constexpr DWORD reply_at_end_ms = 250; // at the end of tickmend: the client's time to read its reply

// Where one connection stands; serve_connection() moves between these.
enum class Step { read_request, reply, refuse, linger, disconnect, done };

// One connection's state, from its connect to its end.
struct Connection {
    char receive[request_limit + 1]; // a request and the NUL we put after it
    char reply[24];                  // the reply; lives as long as its write
    bool io_pending;                 // a read on the instance's io record is outstanding
    bool reply_pending;              // the reply write on its reply record is outstanding
    bool read_once;                  // a read of this connection has completed
    DWORD executed;                  // requests executed on this connection
    DWORD connected_at;              // GetTickCount() when the client was connected
    DWORD switching_ms;              // spent waiting for Gaming Mode's owner: not the client's time
    DWORD replied_at;                // GetTickCount() when the reply was written
    bool refused;                    // beyond its process's share: told so, never served
    DWORD grace;                     // after the reply: the client's time to read it
    bool unread;                     // dropped with its reply (or refusal) unread
    bool reply_read;                 // the client read its reply (or refusal) whole
    Refusal why;
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

// What is left of the connection's request window: its own time only, never the time the
// server spent waiting for Gaming Mode's owner.
DWORD window_left(const Connection& conn)
{
    return left_of(conn.connected_at + conn.switching_ms, serve_ms);
}

// Asks Gaming Mode's owner, the wait booked as the server's; the stop event ends the wait.
int ask_owner(PipeServer& server, Connection& conn, daemon_wish order)
{
    const DWORD started = GetTickCount();
    int answer = Qel_DaemonWish(order, server.stop_event);
    conn.switching_ms += GetTickCount() - started;
    // A state answered: a stop that came meanwhile is seen by the next wait (each waits on it).
    if (answer < 0 && stop_requested(server)) server.stopping = true;
    return answer;
}

// A connected client is served, unless its process is beyond its share: then it is told so.
Step served_or_refused(PipeServer& server, Connection& conn)
{
    conn.refused = note_client(server, server.cur->pipe.get(), &conn.why);
    conn.grace = grace_ms;
    if (!conn.refused) return Step::read_request;
    // A process that left a refusal unread within the last second is not waited for again:
    // it is told, and dropped at once.
    const ClientRate* rate = server.reader;
    const bool ignores = rate && rate->refusal_unread_at && GetTickCount() - rate->refusal_unread_at < share_window_ms;
    conn.grace = ignores ? 0 : refusal_grace_ms;
    return Step::refuse;
}

// Takes a request of count bytes that a read has just delivered: executes it while the
// connection is within its share of requests and time, else drops it unexecuted. "1" and
// "0" are wishes for Gaming Mode's owner; any other text changes nothing.
Step execute_request(PipeServer& server, Connection& conn, DWORD count)
{
    conn.read_once = true;
    if (count == 0) return Step::disconnect; // a zero-length message ends the connection without a reply
    // Past the first few the client floods: the reply now, the rest drained unexecuted while
    // it lingers, which is its own time.
    if (!connection_may_execute(conn.executed)) return Step::reply;
    if (!window_left(conn)) return Step::read_request;
    conn.receive[count] = '\0';
    ++conn.executed;
    daemon_wish wish;
    if (strcmp(conn.receive, "1") == 0) wish = daemon_wish::on;
    else if (strcmp(conn.receive, "0") == 0) wish = daemon_wish::off;
    else return Step::read_request;
    // Each wish is waited for before the next request is read, so that the requests of one
    // connection are taken in the order they came; not taken in its bound, the reply says busy.
    if (ask_owner(server, conn, wish) < 0 || server.stopping) return Step::reply;
    return Step::read_request;
}

// A client can write only once it is connected, and its connect wakes us first: the first
// read of a connection finds the pipe empty more often than not, although the request is
// on its way, and a client whose thread is not scheduled at once (a launcher on a busy
// machine, a script) writes it much later. Answering then would report the old state and
// drop the request unexecuted, so the first read waits for it through the whole request
// window. A client that sends nothing (a plain state query) gets its reply when the window
// closes; one that sends any text ("?" asks for the state alone) gets it at once.
Step await_first_request(PipeServer& server, Connection& conn)
{
    switch (wait_or_stop(server, record_event(server.cur->io), window_left(conn))) {
    case Wait::timeout: return Step::reply; // the read stays pending while we reply
    case Wait::stop: server.stopping = true; return Step::disconnect;
    case Wait::done: break;
    }
    conn.io_pending = false;
    DWORD count = 0;
    if (GetOverlappedResult(server.cur->pipe.get(), &server.cur->io, &count, FALSE)) return execute_request(server, conn, count);
    conn.read_once = true;
    // Over 256 bytes: not executed; its rest is drained while lingering.
    return GetLastError() == ERROR_MORE_DATA ? Step::reply : Step::disconnect;
}

// Reads one request. Takes it when it came at once; replies when the pipe is empty, and
// when the connection has had its time, even if the client still writes.
Step read_request(PipeServer& server, Connection& conn)
{
    // Reads that complete at once never wait on the stop event: from the second on, look at it.
    if (conn.executed > 1 && stop_requested(server)) {
        server.stopping = true;
        return Step::disconnect;
    }
    if (!window_left(conn)) return Step::reply;
    start_operation(server.cur->io);
    DWORD count = 0;
    if (ReadFile(server.cur->pipe.get(), conn.receive, request_limit, &count, &server.cur->io)) {
        if (!GetOverlappedResult(server.cur->pipe.get(), &server.cur->io, &count, FALSE)) return Step::disconnect;
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

// Writes the reply of size bytes in conn.reply through its own record (the read may still
// be pending on the io record). The pipe keeps no byte of a reply (its outbound buffer is
// empty, pipe_server.cpp): the write completes when the client has read the reply whole.
Step write_message(PipeServer& server, Connection& conn, DWORD size)
{
    conn.replied_at = GetTickCount();
    start_operation(server.cur->reply);
    DWORD written;
    conn.reply_read = WriteFile(server.cur->pipe.get(), conn.reply, size, &written, &server.cur->reply) != 0;
    if (conn.reply_read) return Step::disconnect; // a read that waited for it took it
    if (GetLastError() != ERROR_IO_PENDING) return Step::disconnect;
    conn.reply_pending = true;
    return Step::linger;
}

// The state reply: the state once every wish made before it is taken (the client's own
// among them), "B" when that did not come within wish_bound_ms: the client is told, never
// an old state. At the end of tickmend the client still hears a reply (busy, when its wish
// was not taken before the end), never a broken pipe; its read is waited for a moment only.
Step write_reply(PipeServer& server, Connection& conn)
{
    int state = ask_owner(server, conn, daemon_wish::state);
    conn.reply[0] = state == 1 ? '1' : state == 0 ? '0' : control_pipe_busy_reply; // anything else is not a state
    conn.reply[1] = '\0';
    if (!server.stopping) return write_message(server, conn, 2);
    start_operation(server.cur->reply);
    DWORD written;
    HANDLE pipe = server.cur->pipe.get();
    if (!WriteFile(pipe, conn.reply, 2, &written, &server.cur->reply) && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(record_event(server.cur->reply), reply_at_end_ms) != WAIT_OBJECT_0) CancelIo(pipe);
        GetOverlappedResult(pipe, &server.cur->reply, &written, TRUE);
    }
    return Step::disconnect;
}

// The refusal: "R", a NUL, then why as text and a NUL: the connections its process made
// within the last second and its own time not yet drained, in ms ("R\0" "7 0\0").
Step write_refusal(PipeServer& server, Connection& conn)
{
    conn.reply[0] = control_pipe_refused_reply;
    conn.reply[1] = '\0';
    int length = wsprintfA(conn.reply + 2, "%d %lu", conn.why.connects, conn.why.debt_ms);
    return write_message(server, conn, static_cast<DWORD>(2 + length + 1));
}

// Waits until the client has read its reply (the reply's write completes), has gone, or
// has had grace_ms since the reply: then the connection ends. FlushFileBuffers would wait
// for the read too, but without a limit and deaf to the stop event; here every turn looks
// at the stop event and the clock, reads that complete at once included. Anything the
// client writes meanwhile (a late request, the rest of an over-long one) is read and
// discarded, never executed; a client that writes more messages than a connection may make
// requests floods, and is dropped at once. A read that completes with nothing ends the
// wait too, so that no platform's end-of-pipe can make us spin.
Step linger(PipeServer& server, Connection& conn)
{
    Instance& in = *server.cur;
    DWORD drained = 0;
    for (bool at_once = false;; at_once = true) { // every turn but the first follows a read that did not wait
        if (at_once && stop_requested(server)) {
            server.stopping = true;
            return Step::disconnect;
        }
        DWORD left = left_of(conn.replied_at, conn.grace);
        if (!left || drained > requests_per_connection) {
            conn.unread = true;
            return Step::disconnect;
        }
        DWORD count = 0;
        if (!conn.io_pending) {
            start_operation(in.io);
            if (ReadFile(in.pipe.get(), conn.receive, request_limit, &count, &in.io)) {
                if (!GetOverlappedResult(in.pipe.get(), &in.io, &count, FALSE) || count == 0) return Step::disconnect;
                ++drained;
                continue;
            }
            DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) continue;
            if (error != ERROR_IO_PENDING) return Step::disconnect; // it has gone
            conn.io_pending = true;
        }
        HANDLE events[3] = {record_event(in.reply), record_event(in.io), server.stop_event};
        switch (WaitForMultipleObjects(3, events, FALSE, left)) {
        case WAIT_OBJECT_0: // read whole, or the client has gone: the connection has done its work
            conn.reply_read = GetOverlappedResult(in.pipe.get(), &in.reply, &count, FALSE) != 0;
            return Step::disconnect;
        case WAIT_OBJECT_0 + 1:
            conn.io_pending = false;
            if (GetOverlappedResult(in.pipe.get(), &in.io, &count, FALSE)) {
                if (count == 0) return Step::disconnect;
                ++drained;
            } else if (GetLastError() != ERROR_MORE_DATA) {
                return Step::disconnect;
            }
            break;
        case WAIT_TIMEOUT: conn.unread = true; return Step::disconnect;
        default: server.stopping = true; return Step::disconnect;
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
    if (WaitForSingleObject(record_event(record), cancel_wait_ms) != WAIT_OBJECT_0) {
        server.cur->pipe.reset();
        server.renew = true;
        if (WaitForSingleObject(record_event(record), cancel_wait_ms) != WAIT_OBJECT_0) server.stopping = true;
    }
    pending = false;
}

Step end_connection(PipeServer& server, Connection& conn)
{
    // The client's own time: from its reply (or refusal) until it read it, went, or was dropped.
    // One that leaves its reply unread was not waiting for it either: the request window it
    // let run (never a switch) is its own time too.
    if (conn.replied_at) {
        DWORD own = GetTickCount() - conn.replied_at;
        if (conn.unread) {
            const DWORD window = conn.replied_at - conn.connected_at;
            own += window > conn.switching_ms ? window - conn.switching_ms : 0;
        }
        book_client_time(server, own, conn.unread && conn.refused && conn.grace, conn.reply_read);
    }
    server.holder = nullptr;
    if (conn.io_pending || conn.reply_pending) CancelIo(server.cur->pipe.get());
    finish_operation(server, server.cur->io, conn.io_pending);
    finish_operation(server, server.cur->reply, conn.reply_pending);
    // Our end closed, not disconnected: a client that reads on after its reply gets the
    // pipe's end (ERROR_BROKEN_PIPE, what every reader takes for end of file) at once.
    if (!server.renew && !server.stopping) remake_instance(server, *server.cur);
    return Step::done;
}

} // namespace

AfterConnection serve_connection(PipeServer& server)
{
    Connection conn = {};
    conn.connected_at = GetTickCount();
    Step step = served_or_refused(server, conn);
    while (step != Step::done) {
        switch (step) {
        case Step::read_request: step = read_request(server, conn); break;
        case Step::reply: step = write_reply(server, conn); break;
        case Step::refuse: step = write_refusal(server, conn); break;
        case Step::linger: step = linger(server, conn); break;
        case Step::disconnect: step = end_connection(server, conn); break;
        case Step::done: break;
        }
    }
    if (server.stopping) return AfterConnection::stop;
    return server.renew ? AfterConnection::renew : AfterConnection::next;
}

} // namespace worker_pipe
