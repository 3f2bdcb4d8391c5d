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
        if (await_turn(c_, c_->answer, request_, skew_answer_timeout_ms())) return true;
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
            skew_midpoint(t0, t1, t2, &reading->offset, &reading->uncertainty);
            // When this round was, for the drift between two passes: the pass may take long
            // (every round trip waits for a yield where the two threads share a processor),
            // and an offset that moves is the offset of its round, not of the pass's end.
            reading->at = performance_counter();
        }
    }
    return reading->status = skew_status::measured;
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
