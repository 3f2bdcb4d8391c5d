// Private to the worker: the listening side of the pipe thread (pipe_listen.cpp). The
// instances are listened on together, their connects completing into one completion port
// that keeps the clients in the order they connected; each connected client is handed to
// the exchange of one connection (pipe_connection.h), one at a time.
#pragma once
#include "worker/pipe_state.h"

namespace worker_pipe {

// Serves connections until the stop event comes or the instances cannot be had.
void serve(PipeServer& server);

} // namespace worker_pipe
