#include "skew/skew.h"
#include "platform/binding.h"
#include "platform/seam.h"

#include <new>

namespace {

constexpr DWORD EDX_INVARIANT_TSC = 1u << 8;
// Spins before a waiting thread starts to yield: on a machine with fewer free processors
// than spinning threads, the other thread needs ours to answer.
constexpr unsigned spins_before_yield = 2000;

LONG load(const volatile LONG* v) { return __atomic_load_n(v, __ATOMIC_ACQUIRE); }
void store(volatile LONG* v, LONG value) { __atomic_store_n(v, value, __ATOMIC_RELEASE); }

// What the reference thread and the answering one share during a pass. One answering thread
// serves the whole pass, moved from processor to processor as the reference asks, so that a
// pass costs one thread start, not one for each processor. It lives on the heap and the last
// of the two to let go frees it, so that an answering thread that outlives a silent processor
// never writes into the next one's measurement.
struct Channel {
    // Each side has a cache line of its own that only it writes and only the other reads:
    // it writes its TSC there, then the request's number, and waits on the other side's
    // line the same way (await_turn). The way there and the way back then cost the same:
    // one line goes from the side that wrote it to the side that waits for it. One line
    // written by both sides costs the two ways differently (measured on this machine's two
    // cores, natively and under Wine alike: the answer read some 50 to 80 cycles late,
    // against a bound of some 150).
    struct alignas(64) Side {
        volatile LONG request;    // numbered from 1: asked (the reference) or answered
        volatile LONG processor;  // asked: -1 a round trip, else the processor to move to;
                                  // answered: 1 when the move bound the thread there, else 0
        volatile ULONGLONG stamp; // the TSC as it asked or answered a round trip
    };
    Side ask;    // the reference's
    Side answer; // the answering thread's
    alignas(64) volatile LONG holders = 2;
    volatile LONG stop = 0; // the reference is done, or gave up
    void* block = nullptr;  // the heap block it lives in
};
static_assert(sizeof(Channel::Side) == 64, "each side's line is its own");

// A channel on its cache lines, aligned by hand in a heap block: the C++ runtime's aligned
// operator new would bring its exceptions, and some 60 KB, into the program. nullptr when
// there is no memory.
Channel* new_channel()
{
    void* block = HeapAlloc(GetProcessHeap(), 0, sizeof(Channel) + alignof(Channel));
    if (!block) return nullptr;
    const UINT_PTR at = (reinterpret_cast<UINT_PTR>(block) + alignof(Channel) - 1) & ~(UINT_PTR{alignof(Channel)} - 1);
    Channel* c = new (reinterpret_cast<void*>(at)) Channel();
    c->block = block;
    return c;
}

void free_channel(Channel* c)
{
    void* block = c->block;
    c->~Channel();
    HeapFree(GetProcessHeap(), 0, block);
}

void let_go(Channel* c)
{
    if (InterlockedDecrement(&c->holders) == 0) free_channel(c);
}

// Waits for the other side's line to show request want, the same way on both sides: spins,
// then yields. false when told to stop, or after timeout_ms of yielding (INFINITE: never).
bool await_turn(Channel* c, const Channel::Side& other, LONG want, DWORD timeout_ms)
{
    unsigned spins = 0;
    DWORD since = 0;
    while (load(&other.request) != want) {
        if (++spins < spins_before_yield) {
            YieldProcessor();
            continue;
        }
        if (spins == spins_before_yield) since = GetTickCount();
        else if (load(&c->stop) || (timeout_ms != INFINITE && GetTickCount() - since > timeout_ms)) return false;
        SwitchToThread();
    }
    return true;
}

// The answering thread: a round trip answered with its TSC, a move with whether it bound.
DWORD WINAPI respond(void* parameter)
{
    Channel* c = static_cast<Channel*>(parameter);
    {
        const ProcessorOps& cpus = platform_processors();
        thread_binding binding;
        priority_scope priority(0, THREAD_PRIORITY_TIME_CRITICAL);
        for (LONG request = 1; await_turn(c, c->ask, request, INFINITE); ++request) {
            const LONG move = c->ask.processor;
            if (move < 0) c->answer.stamp = cpus.read_tsc();
            else c->answer.processor = binding.move_to(move) ? 1 : 0;
            store(&c->answer.request, request);
        }
    }
    let_go(c);
    return 0;
}

LONGLONG performance_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The reference's end of a channel: the answering thread started, moved, asked, and stopped.
class Answerer {
public:
    Answerer() = default;
    ~Answerer() { stop(); }
    Answerer(const Answerer&) = delete;
    Answerer& operator=(const Answerer&) = delete;

    // Moves the answering thread to processor bit, starting one first where none runs:
    // measured once it is bound there and waiting, not_bound when its binding failed, silent
    // when it does not answer (then it is let go, and the next move starts another).
    skew_status move_to(int bit)
    {
        if (!c_ && !start()) return skew_status::silent;
        c_->ask.processor = bit;
        if (!ask()) return skew_status::silent;
        // Round trips from here on; written now, not as each round trip begins: a store to the
        // reference's line just before t0 would start taking the line over early, and cut the
        // way there short (on this machine's cores, when the host puts them apart, by some 180
        // cycles).
        c_->ask.processor = -1;
        return c_->answer.processor ? skew_status::measured : skew_status::not_bound;
    }

