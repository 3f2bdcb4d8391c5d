// The machine whose processors the client reads: this one in tickmend-ctl.exe, the simulated
// one (TICKMEND_SIM_MACHINE, shared counters) in tickmend-ctl-sim.exe. One source each.
#pragma once

// Puts the machine behind the platform seam; false, with the reason on stderr, when it cannot.
bool client_machine_install();
// What --help says about the machine read: "" for this machine, a paragraph for the simulated one.
const char* client_machine_help();
