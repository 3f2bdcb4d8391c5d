// Private to the daemon: driver requests sent from each processor in turn, by the on
// sequence's core synchronization and by the drift registration alike.
#pragma once
#include "platform/binding.h"
#include "smp_enum/smp_enum.h"
#include "common/trace.h"

// Binds the process to each processor of the system mask that the enumeration found, in
// index order, and calls send(processor) while it is bound there; a processor that cannot
// be bound alone is skipped, and send returning false ends the loop. Without the affinity
// masks nothing can be bound, so nothing is sent. The binding puts its saved mask back
// when its owner's scope ends.
template <class Send>
void from_each_processor(process_binding& binding, Send send)
{
    for (int p = 0; p < MAX_CPUS; ++p) {
        DWORD_PTR bit = static_cast<DWORD_PTR>(1) << p;
        if (!(binding.system_mask() & bit) || !cpu_present(p)) continue;
        if (!binding.bind(p)) {
            TRACE("SetProcessAffinityMask failed.\n");
            continue;
        }
        if (!send(p)) break;
    }
}
