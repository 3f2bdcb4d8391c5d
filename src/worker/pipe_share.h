// Private to the worker: each client process's share of the pipe (pipe_share.cpp; the rule
// is in pipe_state.h).
#pragma once
#include "worker/pipe_state.h"

namespace worker_pipe {

// Notes a connection of the client process on pipe, which becomes server.holder; true, with
// *why, when it is beyond its share.
bool note_client(PipeServer& server, HANDLE pipe, Refusal* why);
// Books own_ms of the holder's own time (from its reply until it closed or was dropped, and
// the request window it let run when it left the reply unread) as its debt; refusal_unread:
// it left a refusal unread, and is not waited for again within the second; reply_read: it
// read its reply (or refusal), and has a share of its own from now on.
void book_client_time(PipeServer& server, DWORD own_ms, bool refusal_unread, bool reply_read);

} // namespace worker_pipe
