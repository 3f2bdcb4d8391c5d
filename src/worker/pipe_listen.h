// Private to the worker: the listening side of the pipe thread (pipe_listen.cpp). The
// instances are listened on together, their connects completing into one completion port
// that keeps the clients in the order they connected; each connected client is handed to
// the exchange of one connection (pipe_connection.h), one at a time.
#pragma once
#include "worker/pipe_server.h"

namespace worker_pipe {

// Serves connections until the stop event comes or the instances cannot be had.
void serve(PipeServer& server);
// Closes every instance, its outstanding connect ended first.
void close_instances(PipeServer& server);
// Readies a record for its next operation; into_port: a connect, whose completion goes to
// the completion port (reads and writes are kept out of it).
void start_operation(OVERLAPPED& record, bool into_port = false);
// The event of an operation's record, without the mark start_operation may have put on it.
HANDLE record_event(const OVERLAPPED& record);

} // namespace worker_pipe
