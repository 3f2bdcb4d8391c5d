// Processor enumeration: the topology table of the logical processors (indices 0..31).
#pragma once
#include <windows.h>

constexpr int MAX_CPUS = 32;
constexpr int MAX_NODES = 8;
constexpr BYTE NO_CPU = 0xFF; // marker of an index without a processor

extern LONG cpu_count;                 // the operating system's processor count
extern LONG node_count;                // distinct nodes among the processors walked (at least 1)
extern BYTE cpu_core[MAX_CPUS];        // core number per processor index
extern BYTE cpu_node[MAX_CPUS];        // node number per processor index
// Per node below 8, its lowest processor index; NO_CPU for a node without processors.
extern BYTE node_first_cpu[MAX_NODES];

// A processor gets driver requests only when it is present in the table.
inline bool cpu_present(int index) { return cpu_core[index] < 32 && cpu_node[index] < 8; }

// Whether node n (below 8) has a processor in the table.
inline bool node_present(int n) { return n >= 0 && n < MAX_NODES && node_first_cpu[n] != NO_CPU; }

// The processor that sends the node synchronization: the lowest one of the lowest node
// present (node 0 on a whole machine); NO_CPU when no node below 8 has a processor.
BYTE node_sync_source();

// Walks every processor of the system mask, binding to each; 1 on success, 0 on failure.
// The process affinity mask is as it was afterwards.
int enumerate_cpus();

// Puts the table back to its program-start values (counts 1, every entry 0xFF).
void smp_reset_table();
