// Processor enumeration: the topology table of the logical processors (indices 0..31).
#pragma once
#include <windows.h>

constexpr int MAX_CPUS = 32;
constexpr int MAX_NODES = 8;
constexpr BYTE NO_CPU = 0xFF; // marker of an index without a processor

extern LONG cpu_count;                 // the operating system's processor count
extern LONG node_count;                // changes of node number along the walk, plus one
extern BYTE cpu_core[MAX_CPUS];        // core number per processor index
extern BYTE cpu_node[MAX_CPUS];        // node number per processor index
// Per node, the processor at which the walk last entered it; entry 0 is also set to the
// processor of APIC ID 0 when the walk reaches it, and is the one that sends node syncs.
extern BYTE node_first_cpu[MAX_NODES];

// A processor gets driver requests only when it is present in the table.
inline bool cpu_present(int index) { return cpu_core[index] < 32 && cpu_node[index] < 8; }

// Walks every processor of the system mask, binding to each; 1 on success, 0 on failure.
// The process affinity mask is as it was afterwards.
int enumerate_cpus();

// Puts the table back to its program-start values (counts 1, every entry 0xFF).
void smp_reset_table();
