// Private to the worker: what the parts of the pipe thread share, its instances, the clients'
// shares and the thread's state. Calls run one way: the thread (pipe_server.cpp) -> the
// listening on the instances (pipe_listen.h) -> the exchange of one connection
// (pipe_connection.h) -> each process's share (pipe_share.h) and the instances themselves
// (pipe_instances.h).
#pragma once
#include "common/control_pipe.h"
#include "common/handle.h"

#include <windows.h>

namespace worker_pipe {

constexpr DWORD request_limit = 256; // the longest request we execute, and both pipe buffers
constexpr DWORD cancel_wait_ms = 1000; // a cancelled operation that takes longer costs the instance

// Each client process's share of the pipe (Vista on, where Windows names the
// client's process). Only the client's own time counts against it: the time its reply
// stays unread after it was written (the connection ends once it is read), never the
// server's request window for a client that writes nothing, nor a Gaming Mode switch.
// - At most share_connects connections of one process are served within share_window_ms;
//   refused ones do not count, so a process is served again once its oldest served
//   connection has left the window, however often it retried meanwhile.
// - The own time of every process goes into its hold debt, and the debts of all processes
//   together drain at hold_drain_per_ms (shared among the processes that owe): a process
//   whose debt passes hold_limit_ms is refused until it has drained below. So processes
//   that hold connections unread have half of the pipe's time at most, all of them together.
// - A process has a share of time of its own only once it has read a reply (or a refusal):
//   until then its time is the newcomers', one share for every such process together, so
//   that many fresh processes that never read keep to the same half.
// A connection left with its reply unread owes its request window too. A refused connection
// is answered at once with the refusal message and ended when the client has read it, or
// refusal_grace_ms after; at once when its process left a refusal unread within the window.
constexpr int share_connects = control_pipe_share_connects;
constexpr DWORD share_window_ms = control_pipe_share_window_ms;
constexpr DWORD hold_limit_ms = control_pipe_hold_limit_ms;
constexpr DWORD hold_drain_divisor = 2; // debts drain by one ms every two ms, all together
constexpr DWORD refusal_grace_ms = 100;
constexpr int attempts_kept = 32;   // connections of a process counted for the refusal message
constexpr int tracked_clients = 16; // processes whose recent connections are remembered

// One client process's recent connections.
struct ClientRate {
    ULONG process_id;
    tk::unique_handle process;       // held while we remember it, so that its id is not another's meanwhile
    DWORD served_at[share_connects]; // GetTickCount() at its last served connects, a ring; 0: none
    int next_served;                 // the slot the next served connection goes to
    DWORD attempt_at[attempts_kept]; // its last connects, served or refused, a ring; 0: none
    int next_attempt;
    DWORD debt_ms;                   // own time not yet drained
    DWORD last_seen;                 // its last connect
    DWORD refusal_unread_at;         // when it last left a refusal unread; 0: never
    bool proven;                     // it has read a reply: its time is its own
};

// Why a connection was refused, for the refusal message.
struct Refusal {
    int connects;   // connections of its process within the last share_window_ms, this one included
    DWORD debt_ms;  // its process's own time not yet drained
};

// The instances of the pipe: a client finds one free while others are connected, so a
// process reconnecting in a tight loop cannot win every race for the one that was just
// freed. Connections are served one at a time, in the order the clients connected (their
// connects complete into one completion port, which keeps that order).
constexpr int pipe_instances = control_pipe_instances;

// One instance and its operations' records.
struct Instance {
    tk::unique_hfile pipe;
    tk::unique_handle io_event;    // connects and reads
    tk::unique_handle reply_event; // the reply write, which runs while a read is pending
    OVERLAPPED io = {};
    OVERLAPPED reply = {};
    bool listening = false; // a connect is outstanding on io
    bool connected = false; // a client connected before we listened and waits in the queue
    bool connect_failed = false; // the connect completed with an error: only disconnected
};

// What the pipe thread owns for its whole life.
struct PipeServer {
    HANDLE stop_event = nullptr;   // the worker's; not owned
    SECURITY_ATTRIBUTES* attributes = nullptr; // the thread's, for every instance it creates
    Instance instances[pipe_instances]; // the first made with FILE_FLAG_FIRST_PIPE_INSTANCE
    tk::unique_handle port;        // the instances' connects complete into it, in the clients' order
    Instance* queue[pipe_instances] = {}; // connected before we listened (no completion): served first
    int queued = 0;
    Instance* cur = nullptr;       // the instance whose connection is served
    bool stopping = false; // end the thread once the current connection is closed
    bool renew = false;    // close the instances once the current connection is closed, make new ones
    bool holder_asked = false; // the holder of the taken name was looked for since we last had it
    ClientRate clients[tracked_clients] = {};
    DWORD drained_at = 0;             // when the debts were last drained
    ClientRate newcomers = {};        // the time of every process that has not read a reply yet
    ClientRate* holder = nullptr;     // whose time the connection being served is, while one is
    ULONG holder_id = 0;              // its id (the slot may be given to another meanwhile; 0: newcomers)
    ClientRate* reader = nullptr;     // the process of the connection being served, while one is
    ULONG reader_id = 0;              // its id
};

} // namespace worker_pipe
