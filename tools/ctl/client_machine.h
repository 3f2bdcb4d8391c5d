// The machine whose processors the client reads: this one in tickmend-ctl.exe, the simulated
// one (TICKMEND_SIM_MACHINE, shared counters) in tickmend-ctl-sim.exe. One source each.
#pragma once

// Puts the machine behind the platform seam; false, with the reason on stderr, when it cannot.
bool client_machine_install();
// Sets the bounds of Gaming Mode's switches that the client's waits derive from: the real
// ones in tickmend-ctl.exe, the simulated machine's in tickmend-ctl-sim.exe.
void client_machine_bounds();
// What --help says about the machine read: "" for this machine, a paragraph for the simulated one.
const char* client_machine_help();
