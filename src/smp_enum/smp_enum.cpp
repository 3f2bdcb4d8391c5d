#include "smp_enum/smp_enum.h"
#include "common/trace.h"
#include "platform/binding.h"
#include "platform/seam.h"
#include "protocol/tsc_protocol.h"

// The topology table, at its program-start values: counts 1, every entry the marker.
#define NO_CPU_4 NO_CPU, NO_CPU, NO_CPU, NO_CPU
#define NO_CPU_8 NO_CPU_4, NO_CPU_4
LONG cpu_count = 1;
LONG node_count = 1;
BYTE cpu_core[MAX_CPUS] = {NO_CPU_8, NO_CPU_8, NO_CPU_8, NO_CPU_8};
BYTE cpu_node[MAX_CPUS] = {NO_CPU_8, NO_CPU_8, NO_CPU_8, NO_CPU_8};
BYTE node_first_cpu[MAX_NODES] = {NO_CPU_8};
#undef NO_CPU_8
#undef NO_CPU_4
static_assert(MAX_CPUS == 32 && MAX_NODES == 8, "the initialisers above spell out 32 and 8 entries");

namespace {

LONG count_bits(ULONGLONG v)
{
    LONG n = 0;
    for (; v; v &= v - 1) ++n;
    return n;
}

} // namespace

void smp_reset_table()
{
    cpu_count = 1;
    node_count = 1;
    for (int i = 0; i < MAX_CPUS; ++i) {
        cpu_core[i] = NO_CPU;
        cpu_node[i] = NO_CPU;
    }
    for (int n = 0; n < MAX_NODES; ++n) node_first_cpu[n] = NO_CPU;
}

BYTE node_sync_source()
{
    for (int n = 0; n < MAX_NODES; ++n)
        if (node_present(n)) return node_first_cpu[n];
    return NO_CPU;
}

int enumerate_cpus()
{
    const ProcessorOps& cpus = platform_processors();

    cpu_count = 1;
    node_count = 1;
    cpu_count = static_cast<LONG>(cpus.processor_count());

    // Puts the process mask back on every path out, once anything was bound.
    process_binding binding;
    if (!binding.have_masks()) {
        TRACE("smp_enum enumerate_cpus : GetProcessAffinityMask failed.\n");
        return 0;
    }
    const DWORD_PTR sys_affinity_mask = binding.system_mask();
    TRACE("smp_enum enumerate_cpus : proc_affinity_mask - 0x%08x sys_affinity_mask - 0x%08x\n",
          static_cast<unsigned>(binding.process_mask()), static_cast<unsigned>(sys_affinity_mask));

    // Indices above 31 do not fit the table (nor a 32-bit affinity mask): they are never
    // examined, while cpu_count keeps the operating system's count.
    // Boards number processors node by node or interleaved (the first core of every node
    // before the second ones): a node is counted once, however often the walk comes back to
    // it, and its first processor is the lowest index it has.
    for (int n = 0; n < MAX_NODES; ++n) node_first_cpu[n] = NO_CPU;
    ULONGLONG nodes_seen = 0; // node numbers reach 63 (family 16 and up)
    for (int i = 0; i < MAX_CPUS; ++i) {
        const DWORD_PTR bit = static_cast<DWORD_PTR>(1) << i;
        if (!(sys_affinity_mask & bit)) continue;

        if (!binding.bind(i)) {
            TRACE("smp_enum enumerate_cpus : SetProcessAffinityMask failed.\n");
            return 0;
        }
        // The whole process is bound to processor i, this thread with it: CPUID runs there.
        DWORD regs[4] = {0, 0, 0, 0};
        cpus.cpuid(1, regs);
        // The driver's rule: the node and core it expects a request from this processor to name.
        const tkd::processor_place place = tkd::place_of_cpuid(regs[0], regs[1], regs[3]);
        [[maybe_unused]] const DWORD apicid = tkd::cpuid_apic_id(regs[1]);
        const DWORD core = place.core, node = place.node;
        if (tkd::cpuid_htt(regs[3])) {
            cpu_core[i] = static_cast<BYTE>(core);
            cpu_node[i] = static_cast<BYTE>(node);
            const ULONGLONG node_bit = 1ull << node;
            if (!(nodes_seen & node_bit)) {
                nodes_seen |= node_bit;
                node_count = count_bits(nodes_seen);
                // Nodes 8 and above (family 16 and up, APIC IDs from 32) are counted, but
                // neither the table nor a node request can name them.
                if (node < MAX_NODES) node_first_cpu[node] = static_cast<BYTE>(i);
            }
        } else {
            // Without HTT the APIC ID carries no core or node bits: the processor is a
            // single-core package. It is recorded as core 0 of node 0, a present processor,
            // so that a machine of such processors still gets its drift registration and
            // core synchronization (node 0 is also the node its requests name). The marker
            // would leave it out of every request, and the daemon would then register no
            // processor at all and fail its start. It counts no node: its package has no
            // node number to synchronize.
            cpu_core[i] = 0;
            cpu_node[i] = 0;
        }
        TRACE("smp_enum enumerate_cpus : found apicid[ %ld ] node[ %ld ] core[ %ld ]\n",
              static_cast<long>(apicid), static_cast<long>(node), static_cast<long>(core));
    }

    binding.restore();
    TRACE("smp_enum enumerate_cpus : found %ld cpus and %ld nodes\n", static_cast<long>(cpu_count),
          static_cast<long>(node_count));
    return 1;
}
