#include "skew.h"

#include "client_machine.h"
#include "console.h"
#include "table.h"
#include "platform/seam.h"
#include "smp_enum/smp_enum.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int exit_in_step = 0, exit_failed = 1, exit_out_of_step = 3, exit_usage = 64;
constexpr int default_rounds = 2000;
constexpr double default_tolerance_ns = 1000;
constexpr DWORD rate_interval_ms = 100;  // the TSC rate is measured over at least this long
constexpr DWORD answer_timeout_ms = 5000; // a processor silent this long has failed
constexpr DWORD EDX_INVARIANT_TSC = 1u << 8;

const char usage_text[] =
    "usage: tickmend-ctl skew [--rounds N] [--drift SECONDS] [--tolerance NS] [--csv]\n"
    "\n"
    "  --rounds N        round trips per processor; the shortest counts (default 2000)\n"
    "  --drift SECONDS   measure, wait, measure again, and show each processor's drift\n"
    "  --tolerance NS    offset allowed beyond the uncertainty (default 1000)\n"
    "  --csv             the figures as CSV, for scripts and plots\n"
    "\n"
    "Exit codes: 0 in step, 3 out of step, 1 a measurement failed, 64 usage.\n";

struct Options {
    int rounds = default_rounds;
    int drift_seconds = 0; // 0: no drift measurement
    double tolerance_ns = default_tolerance_ns;
    bool csv = false;
};

// One processor against the reference.
struct Reading {
    bool measured = false;
    LONGLONG offset = 0;      // cycles: this processor's TSC minus the reference's
    LONGLONG uncertainty = 0; // cycles: half the shortest round trip
    LONGLONG at = 0;          // performance counter when it was taken
};

// The cache line the two threads pass the turn and the answer over, alone on its line.
struct alignas(64) Line {
    volatile LONG turn; // odd: the reference asks round (turn + 1) / 2; even: answered
    volatile ULONGLONG answer;
};
Line line;

// What the answering thread is told, and tells back.
struct Responder {
    int bit;
    volatile LONG ready = 0; // 1 bound and waiting, -1 its binding failed
    volatile LONG stop = 0;  // the reference gave up
};

LONG load(volatile LONG* v) { return __atomic_load_n(v, __ATOMIC_ACQUIRE); }
void store(volatile LONG* v, LONG value) { __atomic_store_n(v, value, __ATOMIC_RELEASE); }

// Spins, then yields: on a machine with fewer free processors than spinning threads, the
// other thread needs ours to answer.
void pause(unsigned spins)
{
    if (spins < 2000) YieldProcessor();
    else SwitchToThread();
}

DWORD WINAPI respond(void* parameter)
{
    Responder* r = static_cast<Responder*>(parameter);
    const ProcessorOps& cpus = platform_processors();
    const DWORD_PTR previous = cpus.bind_thread(static_cast<DWORD_PTR>(1) << r->bit);
    if (!previous) {
        store(&r->ready, -1);
        return 1;
    }
    const int priority = GetThreadPriority(GetCurrentThread());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    store(&r->ready, 1);
    LONG expected = 1;
    unsigned spins = 0;
    while (!load(&r->stop)) {
        if (load(&line.turn) != expected) {
            pause(++spins);
            continue;
        }
        line.answer = cpus.read_tsc();
        store(&line.turn, expected + 1);
        expected += 2;
        spins = 0;
    }
    SetThreadPriority(GetCurrentThread(), priority);
    cpus.bind_thread(previous);
    return 0;
}

LONGLONG performance_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

enum class Outcome { measured, not_bound, silent };

