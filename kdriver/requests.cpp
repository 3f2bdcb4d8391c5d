// The device control requests: each checked whole before anything is touched, then carried
// out. A request refused here completes with its status and no bytes, so the caller's
// buffer comes back as it went.
#include "requests.h"
#include "kernel.h"
#include "hw.h"
#include "request_checks.h"

namespace {

KEVENT nb_lock; // read, change the bit, write: one at a time

using reply = tkd::tsc_reply;

reply refused() { return tkd::reply_refused; }

reply reply_of(const tkd::sync_result& r)
{
    switch (r.ret_code) {
    case tkd::ret_done: return tkd::reply_done;
    case tkd::ret_invariant_in_step: return tkd::reply_invariant_in_step;
    case tkd::ret_not_arrived: return tkd::reply_not_arrived;
    default: return tkd::reply_out_of_tolerance;
    }
}

bool is(ULONG cpu, unsigned node, unsigned core, unsigned core_mask)
{
    return cpu < max_processors && g_processors[cpu].present && (g_processors[cpu].node & 7) == node &&
           (g_processors[cpu].core & core_mask) == core;
}

// SYNC_NODE_TSC: every processor of the node into step with the one the request comes from.
reply sync_node(ULONG from, unsigned node)
{
    if (first_of_node(node) >= max_processors) return refused();
    if (g_windows_keeps_time_by_tsc) return tkd::reply_windows_keeps_time;
    bool all_left = true;
    for (ULONG cpu = 0; cpu < max_processors; ++cpu) {
        if (cpu == from || !g_processors[cpu].present || (g_processors[cpu].node & 7) != node) continue;
        const tkd::sync_result r = meet_and_sync(from, cpu, sync_plan_for(g_invariant));
        if (r.ret_code == tkd::ret_invariant_in_step) continue;
        all_left = false;
        if (r.ret_code != tkd::ret_done) return reply_of(r);
    }
    // Nothing to do for a node of one processor, the sender's own.
    return all_left && g_invariant ? tkd::reply_invariant_in_step : tkd::reply_done;
}

reply tsc_command(const tkd::tsc_command& c, ULONG from)
{
    // A withdrawal names its processor and may come from any; the others act for the
    // processor they come from.
    if (c.number != tkd::Deregister_TSC_DRIFT && (from >= max_processors || !g_processors[from].present))
        return refused();
    switch (c.number) {
    case tkd::SYNC_NODE_TSC: return sync_node(from, c.node);
    case tkd::SYNC_CORE_TSC: {
        if (!is(from, c.node, c.core, 7)) return refused();
        if (g_windows_keeps_time_by_tsc) return tkd::reply_windows_keeps_time;
        const ULONG reference = first_of_node(c.node);
        if (reference == from)
            return g_invariant ? tkd::reply_invariant_in_step : tkd::reply_done;
        return reply_of(meet_and_sync(reference, from, sync_plan_for(g_invariant)));
    }
    case tkd::REGISTER_TSC_DRIFT: {
        if (!is(from, c.node, c.core, 0x1F)) return refused();
        if (c.interval_ms && g_windows_keeps_time_by_tsc) return tkd::reply_windows_keeps_time;
        // The node's reference has nothing to be compensated against: registered, never run.
        const ULONG reference = first_of_node(c.node);
        drift_register(from, reference, reference == from ? 0 : c.interval_ms);
        return tkd::reply_done;
    }
    case tkd::Deregister_TSC_DRIFT: {
        bool any = false;
        for (ULONG cpu = 0; cpu < max_processors; ++cpu)
            if (is(cpu, c.node, c.core, 0x1F)) {
                drift_deregister(cpu);
                any = true;
            }
        return any ? tkd::reply_done : refused();
    }
    default: return refused();
    }
}

NTSTATUS tsc_request(uint8_t* buffer)
{
    tkd::tsc_command c;
    const uint32_t word = tkd::get32(buffer), interval = tkd::get32(buffer + tkd::tsc_interval_at);
    const reply r = tkd::decode_tsc(word, interval, &c)
                        ? tsc_command(c, hw_requesting_processor(current_processor()))
                        : refused();
    tkd::put32(buffer, static_cast<uint32_t>(r.status));
    tkd::put32(buffer + 4, static_cast<uint32_t>(r.ret_code));
    return STATUS_SUCCESS;
}

NTSTATUS nb_request(uint32_t code, uint8_t* buffer)
{
    const int32_t checked = tkd::check_pci(buffer);
    if (checked != tkd::status_success) return checked;
    KeWaitForSingleObject(&nb_lock, Executive, KernelMode, FALSE, nullptr);
    // Only AMD's function at that address is the northbridge: anything else is left untouched.
    uint32_t id = 0, current = 0, wanted = 0;
    const bool id_read = hw_read_nb_id(&id);
    NTSTATUS status = tkd::check_nb_vendor(id_read, id);
    if (status == STATUS_SUCCESS) {
        if (!hw_read_nb(&current)) {
            status = STATUS_DEVICE_NOT_READY;
        } else if (code == tkd::IOCTL_PCI_READ) {
            tkd::put32(buffer + tkd::pci_value_at, current);
        } else if (!tkd::pci_write_value(current, tkd::get32(buffer + tkd::pci_value_at), &wanted)) {
            status = tkd::status_access_denied;
        } else if (wanted != current && !hw_write_nb(wanted)) {
            status = STATUS_DEVICE_NOT_READY;
        }
    }
    KeSetEvent(&nb_lock, IO_NO_INCREMENT, FALSE);
    return status;
}

NTSTATUS msr_request(uint8_t* buffer)
{
    const int32_t checked = tkd::check_msr(buffer);
    if (checked != tkd::status_success) return checked;
    // A processor without that MSR faults on its read: ask CPUID first.
    uint32_t leaf0[4], leaf1[4];
    const ULONG cpu = current_processor();
    hw_cpuid(cpu, 0, leaf0);
    hw_cpuid(cpu, 1, leaf1);
    const int32_t present = tkd::check_fid_msr_present(leaf0, leaf1[0]);
    if (present != tkd::status_success) return present;
    uint64_t value = 0;
    if (!hw_read_fid_msr(&value)) return STATUS_DEVICE_NOT_READY;
    tkd::put32(buffer + tkd::msr_low_at, static_cast<uint32_t>(value));
    tkd::put32(buffer + tkd::msr_high_at, static_cast<uint32_t>(value >> 32));
    return STATUS_SUCCESS;
}

} // namespace

void requests_start() { KeInitializeEvent(&nb_lock, SynchronizationEvent, TRUE); }

NTSTATUS device_control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = tkd::check_sizes(code, in_size, out_size);
    if (status == STATUS_SUCCESS && !buffer) status = STATUS_INVALID_PARAMETER;
    if (status == STATUS_SUCCESS) {
        switch (code) {
        case tkd::IOCTL_TSC_REQUEST: status = tsc_request(buffer); break;
        case tkd::IOCTL_MSR_READ: status = msr_request(buffer); break;
        default: status = nb_request(code, buffer); break;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? out_size : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
