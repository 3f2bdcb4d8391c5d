#include "skew.h"

#include "client_machine.h"
#include "console.h"
#include "table.h"
#include "platform/seam.h"
#include "platform/tsc_read.h"
#include "skew/skew.h"
#include "smp_enum/smp_enum.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int exit_in_step = 0, exit_failed = 1, exit_out_of_step = 3, exit_usage = 64;
constexpr int default_rounds = 2000;
constexpr double default_tolerance_ns = 1000;

// Every line within 79 columns.
const char usage_lines[] =
    "usage: tickmend-ctl skew [--rounds N] [--drift SECONDS] [--tolerance NS]\n"
    "                         [--csv]\n"
    "       tickmend-ctl skew --warp SECONDS [--csv]\n";
const char usage_text[] =
    "\n"
    "  --rounds N        round trips per processor; the shortest counts\n"
    "                    (default 2000)\n"
    "  --drift SECONDS   measure, wait, measure again, and show each processor's\n"
    "                    drift\n"
    "  --tolerance NS    offset allowed beyond the uncertainty (default 1000)\n"
    "  --warp SECONDS    does time go backwards? every processor reads its TSC in\n"
    "                    turn for 1 to 60 seconds; a read below the last one read\n"
    "                    is a warp\n"
    "  --csv             the figures as CSV, for scripts and plots\n"
    "\n"
    "Exit codes: 0 in step (--warp: never backwards), 3 out of step (backwards),\n"
    "1 a measurement failed, 64 usage.\n";

struct Options {
    int rounds = default_rounds;
    int drift_seconds = 0; // 0: no drift measurement
    int warp_seconds = 0;  // 0: no warp check
    double tolerance_ns = default_tolerance_ns;
    bool csv = false;
};

// After a usage error's line: where the options are told.
int usage_hint()
{
    console_err("tickmend-ctl: skew: \"tickmend-ctl skew --help\" tells its options.\n");
    return exit_usage;
}

// A whole number argument within [least, most].
bool number_argument(const char* text, long least, long most, long* value)
{
    if (!text || !*text) return false;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (*end || v < least || v > most) return false;
    *value = v;
    return true;
}

// -1 with the options read; else the exit code (help or usage).
int parse(int argc, char** argv, Options* options)
{
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        long v = 0;
        if (_stricmp(a, "--help") == 0 || _stricmp(a, "-h") == 0 || strcmp(a, "-?") == 0 || strcmp(a, "/?") == 0) {
            console_out(usage_lines);
            console_out(usage_text);
            return exit_in_step;
        } else if (_stricmp(a, "--csv") == 0) {
            options->csv = true;
            continue;
        } else if (_stricmp(a, "--rounds") == 0 && number_argument(next, 1, 1000000, &v)) {
            options->rounds = static_cast<int>(v);
        } else if (_stricmp(a, "--drift") == 0 && number_argument(next, 1, 3600, &v)) {
            options->drift_seconds = static_cast<int>(v);
        } else if (_stricmp(a, "--tolerance") == 0 && number_argument(next, 0, 1000000000, &v)) {
            options->tolerance_ns = static_cast<double>(v);
        } else if (_stricmp(a, "--warp") == 0 && number_argument(next, 1, 60, &v)) {
            options->warp_seconds = static_cast<int>(v);
        } else {
            const char* range = _stricmp(a, "--rounds") == 0  ? "from 1 to 1000000"
                                : _stricmp(a, "--drift") == 0 ? "from 1 to 3600"
                                : _stricmp(a, "--tolerance") == 0 ? "from 0 to 1000000000"
                                : _stricmp(a, "--warp") == 0 ? "from 1 to 60"
                                                                  : nullptr;
            if (range)
                console_errf("tickmend-ctl: skew: %s needs a whole number %s, not \"%s\"\n", a, range,
                             next ? next : "");
            else
                console_errf("tickmend-ctl: skew: unknown argument \"%s\"\n", a);
            return usage_hint();
        }
        ++i;
    }
    if (options->warp_seconds && options->drift_seconds) {
        console_err("tickmend-ctl: skew: --warp and --drift are two different measurements: give one.\n");
        return usage_hint();
    }
    return -1;
}

// Names each processor of the pass that failed on stderr; false when any did.
bool say_failures(const skew_pass& pass)
{
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        switch (pass.readings[bit].status) {
        case skew_status::not_bound:
            console_errf("tickmend-ctl: skew: processor %d could not be bound; it was not measured.\n", bit);
            break;
        case skew_status::silent:
            console_errf("tickmend-ctl: skew: processor %d did not answer within %lu ms; it was not measured.\n", bit,
                         skew_answer_timeout_ms());
            break;
        default:
            break;
        }
    }
    return pass.complete;
}

void place(char* text, size_t size, int bit)
{
    if (cpu_present(bit)) _snprintf(text, size, "node %u, core %u", cpu_node[bit], cpu_core[bit]);
    else _snprintf(text, size, "node -, core -");
    text[size - 1] = '\0';
}

