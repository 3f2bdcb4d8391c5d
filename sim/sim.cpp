// Loading a simulated machine and installing its processors and stand-in driver behind the
// platform seam.
#include "sim/sim.h"
#include "sim/state.h"
#include "sim/counters.h"

#include "common/switch_bounds.h"

#include <cstdio>
#include <cstdlib>

namespace {

void copy_error(const std::string& message, char* error, size_t error_size)
{
    if (!error || error_size == 0) return;
    std::snprintf(error, error_size, "%s", message.c_str());
}

bool read_machine(const char* preset_or_path, SimMachine* machine, char* error, size_t error_size)
{
    std::string message;
    if (read_machine(preset_or_path, machine, &message)) return true;
    copy_error(message, error, error_size);
    return false;
}

// The machine becomes the loaded one, with its run state started afresh.
void take_machine(SimMachine* machine, char* error, size_t error_size)
{
    SimLocked s;
    s->machine = std::move(*machine);
    InterlockedIncrement(&s->binding_epoch);
    s->process_mask = s->machine.system_mask();
    ++s->loads;
    s->requests = 0;
    s->searches = 0;
    s->log.clear();
    if (error && error_size) error[0] = '\0';
}

} // namespace

bool sim_load_machine(const char* preset_or_path, char* error, size_t error_size)
{
    SimMachine machine;
    if (!read_machine(preset_or_path, &machine, error, error_size)) return false;
    counters_start_private(machine);
    take_machine(&machine, error, error_size);
    return true;
}

bool sim_load_shared_machine(const char* preset_or_path, char* error, size_t error_size)
{
    SimMachine machine;
    if (!read_machine(preset_or_path, &machine, error, error_size)) return false;
    char path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_STATE", path, sizeof path);
    const std::string state_path = n > 0 && n < sizeof path ? std::string(path) : counters_default_path(machine);
    std::string message;
    if (!counters_open_shared(machine, state_path.c_str(), &message)) {
        copy_error(message, error, error_size);
        return false;
    }
    take_machine(&machine, error, error_size);
    return true;
}

void sim_install() { platform_install(&sim_processor_ops, &sim_device_ops); }

// A number of milliseconds from the environment; 0 when it is not set.
static DWORD environment_ms(const char* name)
{
    char text[16];
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    return n > 0 && n < sizeof text ? static_cast<DWORD>(std::strtoul(text, nullptr, 10)) : 0;
}

void sim_bounds_from_environment()
{
    set_switch_bounds(environment_ms("TICKMEND_SIM_POWERCFG_BOUND_MS"), environment_ms("TICKMEND_SIM_DRIVER_BOUND_MS"));
}

bool sim_install_shared_from_environment(char* error, size_t error_size)
{
    char name[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_MACHINE", name, sizeof name);
    if (n == 0 || n >= sizeof name) std::snprintf(name, sizeof name, "%s", "two-node");
    if (!sim_load_shared_machine(name, error, error_size)) return false;
    sim_install();
    // A simulated powercfg and driver answer in milliseconds: a test may shorten their bounds
    // (and with them every wait derived from them) so that a tool hanging past its bound, or a
    // client's wait for a busy pipe, costs a fraction of the real time.
    sim_bounds_from_environment();
    return true;
}

void sim_install_from_environment()
{
    char error[512];
    if (!sim_install_shared_from_environment(error, sizeof error)) {
        std::fprintf(stderr, "simulated machine: %s\n", error);
        std::fflush(stderr);
        ExitProcess(3);
    }
}