    // One round trip: the reference's TSC as it asked (t0), the answer's (t1), and the
    // reference's as the answer came (t2). false when no answer came (the thread is let go).
    bool round_trip(const ProcessorOps& cpus, ULONGLONG* t0, ULONGLONG* t1, ULONGLONG* t2)
    {
        *t0 = cpus.read_tsc();
        c_->ask.stamp = *t0;
        if (!ask()) return false;
        *t2 = cpus.read_tsc();
        *t1 = c_->answer.stamp;
        return true;
    }

    // Told to stop, the answering thread ends within its next yield; one that does not (its
    // processor never runs it) is left to end on its own, and the channel with it.
    void stop()
    {
        if (!c_) return;
        store(&c_->stop, 1);
        WaitForSingleObject(thread_, skew_stop_timeout_ms);
        CloseHandle(thread_);
        let_go(c_);
        c_ = nullptr;
        thread_ = nullptr;
    }

private:
    bool start()
    {
        c_ = new_channel();
        if (!c_) return false;
        thread_ = CreateThread(nullptr, 0, respond, c_, 0, nullptr);
        if (!thread_) {
            free_channel(c_);
            c_ = nullptr;
            return false;
        }
        request_ = 0;
        return true;
    }

    // Passes the next request and waits for its answer; a thread that gives none is let go.
    bool ask()
    {
        store(&c_->ask.request, ++request_);
        if (await_turn(c_, c_->answer, request_, skew_answer_timeout_ms)) return true;
        stop();
        return false;
    }

    Channel* c_ = nullptr;
    HANDLE thread_ = nullptr;
    LONG request_ = 0;
};

// Measures the processor the answering thread was moved to, from the calling thread, which
// runs on the reference processor: rounds round trips, fewer once budget ticks of the
// performance counter have passed (0: no limit; one always counts).
skew_status measure(Answerer& answerer, int rounds, LONGLONG budget, skew_reading* reading)
{
    const ProcessorOps& cpus = platform_processors();
    const LONGLONG start = budget ? performance_counter() : 0;
    ULONGLONG best = ~0ULL;
    for (int round = 0; round < rounds; ++round) {
        // Read between round trips, the clock costs no round trip its length; it is read
        // every round, since a round trip that waits for a yield may take a millisecond.
        if (budget && round && performance_counter() - start > budget) break;
        ULONGLONG t0, t1, t2;
        if (!answerer.round_trip(cpus, &t0, &t1, &t2)) return reading->status = skew_status::silent;
        if (t2 - t0 < best) {
            best = t2 - t0;
            reading->offset = static_cast<LONGLONG>(t1 - (t0 + (t2 - t0) / 2));
            reading->uncertainty = static_cast<LONGLONG>((t2 - t0 + 1) / 2);
            // When this round was, for the drift between two passes: the pass may take long
            // (every round trip waits for a yield where the two threads share a processor),
            // and an offset that moves is the offset of its round, not of the pass's end.
            reading->at = performance_counter();
        }
    }
    return reading->status = skew_status::measured;
}

// The warp check's shared state: one check at a time per process. Static, so that a reader
// that outlives its check (its processor never ran it) writes nowhere it should not.
struct WarpReader {
    int bit;
    volatile LONG ready; // 1 bound and waiting, -1 its binding failed
};
struct WarpCheck {
    volatile LONG lock;
    volatile LONG phase; // 0 wait, 1 read, 2 stop
    ULONGLONG last;      // the last value any reader stored
    int last_bit;        // who stored it, -1 none yet
    skew_warp_result* result;
    WarpReader readers[MAX_CPUS];
};
WarpCheck warp_check;

// Where a reader that outlived its check counts.
skew_warp_result& dummy_warp_result()
{
    static skew_warp_result sink;
    return sink;
}

void warp_lock()
{
    unsigned spins = 0;
    while (__atomic_exchange_n(&warp_check.lock, 1, __ATOMIC_ACQUIRE)) {
        if (++spins < 100) YieldProcessor();
        else SwitchToThread();
    }
}

void warp_unlock() { store(&warp_check.lock, 0); }

DWORD WINAPI read_for_warps(void* parameter)
{
    WarpReader* me = static_cast<WarpReader*>(parameter);
    thread_binding binding(me->bit);
    if (!binding.bound()) {
        store(&me->ready, -1);
        return 1;
    }
    const ProcessorOps& cpus = platform_processors();
    store(&me->ready, 1);
    while (load(&warp_check.phase) == 0) SwitchToThread();
    while (load(&warp_check.phase) == 1) {
        warp_lock();
        // Read under the lock, after the load that took it: the value stored last is older
        // than this read on every processor whose counter is in step.
        const ULONGLONG now = cpus.read_tsc();
        skew_warp_result& r = *warp_check.result;
        ++r.reads;
        if (warp_check.last_bit >= 0 && now < warp_check.last) {
            const LONGLONG back = static_cast<LONGLONG>(warp_check.last - now);
            skew_warp_pair& pair = r.pairs[warp_check.last_bit][me->bit];
            ++pair.warps;
            if (back > pair.largest) pair.largest = back;
            ++r.warps;
            if (back > r.largest) {
                r.largest = back;
                r.from = warp_check.last_bit;
                r.to = me->bit;
            }
        }
        warp_check.last = now;
        warp_check.last_bit = me->bit;
        warp_unlock();
    }
    return 0;
}

} // namespace