const TableColumn offset_columns[] = {
    {"processor", false},     {"node", false},          {"core", false},
    {"offset_cycles", false}, {"uncertainty_cycles", false}, {"offset_ns", false},
    {"uncertainty_ns", false}, {"note", true}};
const TableColumn drift_columns[] = {
    {"processor", false},     {"node", false},          {"core", false},
    {"offset_cycles", false}, {"uncertainty_cycles", false}, {"offset_ns", false},
    {"uncertainty_ns", false}, {"drift_ns_per_s", false}, {"drift_ppm", false},
    {"drift_uncert_ns_per_s", false}, {"drift_uncert_ppm", false}, {"note", true}};

// The table: one row per processor of mask, with the drift between first and second when
// there is a second pass; a processor the second pass failed on keeps its first row.
// Cycles go through "%.0f": Windows XP's printf knows no "%lld".
void report(const Options& options, DWORD_PTR mask, int reference, double rate, const skew_pass& first,
            const skew_pass* second)
{
    Table table(second ? drift_columns : offset_columns,
                second ? static_cast<int>(sizeof drift_columns / sizeof drift_columns[0])
                       : static_cast<int>(sizeof offset_columns / sizeof offset_columns[0]));
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        const bool again = second && second->readings[bit].status == skew_status::measured;
        const skew_reading& r = again ? second->readings[bit] : first.readings[bit];
        table.add_row();
        table.cell("%d", bit);
        if (cpu_present(bit)) {
            table.cell("%u", cpu_node[bit]);
            table.cell("%u", cpu_core[bit]);
        } else {
            table.cell("-");
            table.cell("-");
        }
        if (r.status != skew_status::measured) {
            for (int i = 0; i < (second ? 8 : 4); ++i) table.cell("-");
            table.cell("not measured");
            continue;
        }
        table.cell("%.0f", static_cast<double>(r.offset));
        table.cell("%.0f", static_cast<double>(r.uncertainty));
        table.cell("%.1f", skew_ns(r.offset, rate));
        table.cell("%.1f", skew_ns(r.uncertainty, rate));
        skew_drift drift = {0, 0, false};
        const bool drifted = second && skew_drift_of(first, *second, bit, rate, &drift);
        if (second && !drifted) {
            for (int i = 0; i < 4; ++i) table.cell("-");
        } else if (second) {
            table.cell("%.1f", drift.ns_per_s);
            table.cell("%.2f", drift.ns_per_s / 1000);
            table.cell("%.1f", drift.uncertainty_ns_per_s);
            table.cell("%.2f", drift.uncertainty_ns_per_s / 1000);
        }
        if (bit == reference) table.cell("reference");
        else if (second && !again) table.cell("first pass only");
        else if (drifted && drift.within_uncertainty) table.cell("within its uncertainty");
    }
    if (!options.csv) {
        console_outf("TSC rate: %.3f GHz (against the performance counter over %lu ms); reference: processor %d; "
                     "the shortest of %d round trips counts; reads ordered by %s\n",
                     rate / 1e9, skew_rate_interval_ms, reference, options.rounds, platform_tsc_ordering_name());
    }
    table.print(options.csv);
}

int processors_in(DWORD_PTR mask)
{
    int n = 0;
    for (; mask; mask &= mask - 1) ++n;
    return n;
}

// What the measurement could not cover, said before any verdict.
void say_coverage(void (*say)(const char*, ...), DWORD_PTR mask)
{
    if (processors_in(mask) == 1)
        say("note: this process may run on one processor only: there is nothing to measure it against.\n");
    DWORD groups = 1;
    const DWORD beyond = platform_processors_out_of_reach(&groups);
    if (beyond)
        say("note: %lu of this machine's processors are beyond this client's reach (past its 32 mask bits or in "
            "another of %lu processor groups) and were not measured.\n",
            beyond, groups);
}

// The verdict line (on stderr with --csv, so that stdout stays CSV) and its exit code.
int verdict(const Options& options, const skew_pass& pass, double rate, bool topology, bool invariant)
{
    void (*say)(const char*, ...) = options.csv ? console_errf : console_outf;
    say_coverage(say, pass.mask);
    if (!topology) say("note: the topology walk failed, so nodes and cores are unknown.\n");
    if (!invariant)
        say("note: these processors lack an invariant TSC (CPUID 0x80000007 EDX bit 8): their offsets change "
            "with the clock speed, and a single measurement tells little.\n");
    const skew_verdict v = skew_judge(pass, rate, options.tolerance_ns);
    if (v.in_step) {
        // An offset within a wide uncertainty is not shown to be small: say when that decided.
        if (v.loosest >= 0)
            say("note: processor %d was measured with an uncertainty of %.1f ns, more than the tolerance (the "
                "machine was busy?): measure again before trusting the verdict.\n",
                v.loosest, v.loosest_ns);
        const int covered = processors_in(pass.mask);
        if (covered == 1)
            say("in step: trivially, processor %d alone was measured\n", pass.reference);
        else
            say("in step: every offset is within its uncertainty plus %.0f ns (%d processor%s measured against "
                "processor %d)\n",
                options.tolerance_ns, covered - 1, covered == 2 ? "" : "s", pass.reference);
        return exit_in_step;
    }
    char where[40];
    place(where, sizeof where, v.worst);
    say("out of step: largest offset %.1f ns on processor %d (%s)\n", v.worst_ns, v.worst, where);
    return exit_out_of_step;
}

