// The time-stamp counters of the simulated processors: the machine's real TSC plus, per
// processor, an offset and a drift rate. They live in this process, or in a state file that
// every process on the same simulated machine maps. Internal to the simulated machine.
#pragma once
#include "sim/machine.h"

#include <string>

// Starts every counter as the machine describes it, seen by this process alone.
void counters_start_private(const SimMachine& machine);
// Maps the state file at path (made when missing), shared with every process that maps it,
// and starts it anew when it holds another machine or a boot before the real counter's last
// reset. false with *error when the file cannot be used; the counters are then unchanged.
bool counters_open_shared(const SimMachine& machine, const char* path, std::string* error);
// The state file's name in the temporary folder when no path is given: one per machine.
std::string counters_default_path(const SimMachine& machine);

// The TSC of processor bit now, read after every earlier load (platform_ordered_tsc). Safe
// from any thread while another process writes.
ULONGLONG counters_read(int bit);
// Sets the counter of processor to to that of processor from, now.
void counters_copy(int from, int to);
// Moves the counter of processor bit by cycles, now.
void counters_shift(int bit, LONGLONG cycles);
// Tells a driver of the test build which processor the next request comes from (-1: none).
void counters_set_requesting(int bit);
// Tells a driver of the test build the access the next open of its device asks for.
void counters_set_opening(DWORD access);
// Holds a processor's drift at zero from now on, or lets it drift again from its value now.
void counters_hold_drift(int bit, bool hold);
