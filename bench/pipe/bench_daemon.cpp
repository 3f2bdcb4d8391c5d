// The daemon the pipe benchmarks run against: Gaming Mode as a flag under a mutex, as the
// real daemon keeps it, without touching the machine. It counts what it executes.
#include "bench_daemon.h"

#include "daemon/daemon.h"

#include <string.h>

volatile LONG scheme_changed_externally;

namespace {
HANDLE lock;
int game_mode_on;
LONG executed;
char last_executed;
} // namespace

int Qel_DaemonStart(int, int, int* available)
{
    lock = CreateMutexA(nullptr, FALSE, nullptr);
    game_mode_on = 0;
    if (available) *available = 1;
    return 1;
}

void Qel_DaemonExit()
{
    if (lock) CloseHandle(lock);
    lock = nullptr;
}

void Qel_DaemonDoCommand(const char* command)
{
    if (strcmp(command, "1") != 0 && strcmp(command, "0") != 0) return;
    WaitForSingleObject(lock, INFINITE);
    game_mode_on = command[0] == '1';
    last_executed = command[0];
    ++executed;
    ReleaseMutex(lock);
}

int Qel_DaemonIsGameModeOn()
{
    WaitForSingleObject(lock, INFINITE);
    int on = game_mode_on;
    ReleaseMutex(lock);
    return on;
}

LONG bench_daemon_executed() { return executed; }
char bench_daemon_last_executed() { return last_executed; }
