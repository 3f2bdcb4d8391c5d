// Private to the worker: the exchange of one connection (pipe_connection.cpp), from the
// client's connect to the end of the connection: its requests executed, the state reply
// (or the refusal, when its process is beyond its share) and the wait for it to be read.
#pragma once
#include "worker/pipe_state.h"

namespace worker_pipe {

// What the listening loop does after a connection.
enum class AfterConnection { next, renew, stop };

// Serves the client connected on server.cur and ends its connection.
AfterConnection serve_connection(PipeServer& server);

} // namespace worker_pipe
