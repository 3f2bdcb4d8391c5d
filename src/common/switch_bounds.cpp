// The divisor of the bounds: 1 in what ships, set only by the simulated builds and the tests.
#include "common/switch_bounds.h"

namespace {

volatile LONG divisor = 1;

} // namespace

DWORD bound_ms(DWORD real_ms)
{
    const DWORD d = static_cast<DWORD>(divisor);
    return d > 1 ? real_ms / d : real_ms;
}

void bounds_divide_by(DWORD by)
{
    InterlockedExchange(&divisor, by ? static_cast<LONG>(by) : 1);
}
