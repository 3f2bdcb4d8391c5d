// The worker: starts and stops the daemon, and serves the control pipe
// "\\.\pipe\QelTscPipe" while Gaming Mode is available.
#pragma once
#include <windows.h>

// Starts the daemon and, when Gaming Mode is available, the pipe thread; 1 then, else 0.
// While the worker runs it does nothing and returns 1.
int Qel_WorkerStart(int a, int b);
// Stops the pipe thread if one runs, then always exits the daemon.
void Qel_WorkerExit();