// Measures processor bit from the calling thread, which runs on the reference processor.
Outcome measure(int bit, int rounds, Reading* reading)
{
    const ProcessorOps& cpus = platform_processors();
    Responder responder;
    responder.bit = bit;
    store(&line.turn, 0);
    HANDLE thread = CreateThread(nullptr, 0, respond, &responder, 0, nullptr);
    if (!thread) return Outcome::silent;
    DWORD start = GetTickCount();
    unsigned spins = 0;
    while (load(&responder.ready) == 0 && GetTickCount() - start < answer_timeout_ms) pause(++spins);
    Outcome outcome = Outcome::measured;
    if (load(&responder.ready) < 0) outcome = Outcome::not_bound;
    else if (load(&responder.ready) == 0) outcome = Outcome::silent;

    ULONGLONG best = ~0ULL;
    for (LONG round = 0; outcome == Outcome::measured && round < rounds; ++round) {
        const LONG ask = 2 * round + 1;
        const ULONGLONG t0 = cpus.read_tsc();
        store(&line.turn, ask);
        spins = 0;
        while (load(&line.turn) != ask + 1) {
            pause(++spins);
            if ((spins & 1023) == 0 && spins >= 2000) {
                if (spins == 2048) start = GetTickCount();
                else if (GetTickCount() - start > answer_timeout_ms) outcome = Outcome::silent;
                if (outcome != Outcome::measured) break;
            }
        }
        if (outcome != Outcome::measured) break;
        const ULONGLONG t2 = cpus.read_tsc();
        const ULONGLONG t1 = line.answer;
        if (t2 - t0 < best) {
            best = t2 - t0;
            reading->offset = static_cast<LONGLONG>(t1 - (t0 + (t2 - t0) / 2));
            reading->uncertainty = static_cast<LONGLONG>((t2 - t0 + 1) / 2);
        }
    }
    store(&responder.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    reading->measured = outcome == Outcome::measured;
    reading->at = performance_counter();
    return outcome;
}

// The TSC rate in cycles per second, from the calling thread's processor against the
// performance counter, over at least rate_interval_ms; 0 when it cannot be had.
double tsc_rate()
{
    const ProcessorOps& cpus = platform_processors();
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return 0;
    const LONGLONG q0 = performance_counter();
    const ULONGLONG c0 = cpus.read_tsc();
    const LONGLONG least = frequency.QuadPart * rate_interval_ms / 1000;
    Sleep(rate_interval_ms);
    LONGLONG q1 = performance_counter();
    while (q1 - q0 < least) {
        Sleep(1);
        q1 = performance_counter();
    }
    const ULONGLONG c1 = cpus.read_tsc();
    if (c1 <= c0) return 0;
    return static_cast<double>(c1 - c0) * static_cast<double>(frequency.QuadPart) / static_cast<double>(q1 - q0);
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
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            console_out(usage_text);
            return exit_in_step;
        } else if (strcmp(a, "--csv") == 0) {
            options->csv = true;
            continue;
        } else if (strcmp(a, "--rounds") == 0 && number_argument(next, 1, 1000000, &v)) {
            options->rounds = static_cast<int>(v);
        } else if (strcmp(a, "--drift") == 0 && number_argument(next, 1, 3600, &v)) {
            options->drift_seconds = static_cast<int>(v);
        } else if (strcmp(a, "--tolerance") == 0 && number_argument(next, 0, 1000000000, &v)) {
            options->tolerance_ns = static_cast<double>(v);
        } else {
            const bool valued =
                strcmp(a, "--rounds") == 0 || strcmp(a, "--drift") == 0 || strcmp(a, "--tolerance") == 0;
            if (valued)
                console_errf("tickmend-ctl skew: %s needs a whole number in its range, not \"%s\"\n", a,
                             next ? next : "");
            else
                console_errf("tickmend-ctl skew: unknown argument \"%s\"\n", a);
            console_err(usage_text);
            return exit_usage;
        }
        ++i;
    }
    return -1;
}

// The whole measurement of one pass: every processor of mask against the reference,
// each failure named on stderr. false when any processor failed.
bool measure_all(DWORD_PTR mask, int reference, int rounds, Reading readings[MAX_CPUS])
{
    bool all = true;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        readings[bit] = Reading();
        if (bit == reference) {
            readings[bit].measured = true;
            readings[bit].at = performance_counter();
            continue;
        }
        switch (measure(bit, rounds, &readings[bit])) {
        case Outcome::measured:
            break;
        case Outcome::not_bound:
            console_errf("tickmend-ctl skew: processor %d could not be bound; it was not measured.\n", bit);
            all = false;
            break;
        case Outcome::silent:
            console_errf("tickmend-ctl skew: processor %d did not answer within %lu ms; it was not measured.\n", bit,
                         answer_timeout_ms);
            all = false;
            break;
        }
    }
    return all;
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
    {"uncertainty_ns", false}, {"drift_ns_per_s", false}, {"drift_ppm", false}, {"note", true}};

double to_ns(LONGLONG cycles, double rate) { return static_cast<double>(cycles) * 1e9 / rate; }

// The table: one row per processor of mask, with the drift between first and second when
// there is a second pass. Cycles go through "%.0f": Windows XP's printf knows no "%lld".
void report(const Options& options, DWORD_PTR mask, int reference, double rate, const Reading* first,
            const Reading* second)
{
    Table table(second ? drift_columns : offset_columns,
                second ? static_cast<int>(sizeof drift_columns / sizeof drift_columns[0])
                       : static_cast<int>(sizeof offset_columns / sizeof offset_columns[0]));
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        const Reading& r = second ? second[bit] : first[bit];
        table.add_row();
        table.cell("%d", bit);
        if (cpu_present(bit)) {
            table.cell("%u", cpu_node[bit]);
            table.cell("%u", cpu_core[bit]);
        } else {
            table.cell("-");
            table.cell("-");
        }
        if (!r.measured) {
            for (int i = 0; i < (second ? 6 : 4); ++i) table.cell("-");
            table.cell("not measured");
            continue;
        }
        table.cell("%.0f", static_cast<double>(r.offset));
        table.cell("%.0f", static_cast<double>(r.uncertainty));
        table.cell("%.1f", to_ns(r.offset, rate));
        table.cell("%.1f", to_ns(r.uncertainty, rate));
        if (second) {
            const double seconds = static_cast<double>(r.at - first[bit].at) / static_cast<double>(frequency.QuadPart);
            const double ns_per_s = to_ns(r.offset - first[bit].offset, rate) / seconds;
            table.cell("%.1f", ns_per_s);
            table.cell("%.2f", ns_per_s / 1000);
        }
        if (bit == reference) table.cell("reference");
    }
    if (!options.csv) {
        console_outf("TSC rate: %.3f GHz (against the performance counter over %lu ms); reference: processor %d; "
                     "the shortest of %d round trips counts\n",
                     rate / 1e9, rate_interval_ms, reference, options.rounds);
    }
    table.print(options.csv);
}

