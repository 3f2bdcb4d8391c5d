// The control pipe as server and client both know it: its name, the process serving it,
// and a client's side of the exchange (open, requests, the two-byte state reply).
#pragma once
#include "common/switch_bounds.h"

#include <windows.h>

// "\\.\pipe\QelTscPipe": four instances, one connection served at a time in the order the
// clients connected, message mode, any local user.
extern const char control_pipe_name[];

// The server holds one connection at most about a second of the client's own time, plus the
// wait for the wish it carries (wish_bound_ms); a client waits for a busy pipe as long as the
// connection before it can take, and a little more.
inline DWORD control_pipe_busy_wait_ms() { return wish_bound_ms() + 5000; }
// The reply follows the request window (0.5 s) and the wait for the client's wish, which the
// server cuts at wish_bound_ms with "busy": a server that says nothing for this long never will.
inline DWORD control_pipe_reply_wait_ms() { return wish_bound_ms() + 5000; }
// The reply's first byte when Gaming Mode's owner did not take the request's wish within
// wish_bound_ms (a switch passed its own bound): its state is not known; the wish holds.
constexpr char control_pipe_busy_reply = 'B';

// Each client process's share of the pipe: at most control_pipe_share_connects connections
// served within control_pipe_share_window_ms, and its own time (a connection kept open after
// its reply was written) at most control_pipe_hold_limit_ms ahead of a drain of half the
// pipe's time, shared among the processes that hold it. A connection beyond the share is
// refused: its reply is control_pipe_refused_reply, a NUL, then "<connections> <own ms>"
// and a NUL, the connections its process made within the last second and its own time.
constexpr int control_pipe_share_connects = 4;
constexpr DWORD control_pipe_share_window_ms = 1000;
constexpr DWORD control_pipe_hold_limit_ms = 1500;
constexpr char control_pipe_refused_reply = 'R';

// The process serving the pipe that pipe (either end) is connected to, by
// GetNamedPipeServerProcessId, looked up at run time (Vista and later); FALSE where this
// Windows lacks it or the question fails.
BOOL control_pipe_server_process(HANDLE pipe, ULONG* process_id);
// The same for the client's process, by GetNamedPipeClientProcessId.
BOOL control_pipe_client_process(HANDLE pipe, ULONG* process_id);

// Opens the pipe as a client: overlapped (so that no wait is without limit), in message
// read mode, the server allowed to identify us but not to act as us. While another client
// is served it waits and tries again, wait_ms in all (0: one try). access is added to
// GENERIC_READ | GENERIC_WRITE; name is another server's pipe (a benchmark's). Returns
// INVALID_HANDLE_VALUE, with *error from the last try, when it cannot be opened.
HANDLE control_pipe_open(DWORD wait_ms, DWORD* error, DWORD access = 0, const char* name = control_pipe_name);

// One write or read of a pipe opened overlapped, waited for at most wait_ms; FALSE when it
// failed (GetLastError tells; ERROR_MORE_DATA for a message longer than size) or timed
// out (WAIT_TIMEOUT). *count gets the bytes moved.
BOOL control_pipe_transfer(HANDLE pipe, BOOL write, void* buffer, DWORD size, DWORD* count, DWORD wait_ms);

enum class ControlPipeExchange { done, failed, malformed, busy, refused };

// What a refusal said.
struct ControlPipeRefusal {
    int connects = 0;      // connections of this process within the last second
    unsigned long own_ms = 0; // its own time not yet drained
};

// One exchange on an open pipe: the request as one message (nullptr: none, the server
// answers when its request window closes, 0.5 s), then the reply, each waited for at most wait_ms.
// done puts the state character in *state; busy is the reply "B" and a NUL; malformed is any
// other reply than "1" or "0" followed by a NUL; refused is the refusal, its numbers in
// *refusal when given.
ControlPipeExchange control_pipe_exchange(HANDLE pipe, const char* request, DWORD wait_ms, char* state,
                                          ControlPipeRefusal* refusal = nullptr);
