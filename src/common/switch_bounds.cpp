// The bounds that a simulated machine may shorten: everything else is derived from them.
#include "common/switch_bounds.h"

namespace {

volatile LONG run_bound_ms = default_powercfg_run_bound_ms;
volatile LONG driver_bound_ms = default_switch_driver_bound_ms;

} // namespace

DWORD powercfg_run_bound_ms()
{
    return static_cast<DWORD>(InterlockedCompareExchange(&run_bound_ms, 0, 0));
}

DWORD switch_driver_bound_ms()
{
    return static_cast<DWORD>(InterlockedCompareExchange(&driver_bound_ms, 0, 0));
}

void set_switch_bounds(DWORD powercfg_run_ms, DWORD driver_ms)
{
    InterlockedExchange(&run_bound_ms, static_cast<LONG>(powercfg_run_ms ? powercfg_run_ms : default_powercfg_run_bound_ms));
    InterlockedExchange(&driver_bound_ms, static_cast<LONG>(driver_ms ? driver_ms : default_switch_driver_bound_ms));
}
