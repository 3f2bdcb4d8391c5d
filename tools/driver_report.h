// The client's look at the TSC driver and at what the resident program recorded: the driver
// found, absent or refusing (the client opens it itself), what the last start did, what the
// last on sequence achieved or left out (and whether the counters were found in step after
// it), and what an on-period still owes the user.
#pragma once
#include <windows.h>

// Where a report goes: console_out, or console_err when stdout carries CSV.
using report_writer = void (*)(const char* text);

// Prints the driver line, the last start, the last on sequence and what is still owed;
// 1 when the driver was found and answers.
int print_driver_report(report_writer write);

// Who may have written the last-on record that "on" reads: the record lives under the user
// the resident program runs as, and this client reads its own user's. It is this server's
// when it carries the server's process id and was written after that process started (where
// Windows names the pipe's server), else when it was written after the client asked.
struct record_witness {
    DWORD server_process;     // 0 when this Windows cannot tell
    ULONGLONG server_started; // FILETIME units; 0 when it cannot be read
    ULONGLONG asked_at;       // FILETIME units: just before the request was sent
};
// On stderr, one line for each part that the server's last on sequence left out; the number
// of such lines, 0 when it did everything. -1, after a line that says so, when this user
// cannot see what it did: the record here is not that server's, or there is none.
int print_left_out(const record_witness& witness);
