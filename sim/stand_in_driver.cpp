// The stand-in TSC driver: its device, found only under its own class while the machine has
// it and opened only on the path found on this machine, and one handler for each control
// code it knows. Every request is logged.
#include "sim/sim.h"
#include "sim/state.h"
#include "sim/counters.h"

#include "driver/driver.h"
#include "protocol/tsc_protocol.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The device interface class the stand-in driver registers: a search for any other class
// finds nothing.
constexpr GUID driver_class = tkd::tsc_interface_class.as<GUID>();

// ---- the device ----

// The device's path names the machine loaded, so that a path found on another one opens
// nothing, as a path of a device since removed would not.
void device_path(const SimState& s, char* path, size_t size)
{
    const tkd::interface_class_id& c = tkd::tsc_interface_class;
    std::snprintf(path, size, "\\\\?\\root#tickmend_tsc#%04d#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", s.loads,
                  c.data1, c.data2, c.data3, c.data4[0], c.data4[1], c.data4[2], c.data4[3], c.data4[4], c.data4[5],
                  c.data4[6], c.data4[7]);
}

BOOL sim_find(const GUID* interface_class, char* path, DWORD path_size)
{
    SimLocked s;
    ++s->searches;
    if (s->machine.driver_absent || !interface_class ||
        std::memcmp(interface_class, &driver_class, sizeof driver_class) != 0) {
        SetLastError(ERROR_NO_MORE_ITEMS); // the class has no device
        return FALSE;
    }
    char found[MAX_PATH];
    device_path(*s, found, sizeof found);
    if (!path || std::strlen(found) >= path_size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(path, found, std::strlen(found) + 1);
    return TRUE;
}

HANDLE sim_open(const char* path)
{
    SimLocked s;
    char present[MAX_PATH];
    device_path(*s, present, sizeof present);
    if (s->machine.driver_absent || !path || std::strcmp(path, present) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
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
    SimLocked s;
    if (!s->open_devices.erase(device)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(device);
}

// ---- one request ----

DWORD get32(const BYTE* p) { return tkd::get32(p); }
using tkd::put32;

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

// A request as a handler sees it, and what the handler makes of it.
struct Request {
    SimState& s;
    void* in;
    DWORD in_size;
    void* out;
    DWORD out_size;
    bool failing;                 // the machine fails this request once it would be carried out
    DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS: delivered
    DWORD returned = 0;
    std::string line;             // the log line, as far as the handler writes it
    bool tsc_reply = false;
    LONG status = 0, retcode = 0;

    Request(SimState& state, void* in_buffer, DWORD in_bytes, void* out_buffer, DWORD out_bytes, bool fails)
        : s(state), in(in_buffer), in_size(in_bytes), out(out_buffer), out_size(out_bytes), failing(fails)
    {
    }
    // The first reason not to deliver the request is the one it fails with.
    void fail(DWORD why)
    {
        if (!error) error = why;
    }
    bool buffers_fit(DWORD in_want, DWORD out_want) const
    {
        return in && out && in_size == in_want && out_size == out_want;
    }
    // Fails the request as the machine says, if it is still to be carried out.
    void fail_if_failing()
    {
        if (failing) fail(ERROR_GEN_FAILURE);
    }
    void deliver(const BYTE* reply, DWORD size)
    {
        std::memcpy(out, reply, size);
        returned = size;
    }
};

// ---- PCI configuration dwords: bus, device, function, width, offset, a zero byte, the dword ----

// Starts a PCI request's line and checks it; false when its buffers do not even fit.
bool start_pci(Request& r, const char* name, BYTE request[10])
{
    r.line = name;
    if (!r.buffers_fit(10, 10)) {
        r.fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::memcpy(request, r.in, 10);
    const BYTE dev = request[1], fn = request[2], width = request[3], offset = request[4];
    appendf(&r.line, " bus=%u device=%u function=%u offset=0x%02X", request[0], dev, fn, offset);
    if (width != 4 || request[5] != 0 || (offset & 3) || dev > 31 || fn > 7) r.fail(ERROR_INVALID_PARAMETER);
    r.fail_if_failing();
    return true;
}

DWORD pci_key_of(const BYTE request[10]) { return pci_key(request[0], request[1], request[2], request[4]); }

void pci_read(Request& r)
{
    BYTE request[10];
    if (!start_pci(r, "PCI_READ", request)) return;
    if (!r.error) {
        auto it = r.s.machine.pci.find(pci_key_of(request));
        put32(request + 6, it == r.s.machine.pci.end() ? 0xFFFFFFFF : it->second); // no device answers
        r.deliver(request, sizeof request);
    }
    appendf(&r.line, " value=0x%08lX", get32(request + 6));
}

void pci_write(Request& r)
{
    BYTE request[10];
    if (!start_pci(r, "PCI_WRITE", request)) return;
    if (!r.error) {
        r.s.machine.pci[pci_key_of(request)] = get32(request + 6);
        r.deliver(request, sizeof request);
    }
    appendf(&r.line, " value=0x%08lX", get32(request + 6));
}

// ---- MSRs: the MSR number, then its value in two dwords, in twenty bytes ----

void msr_read(Request& r)
{
    r.line = "MSR_READ";
    if (!r.buffers_fit(20, 20)) {
        r.fail(ERROR_INVALID_PARAMETER);
        return;
    }
    BYTE request[20];
    std::memcpy(request, r.in, sizeof request);
    const DWORD msr = get32(request);
    ULONGLONG value = 0;
    auto it = r.s.machine.msrs.find(msr);
    // Reading an MSR the processor lacks faults; the driver fails the request.
    if (it == r.s.machine.msrs.end()) r.fail(ERROR_INVALID_PARAMETER);
    r.fail_if_failing();
    if (!r.error) {
        value = it->second;
        put32(request + 4, static_cast<DWORD>(value));
        put32(request + 8, static_cast<DWORD>(value >> 32));
        r.deliver(request, sizeof request);
    }
    appendf(&r.line, " msr=0x%08lX value=0x%016llX", msr, value);
}

// ---- TSC commands: the command word and an interval in, status and return code out ----

const char* tsc_name(DWORD command)
{
    const char* name = tkd::command_name(command);
    return name ? name : "TSC_UNKNOWN";
}

// Whether the request comes from exactly the processor with this node and core.
bool sent_from(const SimState& s, int node, int core)
{
    const SimCpu* cpu = s.machine.cpu_at(bound_cpu(s));
    if (!cpu) return false;
    const SimTopology t = topology_of(*cpu);
    return t.node == node && t.core == core;
}

bool node_exists(const SimState& s, int node)
{
    for (const SimCpu& c : s.machine.cpus)
        if (topology_of(c).node == node) return true;
    return false;
}

// The driver's own judgement of a decoded command: true when it would carry it out.
bool tsc_acceptable(const SimState& s, const tkd::tsc_command& c)
{
    const int node = static_cast<int>(c.node), core = static_cast<int>(c.core);
    switch (c.number) {
    case SYNC_CORE_TSC: return sent_from(s, node, core);
    case SYNC_NODE_TSC: return node_exists(s, node);
    case REGISTER_TSC_DRIFT: return sent_from(s, node, core);
    case Deregister_TSC_DRIFT: return true; // from any processor
    default: return false;
    }
}

// What an accepted TSC command does to the counters: a node brought to the counter of the
// processor the request comes from, a core to its node's first processor, a processor's
// drift held at zero or let go.
void act_on_counters(const SimState& s, const tkd::tsc_command& command)
{
    const int node = static_cast<int>(command.node), core = static_cast<int>(command.core);
    // A driver that says yes to a sync and leaves the counters where they were.
    if (s.machine.sync_does_nothing && (command.number == SYNC_NODE_TSC || command.number == SYNC_CORE_TSC)) return;
    switch (command.number) {
    case SYNC_NODE_TSC: {
        const int from = running_cpu(s);
        for (const SimCpu& c : s.machine.cpus)
            if (topology_of(c).node == node) counters_copy(from, c.bit);
        break;
    }
    case SYNC_CORE_TSC: {
        const int bit = bound_cpu(s);
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

void tsc_request(Request& r)
{
    const bool fits = r.buffers_fit(tkd::tsc_request_size, tkd::tsc_reply_size);
    tkd::tsc_command command = {};
    if (!r.in || r.in_size < 4) {
        r.line = "TSC_REQUEST";
    } else {
        const BYTE* request = static_cast<const BYTE*>(r.in);
        const DWORD word = get32(request);
        const DWORD interval = r.in_size >= tkd::tsc_request_size ? get32(request + tkd::tsc_interval_at) : 0;
        r.line = tsc_name(tkd::command_number(word));
        appendf(&r.line, " word=0x%08lX", word);
        if (tkd::command_number(word) == REGISTER_TSC_DRIFT && r.in_size >= tkd::tsc_request_size)
            appendf(&r.line, " interval=%lu", interval);
        if (fits && !r.error && !r.failing) {
            // Decoded as tickmend.sys decodes it.
            const bool taken = tkd::decode_tsc(word, interval, &command) && tsc_acceptable(r.s, command);
            r.status = taken ? r.s.machine.refuse_status : tkd::reply_refused.status;
            r.retcode = taken ? r.s.machine.refuse_retcode : tkd::reply_refused.ret_code;
        }
    }
    if (!fits) r.fail(ERROR_INVALID_PARAMETER);
    r.fail_if_failing();
    if (r.error) return;
    if (r.status == 0 && r.retcode == 0) act_on_counters(r.s, command);
    BYTE reply[tkd::tsc_reply_size];
    put32(reply, static_cast<DWORD>(r.status));
    put32(reply + 4, static_cast<DWORD>(r.retcode));
    r.deliver(reply, sizeof reply);
    r.tsc_reply = true;
}

void unknown_request(Request& r, DWORD code)
{
    r.line = "IOCTL_UNKNOWN";
    appendf(&r.line, " code=0x%08lX", code);
    r.fail(ERROR_INVALID_FUNCTION);
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

// Ends the line with what every request shows: where it came from, at what priority, its
// reply, whether it was delivered.
void finish_line(Request& r)
{
    const int cpu = bound_cpu(r.s);
    if (cpu >= 0) appendf(&r.line, " cpu=%d", cpu);
    else r.line += " cpu=-";
    char unknown[16];
    appendf(&r.line, " priority=%s", priority_name(GetPriorityClass(GetCurrentProcess()), unknown, sizeof unknown));
    if (r.tsc_reply) appendf(&r.line, " reply=%ld,%ld", r.status, r.retcode);
    if (r.error) r.line += " delivered=no";
}

BOOL sim_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* bytes_returned)
{
    SimLocked s;
    const int number = ++s->requests;
    Request r(*s, in, in_size, out, out_size, s->machine.fail_from > 0 && number >= s->machine.fail_from);

    // Checks every request shares; each handler decodes its buffers as far as they are there.
    if (!s->open_devices.count(device)) r.fail(ERROR_INVALID_HANDLE);
    else if (!bytes_returned) r.fail(ERROR_INVALID_PARAMETER); // synchronous I/O needs the count

    switch (code) {
    case IOCTL_MSR_READ: msr_read(r); break;
    case IOCTL_PCI_READ: pci_read(r); break;
    case IOCTL_PCI_WRITE: pci_write(r); break;
    case IOCTL_TSC_REQUEST: tsc_request(r); break;
    default: unknown_request(r, code); break;
    }
    finish_line(r);
    log_request(*s, r.line);

    if (r.error) {
        if (bytes_returned) *bytes_returned = 0;
        SetLastError(r.error);
        return FALSE;
    }
    *bytes_returned = r.returned;
    return TRUE;
}

} // namespace

const DeviceOps sim_device_ops = {sim_find, sim_open, sim_control, sim_close};

void sim_set_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD value)
{
    SimLocked s;
    s->machine.pci[pci_key(bus, device, function, offset)] = value;
}

bool sim_get_pci(BYTE bus, BYTE device, BYTE function, BYTE offset, DWORD* value)
{
    SimLocked s;
    auto it = s->machine.pci.find(pci_key(bus, device, function, offset));
    if (it == s->machine.pci.end()) return false;
    if (value) *value = it->second;
    return true;
}

void sim_set_msr(DWORD msr, ULONGLONG value)
{
    SimLocked s;
    s->machine.msrs[msr] = value;
}

void sim_set_driver_absent(bool absent)
{
    SimLocked s;
    s->machine.driver_absent = absent;
}

void sim_set_fail_from(int nth_request)
{
    SimLocked s;
    s->machine.fail_from = nth_request > 0 ? nth_request : 0;
}

void sim_set_refusal(LONG status, LONG retcode)
{
    SimLocked s;
    s->machine.refuse_status = status;
    s->machine.refuse_retcode = retcode;
}

int sim_open_count()
{
    SimLocked s;
    return s->searches;
}
