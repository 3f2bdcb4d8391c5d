// The client's look at the TSC driver and at what the resident program recorded: the driver
// found, absent or refusing (the client opens it itself), what the last start did, what the
// last on sequence achieved or left out (and whether the counters were found in step after
// it), and what an on-period still owes the user.
#pragma once

// Where a report goes: console_out, or console_err when stdout carries CSV.
using report_writer = void (*)(const char* text);

// Prints the driver line, the last start, the last on sequence and what is still owed;
// 1 when the driver was found and answers.
int print_driver_report(report_writer write);
// On stderr, one line for each part that the last on sequence left out (or that it was not
// recorded); the number of such lines, 0 when it did everything.
int print_left_out();
// On stderr, one line for each thing the last off did not give back (the power plan, by
// name where Windows lists it; the northbridge bit of each node); the number of such lines.
int print_not_given_back();