// The verdict line (on stderr with --csv, so that stdout stays CSV) and its exit code.
int verdict(const Options& options, DWORD_PTR mask, double rate, const Reading* readings, bool topology,
            bool invariant)
{
    void (*say)(const char*, ...) = options.csv ? console_errf : console_outf;
    if (!topology) say("note: the topology walk failed, so nodes and cores are unknown.\n");
    if (!invariant)
        say("note: these processors lack an invariant TSC (CPUID 0x80000007 EDX bit 8): their offsets change "
            "with the clock speed, and a single measurement tells little.\n");
    int worst = -1;
    double worst_ns = 0;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        const double offset = to_ns(readings[bit].offset, rate);
        const double allowed = to_ns(readings[bit].uncertainty, rate) + options.tolerance_ns;
        const double size = offset < 0 ? -offset : offset;
        if (size > allowed && (worst < 0 || size > (worst_ns < 0 ? -worst_ns : worst_ns))) {
            worst = bit;
            worst_ns = offset;
        }
    }
    if (worst < 0) {
        // An offset within a wide uncertainty is not shown to be small: say when that decided.
        int loosest = -1;
        for (int bit = 0; bit < MAX_CPUS; ++bit) {
            if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
            if (to_ns(readings[bit].uncertainty, rate) > options.tolerance_ns &&
                (loosest < 0 || readings[bit].uncertainty > readings[loosest].uncertainty))
                loosest = bit;
        }
        if (loosest >= 0)
            say("note: processor %d was measured with an uncertainty of %.1f ns, more than the tolerance (the "
                "machine was busy?): measure again before trusting the verdict.\n",
                loosest, to_ns(readings[loosest].uncertainty, rate));
        say("in step: every offset is within its uncertainty plus %.0f ns\n", options.tolerance_ns);
        return exit_in_step;
    }
    char where[40];
    place(where, sizeof where, worst);
    say("out of step: largest offset %.1f ns on processor %d (%s)\n", worst_ns, worst, where);
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
        console_err("tickmend-ctl skew: the process affinity mask could not be read.\n");
        return exit_failed;
    }
    int reference = 0;
    while (!(process_mask & (static_cast<DWORD_PTR>(1) << reference))) ++reference;

    // The topology walk binds the whole process (which undoes thread bindings): it comes first.
    const bool topology = enumerate_cpus() != 0;
    DWORD regs[4] = {0, 0, 0, 0};
    cpus.cpuid(0x80000000, regs);
    bool invariant = false;
    if (regs[0] >= 0x80000007) {
        cpus.cpuid(0x80000007, regs);
        invariant = (regs[3] & EDX_INVARIANT_TSC) != 0;
    }

    // The calling thread is the reference side, bound and at time-critical priority for
    // the measurement only.
    const DWORD_PTR previous = cpus.bind_thread(static_cast<DWORD_PTR>(1) << reference);
    if (!previous) {
        console_errf("tickmend-ctl skew: processor %d (the reference) could not be bound; nothing was measured.\n",
                     reference);
        return exit_failed;
    }
    const int priority = GetThreadPriority(GetCurrentThread());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    const double rate = tsc_rate();
    static Reading first[MAX_CPUS], second[MAX_CPUS];
    bool all = rate > 0 && measure_all(process_mask, reference, options.rounds, first);
    if (all && options.drift_seconds) {
        SetThreadPriority(GetCurrentThread(), priority);
        Sleep(static_cast<DWORD>(options.drift_seconds) * 1000);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        all = measure_all(process_mask, reference, options.rounds, second);
    }
    SetThreadPriority(GetCurrentThread(), priority);
    cpus.bind_thread(previous);
    if (rate <= 0) {
        console_err("tickmend-ctl skew: the TSC rate could not be measured.\n");
        return exit_failed;
    }
    report(options, process_mask, reference, rate, first, options.drift_seconds ? second : nullptr);
    if (!all) return exit_failed;
    return verdict(options, process_mask, rate, options.drift_seconds ? second : first, topology, invariant);
}
