// A daemon of the tests' own, linked instead of tm_daemon, so that what drives the daemon
// (the pipe server, the tray application, the pipe benchmarks) runs alone: it records
// every call in order and keeps a plain Gaming Mode flag, touching no machine. Safe to
// call from several threads. The benchmarks in the product tree compile this same file.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace fake_daemon {

// Forgets every call and sets what the next Qel_DaemonStart reports: its result and the
// availability it stores. Gaming Mode is off, no delay, no hook, state reads recorded.
void reset(int start_result = 1, int available = 1);
// Every later command sleeps this long before it takes effect.
void set_command_delay(DWORD ms);
// Whether reads of the state are recorded ("IsGameModeOn"); a window that reads it for
// every menu would fill the record.
void record_state_reads(bool on);
// Called as each command begins; false: it changes nothing (a daemon its worker has exited).
void set_command_hook(bool (*hook)(const char* command));
// Qel_DaemonMeasureCounters sets entered as it begins and waits for gate (within its bound)
// before it answers; nullptr for either: none.
void set_measure_gate(HANDLE gate, HANDLE entered);
// Sets the Gaming Mode flag directly, as a tray command or the daemon's own exit would.
void set_game_mode(int on);
int game_mode();
// The listed program that began the on-period, as Qel_DaemonFollowedProgram tells it ("": none).
void set_followed_program(const char* program);

// The calls since reset, in order: "DaemonStart", "DaemonExit", "DoCommand <text>" (for
// "0" with scheme_changed_externally set: "DoCommand 0 (scheme changed externally)"),
// "FinishRestore", "IsGameModeOn" and "UsersWish".
std::vector<std::string> calls();
// The texts passed to Qel_DaemonDoCommand, in order.
std::vector<std::string> commands();
int count(const char* call);
// Commands that have begun (counted before the delay).
int commands_begun();
// The thread that last read the state (the pipe thread), 0 before any read.
DWORD state_reader_thread();

// The record and the flag themselves, without the lock, for tests whose every call comes
// on one thread (the tray application's); its other fakes add their calls to the record,
// so that the order between them shows.
std::vector<std::string>& record_of_one_thread();
const int& game_mode_of_one_thread();

} // namespace fake_daemon
