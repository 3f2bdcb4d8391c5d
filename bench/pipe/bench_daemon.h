// Counters of the benchmarks' daemon.
#pragma once
#include <windows.h>

// Commands ("1" or "0") executed since the start.
LONG bench_daemon_executed();
// The last command executed, 0 before any.
char bench_daemon_last_executed();
