// tickmend-ctl-sim.exe reads the simulated machine that TICKMEND_SIM_MACHINE names (default
// two-node), with the counters every process on it shares.
#include "client_machine.h"

#include "console.h"
#include "sim/sim.h"

bool client_machine_install()
{
    char error[512];
    if (sim_install_shared_from_environment(error, sizeof error)) return true;
    console_errf("tickmend-ctl: simulated machine: %s\n", error);
    return false;
}

void client_machine_bounds() { sim_bounds_from_environment(); }

const char* client_machine_help()
{
    return "tickmend-ctl-sim.exe reads the simulated machine TICKMEND_SIM_MACHINE names\n"
           "(a preset such as \"four-node\", or a machine description file; default\n"
           "\"two-node\") instead of this one.\n\n";
}
