// A daemon of the tests' own, linked instead of tm_daemon, so that the pipe server is
// tested alone: it records every call in order and keeps a plain Gaming Mode flag.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace fake_daemon {

// Forgets every call and sets what the next Qel_DaemonStart reports: its result and the
// availability it stores. Gaming Mode is off, no delay.
void reset(int start_result = 1, int available = 1);
// Every later command sleeps this long before it takes effect.
void set_command_delay(DWORD ms);
// Sets the Gaming Mode flag directly, as a tray command would.
void set_game_mode(int on);
int game_mode();

// The calls since reset, in order: "start", "exit", "command:<text>" and "state".
std::vector<std::string> calls();
// The texts passed to Qel_DaemonDoCommand, in order.
std::vector<std::string> commands();
int count(const char* call);
// Commands that have begun (counted before the delay).
int commands_begun();
// The thread that last read the state (the pipe thread), 0 before any read.
DWORD state_reader_thread();

} // namespace fake_daemon
