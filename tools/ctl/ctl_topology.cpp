// tickmend-ctl topology: as text, or with --csv every fact as a row of one table.
#include "ctl_topology.h"
#include "ctl_usage.h"

#include <windows.h>
#include <stdio.h>

#include "answer/answer.h"
#include "client_machine.h"
#include "console.h"
#include "driver_report.h"
#include "platform/seam.h"
#include "smp_enum/smp_enum.h"
#include "table.h"

namespace {

// The initial APIC ID of processor index, read while bound to it; -1 when it cannot bind.
int apic_id_of(int index)
{
    const ProcessorOps& cpus = platform_processors();
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (!cpus.get_affinity(&process_mask, &system_mask)) return -1;
    if (!cpus.set_affinity(static_cast<DWORD_PTR>(1) << index)) return -1;
    DWORD regs[4] = {0, 0, 0, 0};
    cpus.cpuid(1, regs);
    cpus.set_affinity(process_mask);
    return static_cast<int>((regs[1] >> 24) & 0xFF);
}

const TableColumn topology_columns[] = {{"index", false}, {"node", false}, {"core", false}, {"apic", false},
                                        {"note", true}};

// The PC's answer, with the driver as the client found it.
pc_answer answer_of(const ClientFacts& facts)
{
    pc_facts pc = pc_facts_now();
    pc.driver = facts.driver;
    return pc_answer_of(pc);
}

machine_role role_of_machine()
{
    if (cpu_count < 2) return machine_role::single_processor;
    return node_count == 1 ? machine_role::one_node : machine_role::nodes;
}

// --csv: every fact as a row of one table (fact,processor,node,core,apic,value); the
// processors first, a row each, then the machine's facts, then the driver and the records.
void topology_csv()
{
    const char* header[] = {"fact", "processor", "node", "core", "apic", "value"};
    csv_line(header, 6);
    char index[8], node[8], core[8], apic[8], value[16];
    for (int i = 0; i < MAX_CPUS; ++i) {
        if (cpu_core[i] == NO_CPU && cpu_node[i] == NO_CPU) continue;
        _snprintf(index, sizeof index, "%d", i);
        _snprintf(node, sizeof node, "%u", cpu_node[i]);
        _snprintf(core, sizeof core, "%u", cpu_core[i]);
        _snprintf(apic, sizeof apic, "%d", apic_id_of(i));
        csv_fact("processor", cpu_present(i) ? "" : "left out", index, node, core, apic);
    }
    _snprintf(value, sizeof value, "%ld", static_cast<long>(cpu_count));
    csv_fact("processors", value);
    _snprintf(value, sizeof value, "%ld", static_cast<long>(node_count));
    csv_fact("nodes", value);
    if (node_sync_source() == NO_CPU) {
        csv_fact("node_sync_from", "none");
    } else {
        _snprintf(index, sizeof index, "%u", node_sync_source());
        csv_fact("node_sync_from", index, index);
    }
    const machine_role role = role_of_machine();
    csv_fact("role", role == machine_role::single_processor ? "single_processor"
                     : role == machine_role::one_node        ? "drift_compensation"
                                                             : "gaming_mode");
    ClientFacts facts;
    read_client_facts(&facts);
    csv_fact("answer", pc_answer_code(answer_of(facts)));
    print_client_facts_csv(facts);
}
} // namespace

int topology(int argc, char** argv)
{
    const bool csv = argc == 1 && same(argv[0], "--csv");
    if (argc > 0 && !csv) return usage_error("topology takes only --csv, not \"%s\"", argv[same(argv[0], "--csv") ? 1 : 0]);
    if (!client_machine_install()) return exit_failed;
    if (!enumerate_cpus()) {
        console_err("tickmend-ctl: the processor enumeration failed. Try again; if it comes back, restart "
                    "Windows.\n");
        return exit_failed;
    }
    if (csv) {
        topology_csv();
        return exit_ok;
    }
    Table table(topology_columns, sizeof topology_columns / sizeof topology_columns[0]);
    for (int i = 0; i < MAX_CPUS; ++i) {
        if (cpu_core[i] == NO_CPU && cpu_node[i] == NO_CPU) continue;
        table.add_row();
        table.cell("%d", i);
        table.cell("%u", cpu_node[i]);
        table.cell("%u", cpu_core[i]);
        table.cell("%d", apic_id_of(i));
        if (!cpu_present(i)) table.cell("left out");
    }
    console_outf("processors: %ld (operating system count)\n", static_cast<long>(cpu_count));
    table.print(false);
    console_outf("nodes: %ld\n", static_cast<long>(node_count));
    if (node_sync_source() == NO_CPU) console_out("node synchronization from: none (no node below 8)\n");
    else console_outf("node synchronization from: processor %u\n", node_sync_source());
    const machine_role role = role_of_machine();
    ClientFacts facts;
    read_client_facts(&facts);
    const pc_answer answer = answer_of(facts);
    if (role == machine_role::single_processor) console_out("role: single processor: nothing to do\n");
    else if (answer == pc_answer::one_node_steady) // the driver is told so (interval 0): nothing to hold
        console_out("role: one node: steady counters, nothing to hold, no Gaming Mode\n");
    else if (role == machine_role::one_node)
        console_out("role: one node: TSC drift compensation through the driver, no Gaming Mode\n");
    else console_outf("role: %ld nodes: Gaming Mode is offered\n", static_cast<long>(node_count));
    print_client_facts(facts, role);
    console_outw("this PC: %s\n", pc_answer_words(answer));
    return exit_ok;
}
