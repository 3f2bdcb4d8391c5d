#include "sim/sim.h"
#include "sim/machine.h"
#include "sim/counters.h"

#include "driver/driver.h"
#include "platform/seam.h"
#include "common/handle.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>

namespace {

// The device interface class the stand-in driver registers: a search for any other class
// finds nothing.
constexpr GUID driver_class = {0x36FC3AB9, 0x5ABB, 0x42BA, {0xAB, 0xF6, 0x53, 0xD3, 0x2F, 0x1C, 0x54, 0x5A}};

// Reply of a TSC request the driver refuses on its own account (a request from the wrong
// processor, a malformed word, an unknown command, a node without processors).
constexpr LONG STATUS_REFUSED = static_cast<LONG>(0xC000000D); // STATUS_INVALID_PARAMETER
constexpr LONG RETCODE_REFUSED = 1;

struct State {
    CRITICAL_SECTION lock;
    SimMachine machine;
    volatile DWORD_PTR process_mask = 0; // read without the lock by read_tsc
    // A thread bound alone keeps (epoch << 6 | bit + 1) in its slot; the epoch moves on at
    // every load and process binding, which (as on Windows) undo every thread binding.
    DWORD thread_slot = TlsAlloc();
    volatile LONG binding_epoch = 0;
    int requests = 0; // control requests since the load
    int opens = 0;    // device opens since the load
    std::deque<std::string> log; // a deque keeps each line where it is while others are added
    std::set<HANDLE> open_devices;
    HANDLE log_file_mutex = nullptr; // shared with other processes appending to the log file

