// The control pipe as server and client both know it: name, bounds, replies, and a client's
// side of the exchange (open, requests, the two-byte state reply).
#pragma once
#include "common/switch_bounds.h"

#include <windows.h>

// "\\.\pipe\QelTscPipe": message mode, any local user, one connection served at a time in
// the order the clients connected, on any of its instances.
extern const char control_pipe_name[];
constexpr int control_pipe_instances = 4;
// One connection: about a second of the client's own time plus one wait for its wishes. A
// client behind every other instance waits for all of them: for a free instance, and again
// for its reply.
inline DWORD control_pipe_connection_bound_ms() { return wish_bound_ms() + 2000; }
inline DWORD control_pipe_busy_wait_ms() { return control_pipe_instances * control_pipe_connection_bound_ms(); }
inline DWORD control_pipe_reply_wait_ms() { return control_pipe_instances * control_pipe_connection_bound_ms(); }
// The reply when the request's wish was not taken within wish_bound_ms: the wish holds.
constexpr char control_pipe_busy_reply = 'B';

// Each client process's share of the pipe: at most control_pipe_share_connects connections
// served within control_pipe_share_window_ms, and its own time (its reply left unread after
// it was written) at most control_pipe_hold_limit_ms ahead of a drain of half the
// pipe's time, shared among the processes that hold it. A connection beyond the share is
// refused: its reply is control_pipe_refused_reply, a NUL, then "<connections> <own ms>"
// and a NUL, the connections its process made within the last second and its own time.
constexpr int control_pipe_share_connects = 4;
constexpr DWORD control_pipe_share_window_ms = 1000;
constexpr DWORD control_pipe_hold_limit_ms = 1500;
constexpr char control_pipe_refused_reply = 'R';

// The processes at the two ends of pipe (either end); FALSE before Vista or when it fails.
BOOL control_pipe_server_process(HANDLE pipe, ULONG* process_id);
BOOL control_pipe_client_process(HANDLE pipe, ULONG* process_id);

// Opens the pipe as a client: overlapped (no wait without limit), message read mode, the
// server may identify us but not act as us. Tries again while it is busy, wait_ms in all (0:
// once); access adds to GENERIC_READ | GENERIC_WRITE; name: a benchmark's pipe. On failure
// INVALID_HANDLE_VALUE, *error from the last try.
HANDLE control_pipe_open(DWORD wait_ms, DWORD* error, DWORD access = 0, const char* name = control_pipe_name);

// One write or read, waited for at most wait_ms; FALSE with GetLastError (ERROR_MORE_DATA:
// a longer message; WAIT_TIMEOUT) when it did not complete. *count: the bytes moved.
BOOL control_pipe_transfer(HANDLE pipe, BOOL write, void* buffer, DWORD size, DWORD* count, DWORD wait_ms);

enum class ControlPipeExchange { done, failed, malformed, busy, refused };

// What a refusal said.
struct ControlPipeRefusal {
    int connects = 0;      // connections of this process within the last second
    unsigned long own_ms = 0; // its own time not yet drained
};

// One exchange: the request as one message (nullptr: none; the server answers when its
// request window closes), then the reply, each within wait_ms. done: "1" or "0" and a NUL,
// the state in *state; busy: "B" and a NUL; refused: the refusal, its numbers in *refusal;
// malformed: any other reply.
ControlPipeExchange control_pipe_exchange(HANDLE pipe, const char* request, DWORD wait_ms, char* state,
                                          ControlPipeRefusal* refusal = nullptr);
