// Private to the worker: the pipe's instances (pipe_instances.cpp), what is done to them
// between connections, and the records of their operations.
#pragma once
#include "worker/pipe_state.h"

namespace worker_pipe {

// Creates the instances, or says (through a notice) that the name is another program's;
// false then, with none made.
bool try_create_instance(PipeServer& server);
// Tries again every few seconds until the first instance exists (and makes the others);
// false when the stop event came.
bool create_instance(PipeServer& server);
// Closes in's handle (its client sees the end of the pipe) and makes a new instance in its
// place; false when none could be made (in is then left without one).
bool remake_instance(PipeServer& server, Instance& in);
// Closes every instance, its outstanding connect ended first.
void close_instances(PipeServer& server);
// Readies a record for its next operation; into_port: a connect, whose completion goes to
// the completion port (reads and writes are kept out of it).
void start_operation(OVERLAPPED& record, bool into_port = false);
// The event of an operation's record, without the mark start_operation may have put on it.
HANDLE record_event(const OVERLAPPED& record);

} // namespace worker_pipe
