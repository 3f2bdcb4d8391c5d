// tickmend-ctl: the command-line client of the control pipe, a look at the processor
// topology as the program derives it, and the TSC offsets between the processors.
//
//   tickmend-ctl status|on [--strict]|off [--strict]|topology [--csv]|skew [options]
//                |auto list|add PROGRAM|remove PROGRAM|version|help
//
// Exit codes: 0 done; 1 the pipe answered wrongly or broke off, or the topology could not
// be read, or a measurement failed; 2 no instance serves the pipe; 3 (skew) out of step;
// 4 another program serves the pipe; 5 (on/off --strict) Gaming Mode left something out or
// did not give it back; 6 busy: tickmend did not say its state within its bound; 7 (auto
// remove) the program was not in the list; 8 refused: this process went beyond its share of
// the pipe; 64 usage error. Commands and options are taken in any case.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client_machine.h"
#include "console.h"
#include "common/control_pipe.h"
#include "common/handle.h"
#include "driver_report.h"
#include "follow/follow_list.h"
#include "journal/journal.h"
#include "server_check.h"
#include "platform/seam.h"
#include "skew.h"
#include "smp_enum/smp_enum.h"
#include "tickmend_version.h"
#include "table.h"

namespace {

// The state query: any text but "1" and "0" changes nothing, and the server answers a
// connection that has sent something at once (one that sends nothing waits up to 0.5 s).
const char status_request[] = "?";
constexpr int exit_ok = 0, exit_failed = 1, exit_not_running = 2, exit_not_tickmend = 4, exit_left_out = 5,
              exit_busy = 6, exit_not_listed = 7, exit_refused = 8, exit_usage = 64;

// Every line of the help within 79 columns: a console of 80 shows each whole.
const char usage_lines[] =
    "usage: tickmend-ctl status | on [--strict] | off [--strict] | topology [--csv]\n"
    "       tickmend-ctl skew [OPTIONS] | auto list | auto add PROGRAM\n"
    "       tickmend-ctl auto remove PROGRAM | version | help\n";

const char usage_body[] =
    "\n"
    "  status    print whether Gaming Mode is on\n"
    "  on        turn Gaming Mode on, then print the state; what it left out (no\n"
    "            TSC driver, driver refused, power plan unchanged) goes to stderr\n"
    "            --strict: exit 5 when anything was left out (a user other than\n"
    "            the one tickmend runs as is told that it cannot know: no exit 5)\n"
    "  off       turn Gaming Mode off, then print the state; what it did not\n"
    "            give back (the power plan, the northbridge bit) goes to stderr\n"
    "            --strict: exit 5 when anything was not given back\n"
    "            (status, on and off send only to tickmend: a server whose\n"
    "            executable is not the installed tickmend.exe nor one beside this\n"
    "            client, or that shows no tickmend window within 5 s, gets nothing)\n"
    "  topology  print the processors, nodes and cores as tickmend sees them,\n"
    "            what tickmend does on this machine and what its last start\n"
    "            did, whether the TSC driver is found, absent or refusing, and\n"
    "            what the last Gaming Mode on left out\n"
    "            --csv: every fact as one CSV table on stdout, a row each:\n"
    "            fact,processor,node,core,apic,value\n"
    "  skew      measure the TSC offset of every processor against the first\n"
    "            one, and say whether they are in step (needs no tickmend\n"
    "            running and no driver):\n"
    "            skew [--rounds N] [--drift SECONDS] [--tolerance NS] [--csv]\n"
    "            skew --warp SECONDS [--csv]: does time go backwards?\n"
    "  auto      the programs Gaming Mode follows: on when one starts, off when\n"
    "            the last one ends (a running tickmend takes a change at once):\n"
    "            auto list: one program a line\n"
    "            auto add PROGRAM: a file name (game.exe) or a full path, any case\n"
    "            auto remove PROGRAM: as it was added\n"
    "  version   print the version of QEL Pacemill this client belongs to\n"
    "            (also --version)\n"
    "  help      this text (also --help, -h, -? and /?)\n"
    "\n"
    "Commands and options are taken in any case.\n"
    "\n";

const char exit_codes_text[] =
    "Exit codes: 0 done (skew: in step), 1 bad reply or failure, 2 tickmend not\n"
    "running, 3 skew: out of step, 4 the pipe is served by a program that is not\n"
    "tickmend, 5 on/off --strict: something was left out or not given back, 6 busy:\n"
    "Gaming Mode still switching past its bound, 8 refused: this process went\n"
    "beyond its share of the pipe (try again in a second), 64 usage.\n"
    "auto: 0 done (also when listed already), 1 the list could not be read or\n"
    "written, 7 remove: the program was not in the list.\n";

bool same(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

bool is_help(const char* word)
{
    return same(word, "help") || same(word, "--help") || same(word, "-h") || same(word, "-?") || same(word, "/?");
}

void print_help()
{
    console_out(usage_lines);
    console_out(usage_body);
    console_out(client_machine_help());
    console_out(exit_codes_text);
}

// A usage error: what was wrong, in one line that names the word, then the usage line.
int usage_error(const char* format, const char* first, const char* second = "")
{
    char line[300];
    _snprintf(line, sizeof line - 1, format, first, second);
    line[sizeof line - 1] = '\0';
    console_errf("tickmend-ctl: %s\n", line);
    console_err("tickmend-ctl: commands: status, on [--strict], off, topology [--csv], skew, version, help\n"
                "tickmend-ctl: \"tickmend-ctl help\" tells more.\n");
    return exit_usage;
}

enum class Exchange { done, not_running, failed, malformed, not_tickmend, busy, refused };

// How long a tickmend whose pipe is there may take to show its window (it serves the pipe
// first, and with start_mode 1 runs Gaming Mode's on sequence before the window exists).
constexpr DWORD starting_window_wait_ms = 5000;

ULONGLONG now_utc()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// One exchange: the request, then the two-byte state reply. Nothing is sent to a server that
// is not tickmend; *server says who it is when it can be asked, *asked_at when the request
// went, *refusal why the server refused it.
Exchange exchange(const char* request, char* state, ServerFacts* server, ULONGLONG* asked_at,
                  ControlPipeRefusal* refusal)
{
    tk::unique_hfile pipe;
    for (int look = 0;; ++look) {
        DWORD error = 0;
        pipe.reset(control_pipe_open(control_pipe_busy_wait_ms(), &error));
        if (!pipe) return error == ERROR_FILE_NOT_FOUND ? Exchange::not_running : Exchange::failed;
        PipeServer verdict = check_pipe_server(pipe.get(), server);
        if (verdict == PipeServer::starting) {
            // The connection is let go while we wait: the server gives each one half a second.
            pipe.reset();
            if (look == 0 && await_tickmend_window(server, starting_window_wait_ms)) continue;
            if (server->doubt == ServerDoubt::none) server->doubt = ServerDoubt::no_window;
            return Exchange::not_tickmend;
        }
        if (verdict == PipeServer::other) return Exchange::not_tickmend;
        if (verdict == PipeServer::unknown)
            console_err("tickmend-ctl: this Windows cannot tell which program serves the pipe; its reply is taken on "
                        "trust.\n");
        break;
    }
    *asked_at = now_utc();
    switch (control_pipe_exchange(pipe.get(), request, control_pipe_reply_wait_ms(), state, refusal)) {
    case ControlPipeExchange::done: return Exchange::done;
    case ControlPipeExchange::refused: return Exchange::refused;
    case ControlPipeExchange::busy: return Exchange::busy;
    case ControlPipeExchange::malformed: return Exchange::malformed;
    case ControlPipeExchange::failed: break;
    }
    return Exchange::failed;
}

// Why the server was not trusted, after the line that says so.
void explain_doubt(const ServerFacts& server)
{
    switch (server.doubt) {
    case ServerDoubt::image_unread:
        console_err("tickmend-ctl: its executable cannot be read.\n");
        break;
    case ServerDoubt::not_tickmend_image:
        console_errf("tickmend-ctl: its executable is %s.\n", server.image);
        break;
    case ServerDoubt::not_installed:
        console_errf("tickmend-ctl: its executable is %s, which is neither the installed tickmend nor the one "
                     "beside this client.\n",
                     server.image);
        break;
    case ServerDoubt::no_window:
        console_errf("tickmend-ctl: it runs %s, but no tickmend window appeared within %lu s.\n", server.image,
                     starting_window_wait_ms / 1000);
        break;
    case ServerDoubt::none:
        break;
    }
}

// strict: "on" exits 5 when the on sequence left anything out, "off" when the off did not
// give everything back.
int pipe_command(const char* request, bool strict = false)
{
    char state = 0;
    ServerFacts server;
    ULONGLONG asked_at = 0;
    ControlPipeRefusal refusal;
    Exchange result = exchange(request, &state, &server, &asked_at, &refusal);
    switch (result) {
    case Exchange::done:
        console_out(state == '1' ? "Gaming Mode: on\n" : "Gaming Mode: off\n");
        if (request[0] == '0') {
            if (state != '0') {
                console_err("tickmend-ctl: not given back: everything (Gaming Mode did not go off)\n");
                return strict ? exit_left_out : exit_ok;
            }
            // As for "on": only the server's own record tells what its off left owed.
            const record_witness witness = {server.process_id, server.started, asked_at};
            return print_not_given_back(witness) > 0 && strict ? exit_left_out : exit_ok;
        }
        if (request[0] != '1') return exit_ok;
        if (state != '1') {
            console_err("tickmend-ctl: left out: everything (Gaming Mode did not go on)\n");
            return strict ? exit_left_out : exit_ok;
        }
        {
            // Only the server's own record tells what its on left out; another user's client
            // reads a record of its own user, and then says it cannot know.
            const record_witness witness = {server.process_id, server.started, asked_at};
            return print_left_out(witness) > 0 && strict ? exit_left_out : exit_ok;
        }
    case Exchange::not_running:
        console_err("tickmend-ctl: tickmend is not running, or this machine has a single processor node (no "
                    "Gaming Mode here). Start tickmend.exe; \"tickmend-ctl topology\" says what it does here.\n");
        return exit_not_running;
    case Exchange::malformed:
        console_err("tickmend-ctl: the pipe gave a reply that is not a Gaming Mode state. Try again; if it comes "
                    "back, end tickmend with \"tickmend.exe /k\" and start it again.\n");
        return exit_failed;
    case Exchange::not_tickmend:
        console_errf("tickmend-ctl: the pipe is served by process %lu, which is not a running tickmend; nothing "
                     "was sent.\n",
                     server.process_id);
        explain_doubt(server);
        return exit_not_tickmend;
    case Exchange::busy:
        console_errf("tickmend-ctl: busy: Gaming Mode is still switching and tickmend could not say its state "
                     "within %lu s; a request sent runs in its turn. Ask again with tickmend-ctl status.\n",
                     static_cast<unsigned long>(control_pipe_reply_wait_ms() / 1000));
        return exit_busy;
    case Exchange::refused:
        console_errf("tickmend-ctl: refused: this process connected %d times in the last second and kept the pipe "
                     "open unread for %lu ms; tickmend serves each process at most %d connections a second and "
                     "%lu ms of keeping it open unread beyond half the pipe's time. The request was not carried out; ask "
                     "again in a second.\n",
                     refusal.connects, refusal.own_ms, control_pipe_share_connects, control_pipe_hold_limit_ms);
        return exit_refused;
    case Exchange::failed:
        break;
    }
    console_err("tickmend-ctl: the exchange on the pipe failed (busy for too long, or broken off). Try again "
                "in a moment.\n");
    return exit_failed;
}

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
    print_client_facts_csv(facts);
}

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
    if (role == machine_role::single_processor) console_out("role: single processor: nothing to do\n");
    else if (role == machine_role::one_node)
        console_out("role: one node: TSC drift compensation through the driver, no Gaming Mode\n");
    else console_outf("role: %ld nodes: Gaming Mode is offered\n", static_cast<long>(node_count));
    ClientFacts facts;
    read_client_facts(&facts);
    print_client_facts(facts, role);
    return exit_ok;
}