bool skew_measure(DWORD_PTR mask, int reference, int rounds, skew_pass* pass, DWORD budget_us)
{
    *pass = skew_pass();
    pass->reference = reference;
    pass->mask = mask;
    // The calling thread is the reference side, bound and at time-critical priority for
    // the measurement only.
    thread_binding binding(reference);
    if (!binding.bound()) return false;
    priority_scope priority(0, THREAD_PRIORITY_TIME_CRITICAL);
    LARGE_INTEGER frequency;
    const LONGLONG budget =
        budget_us && QueryPerformanceFrequency(&frequency) ? frequency.QuadPart * budget_us / 1000000 + 1 : 0;
    Answerer answerer;
    pass->complete = true;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        skew_reading& r = pass->readings[bit];
        if (bit == reference) {
            r.status = skew_status::measured;
            r.at = performance_counter();
            continue;
        }
        r.status = answerer.move_to(bit);
        if (r.status == skew_status::measured) measure(answerer, rounds, budget, &r);
        if (r.status != skew_status::measured) pass->complete = false;
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
    skew_verdict v = {true, -1, 0, -1, 0, -1, 0};
    double worst_size = 0;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        const skew_reading& r = pass.readings[bit];
        if (!(pass.mask & (static_cast<DWORD_PTR>(1) << bit)) || r.status != skew_status::measured) continue;
        const double offset = skew_ns(r.offset, rate);
        const double uncertainty = skew_ns(r.uncertainty, rate);
        const double size = offset < 0 ? -offset : offset;
        if (bit != pass.reference && (v.widest < 0 || size + uncertainty > v.widest_ns)) {
            v.widest = bit;
            v.widest_ns = size + uncertainty;
        }
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

bool skew_drift_of(const skew_pass& first, const skew_pass& second, int bit, double rate, skew_drift* drift)
{
    if (bit < 0 || bit >= MAX_CPUS || rate <= 0) return false;
    const skew_reading& a = first.readings[bit];
    const skew_reading& b = second.readings[bit];
    LARGE_INTEGER frequency;
    if (a.status != skew_status::measured || b.status != skew_status::measured ||
        !QueryPerformanceFrequency(&frequency) || b.at <= a.at)
        return false;
    const double seconds = static_cast<double>(b.at - a.at) / static_cast<double>(frequency.QuadPart);
    drift->ns_per_s = skew_ns(b.offset - a.offset, rate) / seconds;
    drift->uncertainty_ns_per_s = skew_ns(a.uncertainty + b.uncertainty, rate) / seconds;
    const double size = drift->ns_per_s < 0 ? -drift->ns_per_s : drift->ns_per_s;
    drift->within_uncertainty = size <= drift->uncertainty_ns_per_s;
    return true;
}

bool skew_warp(DWORD_PTR mask, DWORD milliseconds, skew_warp_result* result)
{
    *result = skew_warp_result();
    result->from = result->to = -1;
    WarpCheck& w = warp_check;
    w.lock = 0;
    w.phase = 0;
    w.last = 0;
    w.last_bit = -1;
    w.result = result;
    HANDLE threads[MAX_CPUS];
    int count = 0;
    bool all = true;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        w.readers[bit].bit = bit;
        w.readers[bit].ready = 0;
        HANDLE thread = CreateThread(nullptr, 0, read_for_warps, &w.readers[bit], 0, nullptr);
        if (thread) threads[count++] = thread;
        else store(&w.readers[bit].ready, -2);
    }
    const DWORD start = GetTickCount();
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        while (load(&w.readers[bit].ready) == 0 && GetTickCount() - start < skew_answer_timeout_ms) Sleep(1);
        const LONG ready = load(&w.readers[bit].ready);
        result->status[bit] = ready == 1 ? skew_warp_status::measured
                              : ready == -1 ? skew_warp_status::not_bound
                                            : skew_warp_status::silent;
        if (ready != 1) all = false;
    }
    store(&w.phase, 1);
    Sleep(milliseconds);
    store(&w.phase, 2);
    if (count) WaitForMultipleObjects(static_cast<DWORD>(count), threads, TRUE, skew_stop_timeout_ms);
    for (int i = 0; i < count; ++i) CloseHandle(threads[i]);
    // A reader that has not stopped by now may still count: what it adds no one reads.
    warp_lock();
    w.result = &dummy_warp_result();
    warp_unlock();
    return all;
}
