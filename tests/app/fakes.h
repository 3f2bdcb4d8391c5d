// Stand-ins for the worker and the daemon, so that the tray application runs alone: the
// tests' own daemon (support/fake_daemon.h) and a worker here, both recording every call
// in one record, in order, and keeping the little state the window procedure looks at.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace fakes {

// Calls in order: "WorkerStart", "WorkerStart (running)", "WorkerExit", "DoCommand 1",
// "DoCommand 0", "DoCommand 0 (scheme changed externally)", "DaemonStart", "DaemonExit",
// "FinishRestore".
extern std::vector<std::string>& calls;
// The Gaming Mode state that Qel_DaemonIsGameModeOn reports.
extern const int& game_mode_on;
// Whether the worker runs (a stopped worker has exited the daemon: "1" turns nothing on),
// and what starting a stopped worker returns.
extern bool worker_running;
extern int worker_start_result;
// start_mode in HKCU\Software\QEL\qel_pacemill when Qel_WorkerExit was last called
// (0xFFFFFFFF when it could not be read), and how many times it was called.
extern DWORD start_mode_at_worker_exit;
// Whether a window of class "TICKMEND" of this process existed at the last "DoCommand 1".
extern bool window_existed_at_command_on;

// Back to a running worker with Gaming Mode off and an empty record.
void reset();

} // namespace fakes
