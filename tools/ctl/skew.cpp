#include "skew.h"

#include "client_machine.h"
#include "console.h"
#include "skew_report.h"
#include "platform/seam.h"
#include "skew/skew.h"
#include "smp_enum/smp_enum.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int exit_in_step = 0, exit_failed = 1, exit_out_of_step = 3, exit_cannot_tell = 9, exit_usage = 64;
// A processor whose offset is too loose to judge is measured again this many times at most.
constexpr int measure_again_passes = 3;
constexpr int max_rounds = 1000000;

// Every line within 79 columns.
const char usage_lines[] =
    "usage: tickmend-ctl skew [--rounds N] [--drift SECONDS] [--tolerance NS]\n"
    "                         [--wide | --csv]\n"
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
    "  --wide            every column: cycles too, and with --drift ppm (wider\n"
    "                    than 80 columns)\n"
    "  --csv             every column as CSV, for scripts and plots\n"
    "\n"
    "A processor measured too loosely to judge (its uncertainty is wider than the\n"
    "tolerance: the machine was busy) is measured again, three times at most.\n"
    "\n"
    "Exit codes: 0 in step (--warp: never backwards), 3 out of step (backwards),\n"
    "9 cannot tell (measured too loosely), 1 a measurement failed, 64 usage.\n";

using Options = SkewOptions;

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
        } else if (_stricmp(a, "--wide") == 0) {
            options->wide = true;
            continue;
        } else if (_stricmp(a, "--rounds") == 0 && number_argument(next, 1, max_rounds, &v)) {
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
            char shown[64];
            if (range)
                console_errf("tickmend-ctl: skew: %s needs a whole number %s, not \"%s\"\n", a, range,
                             console_word(next ? next : "", shown));
            else
                console_errf("tickmend-ctl: skew: unknown argument \"%s\"\n", console_word(a, shown));
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

// Whether a processor's offset is too loose to judge: within its uncertainty plus the
// tolerance (so not shown apart), with an uncertainty wider than the tolerance (so not shown
// in step either).
bool too_loose(const skew_pass& pass, int bit, double rate, double tolerance_ns)
{
    const skew_reading& r = pass.readings[bit];
    if (bit == pass.reference || r.status != skew_status::measured) return false;
    const double uncertainty = skew_ns(r.uncertainty, rate);
    const double offset = skew_ns(r.offset < 0 ? -r.offset : r.offset, rate);
    return uncertainty > tolerance_ns && offset <= uncertainty + tolerance_ns;
}

// Measures the processors too loose to judge again, measure_again_passes times at most,
// keeping each one's tightest reading; passes[bit] counts the times each was measured. A
// busy moment passes: each pass waits a little longer first, and takes twice the round
// trips of the one before (a round trip that finds both threads running counts).
void measure_loose_again(const Options& options, double rate, skew_pass* pass, int* passes)
{
    static skew_pass extra;
    for (int again = 0; again < measure_again_passes; ++again) {
        DWORD_PTR loose = 0;
        for (int bit = 0; bit < MAX_CPUS; ++bit)
            if ((pass->mask & (static_cast<DWORD_PTR>(1) << bit)) && too_loose(*pass, bit, rate, options.tolerance_ns))
                loose |= static_cast<DWORD_PTR>(1) << bit;
        if (!loose) return;
        Sleep(50u << again);
        const int rounds = options.rounds > max_rounds >> (again + 1) ? max_rounds : options.rounds << (again + 1);
        if (!skew_measure(loose | (static_cast<DWORD_PTR>(1) << pass->reference), pass->reference, rounds, &extra))
            return;
        for (int bit = 0; bit < MAX_CPUS; ++bit) {
            if (!(loose & (static_cast<DWORD_PTR>(1) << bit))) continue;
            ++passes[bit];
            const skew_reading& r = extra.readings[bit];
            if (r.status == skew_status::measured && r.uncertainty < pass->readings[bit].uncertainty)
                pass->readings[bit] = r;
        }
    }
}

// The verdict line (on stderr with --csv, so that stdout stays CSV) and its exit code.
int verdict(const Options& options, const skew_pass& pass, double rate, bool topology, bool invariant,
            const int* passes)
{
    void (*say)(const char*, ...) = options.csv ? console_errf : console_outw;
    skew_say_coverage(say, pass.mask);
    if (!topology) say("note: the nodes and cores of the processors could not be found out (shown as -).\n");
    if (!invariant)
        say("note: these processors' counters change speed with the clock (they lack an invariant TSC), and "
            "their offsets with it: one measurement tells little.\n");
    const skew_verdict v = skew_judge(pass, rate, options.tolerance_ns);
    char where[40];
    if (!v.in_step) {
        skew_place(where, sizeof where, v.worst);
        say("out of step: largest offset %.1f ns on processor %d (%s)\n", v.worst_ns, v.worst, where);
        return exit_out_of_step;
    }
    if (v.loosest >= 0) {
        // An offset within a wide uncertainty is not shown to be small, nor to be large.
        skew_place(where, sizeof where, v.loosest);
        say("cannot tell: processor %d (%s), measured %d times, was never known to better than +-%.1f ns, "
            "wider than the %.0f ns allowed (the machine was busy). Measure again when it is idle.\n",
            v.loosest, where, passes[v.loosest], v.loosest_ns, options.tolerance_ns);
        return exit_cannot_tell;
    }
    const int covered = skew_processors_in(pass.mask);
    if (covered == 1)
        say("in step: trivially, processor %d alone was measured\n", pass.reference);
    else
        say("in step: every offset is within its uncertainty plus %.0f ns (%d processor%s measured against "
            "processor %d)\n",
            options.tolerance_ns, covered - 1, covered == 2 ? "" : "s", pass.reference);
    return exit_in_step;
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
    if (options.warp_seconds) return skew_warp_command(options, process_mask, reference);

    const double rate = skew_tsc_rate(reference);
    static skew_pass first, second;
    if (!skew_measure(process_mask, reference, options.rounds, &first)) {
        console_errf("tickmend-ctl: skew: processor %d (the reference) could not be bound; nothing was measured.\n",
                     reference);
        return exit_failed;
    }
    bool all = say_failures(first);
    int passes[MAX_CPUS];
    if (all && options.drift_seconds) {
        // The drift is only as good as both passes: the first one's loose readings too.
        for (int& each : passes) each = 1;
        if (rate > 0) measure_loose_again(options, rate, &first, passes);
        Sleep(static_cast<DWORD>(options.drift_seconds) * 1000);
        all = skew_measure(process_mask, reference, options.rounds, &second) && say_failures(second);
    }
    if (rate <= 0) {
        console_err("tickmend-ctl: skew: the TSC rate could not be measured.\n");
        return exit_failed;
    }
    skew_pass& judged = options.drift_seconds ? second : first;
    for (int& each : passes) each = 1;
    if (all) measure_loose_again(options, rate, &judged, passes);
    skew_report(options, process_mask, reference, rate, first, options.drift_seconds ? &second : nullptr, passes);
    if (!all) return exit_failed;
    return verdict(options, judged, rate, topology, invariant, passes);
}