void print_entry(const char* entry, void*)
{
    console_outf("%s\n", entry);
}

// auto list|add PROGRAM|remove PROGRAM: the list of programs Gaming Mode follows.
int auto_command(int argc, char** argv)
{
    if (argc == 1 && same(argv[0], "list")) {
        if (follow_list_each(print_entry, nullptr) >= 0) return exit_ok;
        console_err("tickmend-ctl: the list of programs could not be read.\n");
        return exit_failed;
    }
    const bool add = argc >= 1 && same(argv[0], "add");
    if (!add && !(argc >= 1 && same(argv[0], "remove")))
        return usage_error("auto takes list, add PROGRAM or remove PROGRAM, not \"%s\"", argc ? argv[0] : "");
    if (argc != 2) return usage_error("auto %s takes one PROGRAM (quote a path with spaces)%s", argv[0]);
    switch (add ? follow_list_add(argv[1]) : follow_list_remove(argv[1])) {
    case follow_change::done:
        console_outf("%s: %s\n", add ? "added" : "removed", argv[1]);
        return exit_ok;
    case follow_change::already:
        console_outf("already listed: %s\n", argv[1]);
        return exit_ok;
    case follow_change::not_listed:
        console_errf("tickmend-ctl: not in the list: %s (tickmend-ctl auto list shows it)\n", argv[1]);
        return exit_not_listed;
    case follow_change::invalid:
        return usage_error("\"%s\" names no program (give game.exe or a full path)", argv[1]);
    case follow_change::failed:
        break;
    }
    console_err("tickmend-ctl: the list of programs could not be written.\n");
    return exit_failed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage_error("%s", "no command given");
    const char* command = argv[1];
    // The commands with options of their own.
    if (same(command, "topology")) return topology(argc - 2, argv + 2);
    if (same(command, "skew")) return skew_command(argc - 2, argv + 2);
    if (same(command, "auto")) return auto_command(argc - 2, argv + 2);
    if (same(command, "on") || same(command, "off")) {
        bool strict = false;
        for (int i = 2; i < argc; ++i) {
            if (!same(argv[i], "--strict"))
                return usage_error("%s takes only --strict, not \"%s\"", same(command, "on") ? "on" : "off", argv[i]);
            strict = true;
        }
        return pipe_command(same(command, "on") ? "1" : "0", strict);
    }
    if (is_help(command)) {
        print_help();
        return exit_ok;
    }
    const bool version = same(command, "version") || same(command, "--version");
    const bool known = same(command, "status") || version;
    if (!known) return usage_error("unknown command \"%s\"", command);
    if (argc > 2) return usage_error("%s takes no argument, not \"%s\"", command, argv[2]);
    if (version) {
        console_out("tickmend-ctl " TICKMEND_VERSION "\n");
        return exit_ok;
    }
    return pipe_command(status_request);
}
