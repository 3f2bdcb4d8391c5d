#include "skew_report.h"

#include "console.h"
#include "table.h"
#include "platform/seam.h"
#include "platform/tsc_read.h"
#include "smp_enum/smp_enum.h"

#include <windows.h>
#include <stdio.h>

namespace {

constexpr int exit_in_step = 0, exit_failed = 1, exit_out_of_step = 3;

// Every column, for --wide and --csv (the CSV field names scripts rely on).
const TableColumn offset_columns[] = {
    {"processor", false},     {"node", false},          {"core", false},
    {"offset_cycles", false}, {"uncertainty_cycles", false}, {"offset_ns", false},
    {"uncertainty_ns", false}, {"note", true}};
const TableColumn drift_columns[] = {
    {"processor", false},     {"node", false},          {"core", false},
    {"offset_cycles", false}, {"uncertainty_cycles", false}, {"offset_ns", false},
    {"uncertainty_ns", false}, {"drift_ns_per_s", false}, {"drift_ppm", false},
    {"drift_uncert_ns_per_s", false}, {"drift_uncert_ppm", false}, {"note", true}};
// Within 80 columns: nanoseconds only, each figure beside its uncertainty.
const TableColumn narrow_offset_columns[] = {{"cpu", false},       {"node", false}, {"core", false},
                                             {"offset_ns", false}, {"+-ns", false}, {"note", true}};
const TableColumn narrow_drift_columns[] = {{"cpu", false},        {"node", false},   {"core", false},
                                            {"offset_ns", false},  {"+-ns", false},   {"drift_ns/s", false},
                                            {"+-ns/s", false},     {"note", true}};

const TableColumn warp_columns[] = {{"from", false},         {"to", false},       {"warps", false},
                                    {"largest_cycles", false}, {"largest_ns", false}};

template <size_t N> int count_of(const TableColumn (&)[N]) { return static_cast<int>(N); }

} // namespace

int skew_processors_in(DWORD_PTR mask)
{
    int n = 0;
    for (; mask; mask &= mask - 1) ++n;
    return n;
}

void skew_place(char* text, size_t size, int bit)
{
    if (cpu_present(bit)) _snprintf(text, size, "node %u, core %u", cpu_node[bit], cpu_core[bit]);
    else _snprintf(text, size, "node -, core -");
    text[size - 1] = '\0';
}

void skew_say_coverage(void (*say)(const char*, ...), DWORD_PTR mask)
{
    if (skew_processors_in(mask) == 1)
        say("note: this process may run on one processor only: there is nothing to measure it against.\n");
    DWORD groups = 1;
    const DWORD beyond = platform_processors_out_of_reach(&groups);
    if (beyond)
        say("note: %lu of this machine's processors are beyond this client's reach (past its 32 mask bits or in "
            "another of %lu processor groups) and were not measured.\n",
            beyond, groups);
}

// Cycles go through "%.0f": Windows XP's printf knows no "%lld".
void skew_report(const SkewOptions& options, DWORD_PTR mask, int reference, double rate, const skew_pass& first,
                 const skew_pass* second, const int* passes)
{
    const bool wide = options.wide || options.csv;
    const TableColumn* columns = second ? (wide ? drift_columns : narrow_drift_columns)
                                        : (wide ? offset_columns : narrow_offset_columns);
    const int count = second ? (wide ? count_of(drift_columns) : count_of(narrow_drift_columns))
                             : (wide ? count_of(offset_columns) : count_of(narrow_offset_columns));
    Table table(columns, count);
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
            for (int i = 3; i < count - 1; ++i) table.cell("-");
            table.cell("not measured");
            continue;
        }
        if (wide) {
            table.cell("%.0f", static_cast<double>(r.offset));
            table.cell("%.0f", static_cast<double>(r.uncertainty));
        }
        // Narrow: whole nanoseconds (an uncertainty is tens of them at least).
        const char* ns = wide ? "%.1f" : "%.0f";
        table.cell(ns, skew_ns(r.offset, rate));
        table.cell(ns, skew_ns(r.uncertainty, rate));
        skew_drift drift = {0, 0, false};
        const bool drifted = second && skew_drift_of(first, *second, bit, rate, &drift);
        if (second && !drifted) {
            for (int i = 0; i < (wide ? 4 : 2); ++i) table.cell("-");
        } else if (second) {
            table.cell(ns, drift.ns_per_s);
            if (wide) table.cell("%.2f", drift.ns_per_s / 1000);
            table.cell(ns, drift.uncertainty_ns_per_s);
            if (wide) table.cell("%.2f", drift.uncertainty_ns_per_s / 1000);
        }
        if (bit == reference) table.cell("reference");
        else if (second && !again) table.cell("first pass only");
        else if (drifted && drift.within_uncertainty) table.cell("within its uncertainty");
        else if (passes && passes[bit] > 1) table.cell("measured %d times", passes[bit]);
    }
    if (!options.csv) {
        console_outf("TSC rate %.3f GHz, reads ordered by %s.\n", rate / 1e9, platform_tsc_ordering_name());
        console_outf("Offsets from processor %d, each the shortest of %d round trips.\n", reference, options.rounds);
    }
    table.print(options.csv);
}

// The warp check: the pairs that went backwards and the verdict.
int skew_warp_command(const SkewOptions& options, DWORD_PTR mask, int reference)
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
    void (*say)(const char*, ...) = options.csv ? console_errf : console_outw;
    if (!options.csv)
        say("%.0f reads in %d s by %d processor%s, each under one lock, ordered by %s.\n%.0f of them went "
            "backwards.\n",
            static_cast<double>(result.reads), options.warp_seconds, skew_processors_in(mask),
            skew_processors_in(mask) == 1 ? "" : "s", platform_tsc_ordering_name(), static_cast<double>(result.warps));
    if (options.csv || result.warps) table.print(options.csv);
    if (!all) return exit_failed;
    skew_say_coverage(say, mask);
    if (!result.warps) {
        say("time never went backwards in %.0f reads\n", static_cast<double>(result.reads));
        return exit_in_step;
    }
    say("time went backwards by up to %.1f ns, from processor %d to %d\n", skew_ns(result.largest, rate),
        result.from, result.to);
    return exit_out_of_step;
}
