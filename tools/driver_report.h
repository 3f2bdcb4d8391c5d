// The client's look at the TSC driver and at what Gaming Mode left out: the driver found,
// absent or refusing (the client opens it itself), what the last on sequence achieved (and
// whether the counters were found in step after it), and what an on-period still owes the
// user, as the resident program recorded them.
#pragma once

// Prints the report to standard output; 1 when the driver was found and answers.
int print_driver_report();
