#include "skew/skew.h"
#include "platform/binding.h"
#include "platform/seam.h"

namespace {

constexpr DWORD EDX_INVARIANT_TSC = 1u << 8;

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
    thread_binding binding(r->bit);
    if (!binding.bound()) {
        store(&r->ready, -1);
        return 1;
    }
    priority_scope priority(0, THREAD_PRIORITY_TIME_CRITICAL);
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
    return 0;
}

LONGLONG performance_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Measures processor bit from the calling thread, which runs on the reference processor.
skew_status measure(int bit, int rounds, skew_reading* reading)
{
    const ProcessorOps& cpus = platform_processors();
    Responder responder;
    responder.bit = bit;
    store(&line.turn, 0);
    HANDLE thread = CreateThread(nullptr, 0, respond, &responder, 0, nullptr);
    if (!thread) return skew_status::silent;
    DWORD start = GetTickCount();
    unsigned spins = 0;
    while (load(&responder.ready) == 0 && GetTickCount() - start < skew_answer_timeout_ms) pause(++spins);
    skew_status outcome = skew_status::measured;
    if (load(&responder.ready) < 0) outcome = skew_status::not_bound;
    else if (load(&responder.ready) == 0) outcome = skew_status::silent;

    ULONGLONG best = ~0ULL;
    for (LONG round = 0; outcome == skew_status::measured && round < rounds; ++round) {
        const LONG ask = 2 * round + 1;
        const ULONGLONG t0 = cpus.read_tsc();
        store(&line.turn, ask);
        spins = 0;
        while (load(&line.turn) != ask + 1) {
            pause(++spins);
            if ((spins & 1023) == 0 && spins >= 2000) {
                if (spins == 2048) start = GetTickCount();
                else if (GetTickCount() - start > skew_answer_timeout_ms) outcome = skew_status::silent;
                if (outcome != skew_status::measured) break;
            }
        }
        if (outcome != skew_status::measured) break;
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
    reading->status = outcome;
    reading->at = performance_counter();
    return outcome;
}

} // namespace

bool skew_measure(DWORD_PTR mask, int reference, int rounds, skew_pass* pass)
{
    *pass = skew_pass();
    pass->reference = reference;
    pass->mask = mask;
    // The calling thread is the reference side, bound and at time-critical priority for
    // the measurement only.
    thread_binding binding(reference);
    if (!binding.bound()) return false;
    priority_scope priority(0, THREAD_PRIORITY_TIME_CRITICAL);
    pass->complete = true;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        skew_reading& r = pass->readings[bit];
        if (bit == reference) {
            r.status = skew_status::measured;
            r.at = performance_counter();
            continue;
        }
        if (measure(bit, rounds, &r) != skew_status::measured) pass->complete = false;
    }
    return true;
}

double skew_tsc_rate(int reference)
{
    thread_binding binding(reference);
    if (!binding.bound()) return 0;
    const ProcessorOps& cpus = platform_processors();
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return 0;
    const LONGLONG q0 = performance_counter();
    const ULONGLONG c0 = cpus.read_tsc();
    const LONGLONG least = frequency.QuadPart * skew_rate_interval_ms / 1000;
    Sleep(skew_rate_interval_ms);
    LONGLONG q1 = performance_counter();
    while (q1 - q0 < least) {
        Sleep(1);
        q1 = performance_counter();
    }
    const ULONGLONG c1 = cpus.read_tsc();
    if (c1 <= c0) return 0;
    return static_cast<double>(c1 - c0) * static_cast<double>(frequency.QuadPart) / static_cast<double>(q1 - q0);
}

bool skew_invariant_tsc()
{
    const ProcessorOps& cpus = platform_processors();
    DWORD regs[4] = {0, 0, 0, 0};
    cpus.cpuid(0x80000000, regs);
    if (regs[0] < 0x80000007) return false;
    cpus.cpuid(0x80000007, regs);
    return (regs[3] & EDX_INVARIANT_TSC) != 0;
}

double skew_ns(LONGLONG cycles, double rate) { return static_cast<double>(cycles) * 1e9 / rate; }

skew_verdict skew_judge(const skew_pass& pass, double rate, double tolerance_ns)
{
    skew_verdict v = {true, -1, 0, -1, 0};
    double worst_size = 0;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        const skew_reading& r = pass.readings[bit];
        if (!(pass.mask & (static_cast<DWORD_PTR>(1) << bit)) || r.status != skew_status::measured) continue;
        const double offset = skew_ns(r.offset, rate);
        const double uncertainty = skew_ns(r.uncertainty, rate);
        const double size = offset < 0 ? -offset : offset;
        if (size > uncertainty + tolerance_ns && (v.worst < 0 || size > worst_size)) {
            v.worst = bit;
            v.worst_ns = offset;
            worst_size = size;
        }
        if (uncertainty > tolerance_ns && (v.loosest < 0 || uncertainty > v.loosest_ns)) {
            v.loosest = bit;
            v.loosest_ns = uncertainty;
        }
    }
    v.in_step = v.worst < 0;
    return v;
}