const TableColumn warp_columns[] = {{"from", false},         {"to", false},       {"warps", false},
                                    {"largest_cycles", false}, {"largest_ns", false}};

// The warp check: the pairs that went backwards and the verdict.
int warp_command(const Options& options, DWORD_PTR mask, int reference)
{
    const double rate = skew_tsc_rate(reference);
    static skew_warp_result result;
    const bool all = skew_warp(mask, static_cast<DWORD>(options.warp_seconds) * 1000, &result);
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        if (result.status[bit] == skew_warp_status::not_bound)
            console_errf("tickmend-ctl: skew: processor %d could not be bound; it did not take part.\n", bit);
        else if (result.status[bit] == skew_warp_status::silent)
            console_errf("tickmend-ctl: skew: processor %d did not start reading within %lu ms; it did not take "
                         "part.\n",
                         bit, skew_answer_timeout_ms());
    }
    if (rate <= 0) {
        console_err("tickmend-ctl: skew: the TSC rate could not be measured.\n");
        return exit_failed;
    }
    Table table(warp_columns, static_cast<int>(sizeof warp_columns / sizeof warp_columns[0]));
    for (int from = 0; from < MAX_CPUS; ++from) {
        for (int to = 0; to < MAX_CPUS; ++to) {
            const skew_warp_pair& p = result.pairs[from][to];
            if (!p.warps) continue;
            table.add_row();
            table.cell("%d", from);
            table.cell("%d", to);
            table.cell("%.0f", static_cast<double>(p.warps));
            table.cell("%.0f", static_cast<double>(p.largest));
            table.cell("%.1f", skew_ns(p.largest, rate));
        }
    }
    void (*say)(const char*, ...) = options.csv ? console_errf : console_outf;
    if (!options.csv)
        say("%.0f reads in %d s by %d processor%s, each under one lock, reads ordered by %s; %.0f went "
            "backwards\n",
            static_cast<double>(result.reads), options.warp_seconds, processors_in(mask),
            processors_in(mask) == 1 ? "" : "s", platform_tsc_ordering_name(), static_cast<double>(result.warps));
    if (options.csv || result.warps) table.print(options.csv);
    if (!all) return exit_failed;
    say_coverage(say, mask);
    if (!result.warps) {
        say("time never went backwards in %.0f reads\n", static_cast<double>(result.reads));
        return exit_in_step;
    }
    say("time went backwards by up to %.1f ns, from processor %d to %d\n", skew_ns(result.largest, rate),
        result.from, result.to);
    return exit_out_of_step;
}

} // namespace

int skew_command(int argc, char** argv)
{
    Options options;
    const int parsed = parse(argc, argv, &options);
    if (parsed >= 0) return parsed;
    if (!client_machine_install()) return exit_failed;

    const ProcessorOps& cpus = platform_processors();
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (!cpus.get_affinity(&process_mask, &system_mask) || process_mask == 0) {
        console_err("tickmend-ctl: skew: the process affinity mask could not be read.\n");
        return exit_failed;
    }
    int reference = 0;
    while (!(process_mask & (static_cast<DWORD_PTR>(1) << reference))) ++reference;

    // The topology walk binds the whole process (which undoes thread bindings): it comes first.
    const bool topology = enumerate_cpus() != 0;
    const bool invariant = skew_invariant_tsc();
    if (options.warp_seconds) return warp_command(options, process_mask, reference);

    const double rate = skew_tsc_rate(reference);
    static skew_pass first, second;
    if (!skew_measure(process_mask, reference, options.rounds, &first)) {
        console_errf("tickmend-ctl: skew: processor %d (the reference) could not be bound; nothing was measured.\n",
                     reference);
        return exit_failed;
    }
    bool all = say_failures(first);
    if (all && options.drift_seconds) {
        Sleep(static_cast<DWORD>(options.drift_seconds) * 1000);
        all = skew_measure(process_mask, reference, options.rounds, &second) && say_failures(second);
    }
    if (rate <= 0) {
        console_err("tickmend-ctl: skew: the TSC rate could not be measured.\n");
        return exit_failed;
    }
    report(options, process_mask, reference, rate, first, options.drift_seconds ? &second : nullptr);
    if (!all) return exit_failed;
    return verdict(options, options.drift_seconds ? second : first, rate, topology, invariant);
}
