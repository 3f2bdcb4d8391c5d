// Linked straight into the executables that run on the simulated machine: the machine
// named by TICKMEND_SIM_MACHINE is loaded and installed before WinMain runs.
#include "sim/sim.h"

namespace {

struct SimStart {
    SimStart() { sim_install_from_environment(); }
} sim_start;

} // namespace