    State() { InitializeCriticalSection(&lock); }
};

// Made on first use and never destroyed: the static initializer of tickmend-sim.exe loads
// the machine before this file's own statics might be constructed, and requests may still
// come while the process ends.
State& state()
{
    static State* s = new State();
    return *s;
}

class Locked {
public:
    Locked() : s_(state()) { EnterCriticalSection(&s_.lock); }
    ~Locked() { LeaveCriticalSection(&s_.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    State& operator*() const { return s_; }
    State* operator->() const { return &s_; }

private:
    State& s_;
};

int single_bit(DWORD_PTR mask)
{
    if (mask == 0 || (mask & (mask - 1)) != 0) return -1;
    int bit = 0;
    while (!(mask & (static_cast<DWORD_PTR>(1) << bit))) ++bit;
    return bit;
}

int lowest_bit(DWORD_PTR mask)
{
    for (int bit = 0; bit < 32; ++bit)
        if (mask & (static_cast<DWORD_PTR>(1) << bit)) return bit;
    return -1;
}

constexpr DWORD_PTR epoch_mask = 0x3FFFFFF;

// The processor the calling thread alone is bound to; -1 when it follows the process mask.
int thread_cpu(const State& s)
{
    const DWORD_PTR v = reinterpret_cast<DWORD_PTR>(TlsGetValue(s.thread_slot));
    if (!v || (v >> 6) != (static_cast<DWORD_PTR>(s.binding_epoch) & epoch_mask)) return -1;
    return static_cast<int>(v & 63) - 1;
}

// The processor a request comes from: the thread's binding, else the process's; -1 if none.
int bound_cpu(const State& s)
{
    const int bit = thread_cpu(s);
    return bit >= 0 ? bit : single_bit(s.process_mask);
}

// The processor the calling thread runs on: where it is bound, else the lowest of the mask.
int running_cpu(const State& s)
{
    const int bit = bound_cpu(s);
    return bit >= 0 ? bit : lowest_bit(s.process_mask);
}

void reset_run_state(State& s)
{
    InterlockedIncrement(&s.binding_epoch);
    s.process_mask = s.machine.system_mask();
    s.requests = 0;
    s.opens = 0;
    s.log.clear();
}

// ---- processors ----

DWORD sim_processor_count()
{
    Locked s;
    return s->machine.reported_count();
}

BOOL sim_get_affinity(DWORD_PTR* process_mask, DWORD_PTR* system_mask)
{
    Locked s;
    if (!process_mask || !system_mask) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (s->machine.affinity_query_fails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *process_mask = s->process_mask;
    *system_mask = s->machine.system_mask();
    return TRUE;
}

BOOL sim_set_affinity(DWORD_PTR mask)
{
    Locked s;
    const DWORD_PTR system = s->machine.system_mask();
    const int bit = single_bit(mask);
    if (mask == 0 || (mask & ~system) != 0 ||
        (bit >= 0 && (s->machine.bind_fails & (static_cast<DWORD_PTR>(1) << bit)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s->process_mask = mask;
    InterlockedIncrement(&s->binding_epoch);
    return TRUE;
}

// The real TSC plus the offset and drift of the processor the thread runs on. No lock: two
// threads that measure one another must not wait for each other here.
ULONGLONG sim_read_tsc()
{
    const State& s = state();
    return counters_read(running_cpu(s));
}

// Binds the calling thread within the process mask; a mask of several bits lets it follow
// the process mask again. The previous mask, 0 on failure.
DWORD_PTR sim_bind_thread(DWORD_PTR mask)
{
    Locked s;
    const int bit = single_bit(mask);
    if (mask == 0 || (mask & ~s->process_mask) != 0 ||
        (bit >= 0 && (s->machine.bind_fails & (static_cast<DWORD_PTR>(1) << bit)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int previous = thread_cpu(*s);
    const DWORD_PTR value = bit < 0 ? 0 : (static_cast<DWORD_PTR>(s->binding_epoch) & epoch_mask) << 6 | (bit + 1);
    TlsSetValue(s->thread_slot, reinterpret_cast<void*>(value));
    return previous >= 0 ? static_cast<DWORD_PTR>(1) << previous : s->process_mask;
}

void vendor(DWORD regs[4])
{
    // "AuthenticAMD" in EBX, EDX, ECX.
    std::memcpy(&regs[1], "Auth", 4);
    std::memcpy(&regs[3], "enti", 4);
    std::memcpy(&regs[2], "cAMD", 4);
}

void sim_cpuid(DWORD leaf, DWORD regs[4])
{
    Locked s;
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    const SimCpu* cpu = s->machine.cpu_at(running_cpu(*s));
    if (!cpu) return;
    switch (leaf) {
    case 0:
        regs[0] = 1;
        vendor(regs);
        break;
    case 1: {
        // Base family 0xF with the rest in the extended family from family 16 on; model and
        // stepping bits are filled so that only the family fields count.
        DWORD base = cpu->family < 15 ? static_cast<DWORD>(cpu->family) : 0xF;
        DWORD extended = cpu->family < 15 ? 0 : static_cast<DWORD>(cpu->family - 15);
        if (cpu->base_family >= 0) {
            base = static_cast<DWORD>(cpu->base_family);
            extended = static_cast<DWORD>(cpu->ext_family);
        }
        regs[0] = extended << 20 | 0x4u << 16 | base << 8 | 0x1u << 4 | 0x2u;
        regs[1] = static_cast<DWORD>(cpu->apic) << 24 | (cpu->htt ? 0x02u << 16 : 0) | 0x08u << 8;
        regs[2] = 0x00000001;
        regs[3] = cpu->htt ? 0x178BFBFF : 0x078BFBFF; // bit 28 is HTT
        break;
    }
    case 0x80000000:
        regs[0] = 0x80000008;
        vendor(regs);
        break;
    case 0x80000007:
        regs[3] = s->machine.cpuid_80000007_edx;
        break;
    default:
        break;
    }
}

// ---- the stand-in TSC driver ----

HANDLE sim_open(const GUID* interface_class)
{
    Locked s;
    ++s->opens;
    if (s->machine.driver_absent || !interface_class ||
        std::memcmp(interface_class, &driver_class, sizeof driver_class) != 0) {
        SetLastError(ERROR_NO_MORE_ITEMS); // the class has no device
        return INVALID_HANDLE_VALUE;
    }
    // A real handle, so that leaks and double closes show as they would.
    HANDLE device = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!device) return INVALID_HANDLE_VALUE;
    s->open_devices.insert(device);
    return device;
}

BOOL sim_close(HANDLE device)
{
    Locked s;
    if (!s->open_devices.erase(device)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(device);
}

DWORD get32(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void put32(BYTE* p, DWORD v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

void appendf(std::string* line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string* line, const char* format, ...)
{
    char buffer[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    *line += buffer;
}

const char* priority_name(DWORD priority_class, char* buffer, size_t size)
{
    switch (priority_class) {
    case IDLE_PRIORITY_CLASS: return "idle";
    case BELOW_NORMAL_PRIORITY_CLASS: return "below_normal";
    case NORMAL_PRIORITY_CLASS: return "normal";
    case ABOVE_NORMAL_PRIORITY_CLASS: return "above_normal";
    case HIGH_PRIORITY_CLASS: return "high";
    case REALTIME_PRIORITY_CLASS: return "realtime";
    default: std::snprintf(buffer, size, "0x%lX", priority_class); return buffer;
    }
}

// Appends one line to the file TICKMEND_SIM_LOG names now, opened and closed for this line
// alone, so that other processes writing and reading the same file see whole lines. Wine's
// appends are not atomic between processes (two of them can land at the same end), so the
// writers of every process take one named mutex around the append.
void append_to_log_file(State& s, const std::string& line)
{
    char path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    if (!s.log_file_mutex) s.log_file_mutex = CreateMutexA(nullptr, FALSE, "tickmend-sim-log-append");
    const bool locked = s.log_file_mutex && WaitForSingleObject(s.log_file_mutex, 10000) != WAIT_TIMEOUT;
    struct Unlock {
        HANDLE mutex;
        bool locked;
        ~Unlock() {
            if (locked) ReleaseMutex(mutex);
        }
    } unlock{s.log_file_mutex, locked};
    tk::unique_hfile file(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

const char* tsc_name(DWORD command)
{
    switch (command) {
    case SYNC_CORE_TSC: return "SYNC_CORE_TSC";
    case REGISTER_TSC_DRIFT: return "REGISTER_TSC_DRIFT";
    case Deregister_TSC_DRIFT: return "Deregister_TSC_DRIFT";
    case SYNC_NODE_TSC: return "SYNC_NODE_TSC";
    default: return "TSC_UNKNOWN";
    }
}

// Whether the request comes from exactly the processor with this node and core.
bool sent_from(const State& s, int node, int core)
{
    const SimCpu* cpu = s.machine.cpu_at(bound_cpu(s));
    if (!cpu) return false;
    const SimTopology t = topology_of(*cpu);
    return t.node == node && t.core == core;
}

bool node_exists(const State& s, int node)
{
    for (const SimCpu& c : s.machine.cpus)
        if (topology_of(c).node == node) return true;
    return false;
}

// The driver's own judgement of a command word: true when it would carry it out.
bool tsc_acceptable(const State& s, DWORD word)
{
    switch (word & 0x00FFFFFF) {
    case SYNC_CORE_TSC: // node bits 24..26, core bits 28..30; bits 27 and 31 are 0
        if (word & 0x88000000) return false;
        return sent_from(s, static_cast<int>((word >> 24) & 7), static_cast<int>((word >> 28) & 7));
    case SYNC_NODE_TSC: // destination node bits 28..30; nothing else
        if (word & 0x8F000000) return false;
        return node_exists(s, static_cast<int>((word >> 28) & 7));
    case REGISTER_TSC_DRIFT: // core bits 24..28, node bits 29..31
        return sent_from(s, static_cast<int>((word >> 29) & 7), static_cast<int>((word >> 24) & 0x1F));
    case Deregister_TSC_DRIFT: // the same layout, from any processor
        return true;
    default:
        return false;
    }
}

// What an accepted TSC command does to the counters: a node brought to the counter of the
// processor the request comes from, a core to its node's first processor, a processor's
// drift held at zero or let go.
void act_on_counters(const State& s, DWORD word)
{
    switch (word & 0x00FFFFFF) {
    case SYNC_NODE_TSC: {
        const int from = running_cpu(s), node = static_cast<int>((word >> 28) & 7);
        for (const SimCpu& c : s.machine.cpus)
            if (topology_of(c).node == node) counters_copy(from, c.bit);
        break;
    }
    case SYNC_CORE_TSC: {
        const int bit = bound_cpu(s), node = static_cast<int>((word >> 24) & 7);
        int first = -1;
        for (const SimCpu& c : s.machine.cpus)
            if (topology_of(c).node == node && (first < 0 || c.bit < first)) first = c.bit;
        counters_copy(first, bit);
        break;
    }
    case REGISTER_TSC_DRIFT:
        counters_hold_drift(bound_cpu(s), true);
        break;
    case Deregister_TSC_DRIFT: {
        const int node = static_cast<int>((word >> 29) & 7), core = static_cast<int>((word >> 24) & 0x1F);
        for (const SimCpu& c : s.machine.cpus) {
            const SimTopology t = topology_of(c);
            if (t.node == node && t.core == core) counters_hold_drift(c.bit, false);
        }
        break;
    }
    default:
        break;
    }
}

bool buffers_fit(const void* in, DWORD in_size, const void* out, DWORD out_size, DWORD in_want, DWORD out_want)
{
    return in && out && in_size == in_want && out_size == out_want;
}

BOOL sim_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* bytes_returned)
{
    Locked s;
    const int number = ++s->requests;
    const bool failing = s->machine.fail_from > 0 && number >= s->machine.fail_from;

    std::string line;
    DWORD error = ERROR_SUCCESS; // ERROR_SUCCESS: delivered
    DWORD returned = 0;
    bool tsc_reply = false;
    LONG status = 0, retcode = 0;

    // Checks every request shares; the buffers are decoded below as far as they are there.
    if (!s->open_devices.count(device)) error = ERROR_INVALID_HANDLE;
    else if (!bytes_returned) error = ERROR_INVALID_PARAMETER; // synchronous I/O needs the count

    switch (code) {
    case IOCTL_PCI_READ:
    case IOCTL_PCI_WRITE: {
        line = code == IOCTL_PCI_READ ? "PCI_READ" : "PCI_WRITE";
        if (!buffers_fit(in, in_size, out, out_size, 10, 10)) {
            if (!error) error = ERROR_INVALID_PARAMETER;
            break;
        }
        BYTE request[10];
        std::memcpy(request, in, sizeof request);
        DWORD value = get32(request + 6);
        const BYTE bus = request[0], dev = request[1], fn = request[2], width = request[3], offset = request[4];
        appendf(&line, " bus=%u device=%u function=%u offset=0x%02X", bus, dev, fn, offset);
        if (!error && (width != 4 || request[5] != 0 || (offset & 3) || dev > 31 || fn > 7))
            error = ERROR_INVALID_PARAMETER;
        if (!error && failing) error = ERROR_GEN_FAILURE;
        if (!error) {
            const DWORD key = pci_key(bus, dev, fn, offset);
            if (code == IOCTL_PCI_READ) {
                auto it = s->machine.pci.find(key);
                value = it == s->machine.pci.end() ? 0xFFFFFFFF : it->second; // no device answers
                put32(request + 6, value);
            } else {
                s->machine.pci[key] = value;
            }
            std::memcpy(out, request, sizeof request);
            returned = sizeof request;
        }
        appendf(&line, " value=0x%08lX", value);
        break;
    }
    case IOCTL_MSR_READ: {
        line = "MSR_READ";
        if (!buffers_fit(in, in_size, out, out_size, 20, 20)) {
            if (!error) error = ERROR_INVALID_PARAMETER;
            break;
        }
        BYTE request[20];
        std::memcpy(request, in, sizeof request);
        const DWORD msr = get32(request);
        ULONGLONG value = 0;
        auto it = s->machine.msrs.find(msr);
        // Reading an MSR the processor lacks faults; the driver fails the request.
        if (!error && it == s->machine.msrs.end()) error = ERROR_INVALID_PARAMETER;
        if (!error && failing) error = ERROR_GEN_FAILURE;
        if (!error) {
            value = it->second;
            put32(request + 4, static_cast<DWORD>(value));
            put32(request + 8, static_cast<DWORD>(value >> 32));
            std::memcpy(out, request, sizeof request);
            returned = sizeof request;
        }
        appendf(&line, " msr=0x%08lX value=0x%016llX", msr, value);
        break;
    }
    case IOCTL_TSC_REQUEST: {
        const bool fits = buffers_fit(in, in_size, out, out_size, 8, 8);
        if (!in || in_size < 4) {
            line = "TSC_REQUEST";
        } else {
            const BYTE* request = static_cast<const BYTE*>(in);
            const DWORD word = get32(request);
            line = tsc_name(word & 0x00FFFFFF);
            appendf(&line, " word=0x%08lX", word);
            if ((word & 0x00FFFFFF) == REGISTER_TSC_DRIFT && in_size >= 8)
                appendf(&line, " interval=%lu", get32(request + 4));
            if (fits && !error && !failing) {
                if (!tsc_acceptable(*s, word)) {
                    status = STATUS_REFUSED;
                    retcode = RETCODE_REFUSED;
                } else {
                    status = s->machine.refuse_status;
                    retcode = s->machine.refuse_retcode;
                }
            }
        }
        if (!error && !fits) error = ERROR_INVALID_PARAMETER;
        if (!error && failing) error = ERROR_GEN_FAILURE;
        if (!error) {
            if (status == 0 && retcode == 0) act_on_counters(*s, get32(static_cast<const BYTE*>(in)));
            BYTE* reply = static_cast<BYTE*>(out);
            put32(reply, static_cast<DWORD>(status));
            put32(reply + 4, static_cast<DWORD>(retcode));
            returned = 8;
            tsc_reply = true;
        }
        break;
    }
    default:
        line = "IOCTL_UNKNOWN";
        appendf(&line, " code=0x%08lX", code);
        if (!error) error = ERROR_INVALID_FUNCTION;
        break;
    }

    const int cpu = bound_cpu(*s);
    if (cpu >= 0) appendf(&line, " cpu=%d", cpu);
    else line += " cpu=-";
    char unknown[16];
    appendf(&line, " priority=%s",
            priority_name(GetPriorityClass(GetCurrentProcess()), unknown, sizeof unknown));
    if (tsc_reply) appendf(&line, " reply=%ld,%ld", status, retcode);
    if (error) line += " delivered=no";

    s->log.push_back(line);
    append_to_log_file(*s, line);

    if (error) {
        if (bytes_returned) *bytes_returned = 0;
        SetLastError(error);
        return FALSE;
    }
    *bytes_returned = returned;
    return TRUE;
}

const ProcessorOps sim_processors = {sim_processor_count, sim_get_affinity, sim_set_affinity, sim_cpuid,
                                     sim_read_tsc, sim_bind_thread};
const DeviceOps sim_device = {sim_open, sim_control, sim_close};

bool read_whole_file(const char* path, std::string* text)
{
    tk::unique_hfile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[4096];
    DWORD got = 0;
    text->clear();
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
    return true;
}

void copy_error(const std::string& message, char* error, size_t error_size)
{
    if (!error || error_size == 0) return;
    std::snprintf(error, error_size, "%s", message.c_str());
}

// Parses a preset or a description file into *machine; false with the error copied out.
bool read_machine(const char* preset_or_path, SimMachine* machine_out, char* error, size_t error_size)
{
    SimMachine& machine = *machine_out;
    std::string message;
    if (!preset_or_path || !*preset_or_path) {
        copy_error("no machine named", error, error_size);
        return false;
    }
    if (const char* text = sim_preset_text(preset_or_path)) {
        if (!parse_machine(text, std::string("preset ") + preset_or_path, &machine, &message)) {
            copy_error(message, error, error_size);
            return false;
        }
    } else {
        std::string contents;
        if (!read_whole_file(preset_or_path, &contents)) {
            copy_error(std::string(preset_or_path) + ": cannot read this machine description (nor is it a preset: " +
                           sim_preset_names() + ")",
                       error, error_size);
            return false;
        }
        if (!parse_machine(contents, preset_or_path, &machine, &message)) {
            copy_error(message, error, error_size);
            return false;
        }
    }
    return true;
}

void take_machine(SimMachine* machine, char* error, size_t error_size)
{
    Locked s;
    s->machine = std::move(*machine);
    reset_run_state(*s);
    if (error && error_size) error[0] = '\0';
}

} // namespace

bool sim_load_machine(const char* preset_or_path, char* error, size_t error_size)
{
    SimMachine machine;
    if (!read_machine(preset_or_path, &machine, error, error_size)) return false;
    counters_start_private(machine);
    take_machine(&machine, error, error_size);
    return true;
}

bool sim_load_shared_machine(const char* preset_or_path, char* error, size_t error_size)
{
    SimMachine machine;
    if (!read_machine(preset_or_path, &machine, error, error_size)) return false;
    char path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_STATE", path, sizeof path);
    const std::string state_path = n > 0 && n < sizeof path ? std::string(path) : counters_default_path(machine);
    std::string message;
    if (!counters_open_shared(machine, state_path.c_str(), &message)) {
        copy_error(message, error, error_size);
        return false;
    }
    take_machine(&machine, error, error_size);
    return true;
}

void sim_install() { platform_install(&sim_processors, &sim_device); }

bool sim_install_shared_from_environment(char* error, size_t error_size)
{
    char name[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_MACHINE", name, sizeof name);
    if (n == 0 || n >= sizeof name) std::snprintf(name, sizeof name, "%s", "two-node");
    if (!sim_load_shared_machine(name, error, error_size)) return false;
    sim_install();
    return true;
}

void sim_install_from_environment()
{
    char error[512];
    if (!sim_install_shared_from_environment(error, sizeof error)) {
        std::fprintf(stderr, "simulated machine: %s\n", error);
        std::fflush(stderr);
        ExitProcess(3);
    }
}

int sim_bound_cpu()
{
    Locked s;
    return single_bit(s->process_mask);
}

DWORD_PTR sim_process_mask()
{
    Locked s;
    return s->process_mask;
}

void sim_set_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD value)
{
    Locked s;
    s->machine.pci[pci_key(bus, device, function, offset)] = value;
}

bool sim_get_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD* value)
{
    Locked s;
    auto it = s->machine.pci.find(pci_key(bus, device, function, offset));
    if (it == s->machine.pci.end()) return false;
    if (value) *value = it->second;
    return true;
}

void sim_set_msr(DWORD msr, ULONGLONG value)
{
    Locked s;
    s->machine.msrs[msr] = value;
}

void sim_set_driver_absent(bool absent)
{
    Locked s;
    s->machine.driver_absent = absent;
}

void sim_set_fail_from(int nth_request)
{
    Locked s;
    s->machine.fail_from = nth_request > 0 ? nth_request : 0;
}

void sim_set_refusal(LONG status, LONG retcode)
{
    Locked s;
    s->machine.refuse_status = status;
    s->machine.refuse_retcode = retcode;
}

void sim_set_cpuid_80000007_edx(DWORD edx)
{
    Locked s;
    s->machine.cpuid_80000007_edx = edx;
}

void sim_set_affinity_query_fails(bool fails)
{
    Locked s;
    s->machine.affinity_query_fails = fails;
}

size_t sim_log_size()
{
    Locked s;
    return s->log.size();
}

const char* sim_log_line(size_t i)
{
    Locked s;
    return i < s->log.size() ? s->log[i].c_str() : nullptr;
}

void sim_log_clear()
{
    Locked s;
    s->log.clear();
}

int sim_open_count()
{
    Locked s;
    return s->opens;
}
