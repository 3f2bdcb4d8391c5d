#include "sim/state.h"

SimState& sim_state()
{
    static SimState* s = new SimState();
    return *s;
}

int single_bit(DWORD_PTR mask)
{
    if (mask == 0 || (mask & (mask - 1)) != 0) return -1;
    int bit = 0;
    while (!(mask & (static_cast<DWORD_PTR>(1) << bit))) ++bit;
    return bit;
}

namespace {

int lowest_bit(DWORD_PTR mask)
{
    for (int bit = 0; bit < 32; ++bit)
        if (mask & (static_cast<DWORD_PTR>(1) << bit)) return bit;
    return -1;
}

} // namespace

int thread_cpu(const SimState& s)
{
    const DWORD_PTR v = reinterpret_cast<DWORD_PTR>(TlsGetValue(s.thread_slot));
    if (!v || (v >> 6) != (static_cast<DWORD_PTR>(s.binding_epoch) & epoch_mask)) return -1;
    return static_cast<int>(v & 63) - 1;
}

int bound_cpu(const SimState& s)
{
    const int bit = thread_cpu(s);
    return bit >= 0 ? bit : single_bit(s.process_mask);
}

int running_cpu(const SimState& s)
{
    const int bit = bound_cpu(s);
    return bit >= 0 ? bit : lowest_bit(s.process_mask);
}
