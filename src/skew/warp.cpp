#include "skew/warp.h"
#include "platform/binding.h"
#include "platform/seam.h"

namespace {

LONG load(const volatile LONG* v) { return __atomic_load_n(v, __ATOMIC_ACQUIRE); }
void store(volatile LONG* v, LONG value) { __atomic_store_n(v, value, __ATOMIC_RELEASE); }

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
        skew_warp_count(warp_check.result, &warp_check.last, &warp_check.last_bit, me->bit, cpus.read_tsc());
        warp_unlock();
    }
    return 0;
}

} // namespace

void skew_warp_count(skew_warp_result* result, ULONGLONG* last, int* last_bit, int bit, ULONGLONG now)
{
    skew_warp_result& r = *result;
    ++r.reads;
    if (*last_bit >= 0 && now < *last) {
        const LONGLONG back = static_cast<LONGLONG>(*last - now);
        skew_warp_pair& pair = r.pairs[*last_bit][bit];
        ++pair.warps;
        if (back > pair.largest) pair.largest = back;
        ++r.warps;
        if (back > r.largest) {
            r.largest = back;
            r.from = *last_bit;
            r.to = bit;
        }
    }
    *last = now;
    *last_bit = bit;
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
        while (load(&w.readers[bit].ready) == 0 && GetTickCount() - start < skew_answer_timeout_ms()) Sleep(1);
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
