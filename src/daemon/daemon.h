// The daemon: whether Gaming Mode can be offered, its on and off sequences, and the TSC
// drift registration of single-node machines.
#pragma once
#include <windows.h>

// Starts the daemon for the life of the process (one role: drift registration on one node,
// Gaming Mode on several). 1 when it runs; *available gets 1 when Gaming Mode is offered.
int Qel_DaemonStart(int a, int b, int* available);
// Turns Gaming Mode off, closes the lock, withdraws a drift registration. Safe to repeat.
void Qel_DaemonExit();
// "1" turns Gaming Mode on, "0" off; any other text is ignored.
void Qel_DaemonDoCommand(const char* command);
// The Gaming Mode state, read under the game-mode lock: 0 or 1.
int Qel_DaemonIsGameModeOn();
// With no instance running: gives back the power plan and northbridge bits that an earlier
// run left owed (it ended while Gaming Mode was on, or a restore failed); 1 when nothing is
// owed any more.
int Qel_DaemonFinishRestore();

// A power plan change seen from outside while Gaming Mode is on (the power-personality
// notification): Gaming Mode goes off, leaving the plan as it is, only when the active plan
// is no longer the one Gaming Mode set. 1 when it went off.
int Qel_DaemonPlanChangedOutside();
// Set by whoever sees the power scheme changed from outside while Gaming Mode is on; the
// off sequence then leaves the scheme alone. Cleared by the next on sequence.
extern volatile LONG scheme_changed_externally;

// The sequences and drift registration, reached through the calls above.
void Qel_DaemonDoGameModeOn();
void Qel_DaemonDoGameModeOff();
int register_tickmend();
void deregister_tickmend();
// What the last register_tickmend achieved, in words ("drift compensation registered on 2
// processors (interval 1000 ms)", or why not).
const char* drift_registration_words();
