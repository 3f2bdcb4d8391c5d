// Linked straight into the executables that run on the simulated machine: the machine
// named by TICKMEND_SIM_MACHINE is loaded and installed before WinMain runs, and the bounds
// divided as TICKMEND_SIM_BOUNDS_DIVISOR says.
#include "sim/sim.h"

namespace {

struct SimStart {
    SimStart()
    {
        sim_bounds_from_environment();
        sim_install_from_environment();
    }
} sim_start;

} // namespace
