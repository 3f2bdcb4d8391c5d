#include "sim/counters.h"
#include "sim/counter_block.h"

#include "common/handle.h"
#include "platform/tsc_read.h"

#include <cstdio>

namespace {

using Counter = sim_counter;
using Block = sim_counter_block;

Block private_block;
Block* volatile current = &private_block;
tk::unique_hfile state_file;
tk::unique_handle state_mapping;
void* state_view = nullptr;

// One writer at a time, in this process, another, or the test build of tickmend.sys: the
// generation is made odd by exchange (counter_block.h), so that a reader of a half-written
// counter reads again.
class Writing {
public:
    explicit Writing(Block* block) : block_(block) { counter_block_write_begin(block_); }
    ~Writing() { counter_block_write_end(block_); }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

private:
    Block* block_;
};

DWORD machine_hash(const SimMachine& machine)
{
    DWORD h = 2166136261u; // FNV-1a over bit, offset and rate of each processor
    auto mix = [&h](ULONGLONG v) {
        for (int i = 0; i < 8; ++i) h = (h ^ static_cast<BYTE>(v >> (8 * i))) * 16777619u;
    };
    for (const SimCpu& c : machine.cpus) {
        mix(static_cast<ULONGLONG>(c.bit));
        mix(static_cast<ULONGLONG>(c.tsc_offset));
        mix(static_cast<ULONGLONG>(static_cast<LONGLONG>(c.drift_ppm)));
    }
    return h;
}

void power_on(Block* b, const SimMachine& machine)
{
    const ULONGLONG now = platform_ordered_tsc();
    b->magic = counter_block_magic;
    b->machine = machine_hash(machine);
    b->started = now;
    b->count = static_cast<LONG>(machine.cpus.size());
    for (auto& r : b->requesters) r = {0, -1, 0};
    for (Counter& c : b->cpu) c = Counter{0, now, 0, 0};
    for (const SimCpu& cpu : machine.cpus) b->cpu[cpu.bit] = Counter{cpu.tsc_offset, now, cpu.drift_ppm, 0};
}

LONGLONG drift(const Counter& c, ULONGLONG now)
{
    if (c.held || c.ppm == 0) return 0;
    return static_cast<LONGLONG>(static_cast<double>(static_cast<LONGLONG>(now - c.since)) * c.ppm / 1e6);
}

// The counter as it stands now; the caller writes (so no other writer runs).
LONGLONG offset_now(const Counter& c, ULONGLONG now) { return c.offset + drift(c, now); }

// x86 keeps loads in order; the compiler must too.
inline void compiler_barrier() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

bool valid_bit(int bit) { return bit >= 0 && bit < 32; }

} // namespace

void counters_start_private(const SimMachine& machine)
{
    Writing writing(&private_block);
    power_on(&private_block, machine);
    current = &private_block;
}

std::string counters_default_path(const SimMachine& machine)
{
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir) dir[0] = '\0';
    char path[MAX_PATH + 40];
    std::snprintf(path, sizeof path, "%stickmend-sim-%08lX.counters", dir, machine_hash(machine));
    return path;
}

bool counters_open_shared(const SimMachine& machine, const char* path, std::string* error)
{
    tk::unique_hfile file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    char code[16];
    if (!file) {
        std::snprintf(code, sizeof code, "%lu", GetLastError());
        *error = std::string(path) + ": cannot open the counter state (error " + code + ")";
        return false;
    }
    tk::unique_handle mapping(CreateFileMappingA(file.get(), nullptr, PAGE_READWRITE, 0, sizeof(Block), nullptr));
    void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Block)) : nullptr;
    if (!view) {
        std::snprintf(code, sizeof code, "%lu", GetLastError());
        *error = std::string(path) + ": cannot map the counter state (error " + code + ")";
        return false;
    }
    Block* b = static_cast<Block*>(view);
    {
        Writing writing(b);
        // Another machine's state, none yet, or one from before the real counter was reset
        // (the host restarted): this machine is switched on now.
        if (b->magic != counter_block_magic || b->machine != machine_hash(machine) ||
            b->count != static_cast<LONG>(machine.cpus.size()) || b->started > platform_ordered_tsc())
            power_on(b, machine);
        current = b;
    }
    // The view before this one is no longer read by anyone once current has moved on.
    if (state_view) UnmapViewOfFile(state_view);
    state_view = view;
    state_mapping = std::move(mapping);
    state_file = std::move(file);
    return true;
}

ULONGLONG counters_read(int bit)
{
    Block* b = current;
    if (!valid_bit(bit)) return platform_ordered_tsc();
    for (int tries = 0;; ++tries) {
        const LONG generation = b->generation;
        compiler_barrier();
        if ((generation & 1) && tries < 1000000) {
            YieldProcessor();
            continue;
        }
        const volatile Counter& shared = b->cpu[bit];
        Counter c = {shared.offset, shared.since, shared.ppm, shared.held};
        const ULONGLONG now = platform_ordered_tsc();
        compiler_barrier();
        if (b->generation == generation || tries >= 1000000) return now + static_cast<ULONGLONG>(offset_now(c, now));
    }
}

void counters_copy(int from, int to)
{
    if (!valid_bit(from) || !valid_bit(to)) return;
    Block* b = current;
    Writing writing(b);
    const ULONGLONG now = platform_ordered_tsc();
    const LONGLONG value = offset_now(b->cpu[from], now);
    b->cpu[to].offset = value;
    b->cpu[to].since = now;
}

void counters_hold_drift(int bit, bool hold)
{
    if (!valid_bit(bit)) return;
    Block* b = current;
    Writing writing(b);
    Counter& c = b->cpu[bit];
    const ULONGLONG now = platform_ordered_tsc();
    c.offset = offset_now(c, now);
    c.since = now;
    c.held = hold ? 1 : 0;
}

void counters_shift(int bit, LONGLONG cycles)
{
    if (!valid_bit(bit)) return;
    Block* b = current;
    Writing writing(b);
    Counter& c = b->cpu[bit];
    const ULONGLONG now = platform_ordered_tsc();
    c.offset = offset_now(c, now) + cycles;
    c.since = now;
}

void counters_set_requesting(int bit)
{
    __atomic_store_n(&counter_block_requester(current, GetCurrentProcessId())->cpu, bit, __ATOMIC_RELEASE);
}
void counters_set_opening(DWORD access)
{
    __atomic_store_n(&counter_block_requester(current, GetCurrentProcessId())->opening_access, access,
                     __ATOMIC_RELEASE);
}
