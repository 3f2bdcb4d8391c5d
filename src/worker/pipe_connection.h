// Private to the worker: the exchange of one connection (pipe_connection.cpp), from the
// client's connect to the end of the connection: its requests executed, the state reply
// (or the refusal, when its process is beyond its share) and the wait for it to be read.
#pragma once
#include "worker/pipe_state.h"

namespace worker_pipe {

// A connection's requests: at most this many are executed; later ones are read and discarded.
constexpr DWORD requests_per_connection = 16;
// Whether a connection that has executed `executed` requests may execute another.
inline bool connection_may_execute(DWORD executed) { return executed < requests_per_connection; }

// What the listening loop does after a connection.
enum class AfterConnection { next, renew, stop };

// Serves the client connected on server.cur and ends its connection.
AfterConnection serve_connection(PipeServer& server);

} // namespace worker_pipe
