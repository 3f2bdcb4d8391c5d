// tickmend.sys: the TSC driver. A WDM function driver for one root-enumerated device, which
// it exposes under tickmend's device interface class; the requests are in requests.cpp,
// the meeting of processors in meet.cpp, the drift timers in drift.cpp, the hardware
// behind hw.h.
#include "kernel.h"
#include "hw.h"
#include "request_checks.h"
#include "requests.h"

const GUID tickmend_interface_class = tkd::tsc_interface_class.as<GUID>();

processor_info g_processors[max_processors];
uint64_t g_cycles_per_us = 1000;
bool g_invariant;
bool g_windows_keeps_time_by_tsc;

namespace {

struct device_extension {
    PDEVICE_OBJECT lower;
    UNICODE_STRING interface_link;
};

PDEVICE_OBJECT the_device; // one device: a second one is refused

device_extension* extension_of(PDEVICE_OBJECT device) { return static_cast<device_extension*>(device->DeviceExtension); }

// Each processor's place, asked of it while this thread runs there.
void find_processors()
{
    const KAFFINITY present = hw_processors();
    g_invariant = true;
    for (ULONG cpu = 0; cpu < max_processors; ++cpu) {
        processor_info& p = g_processors[cpu];
        p.present = (present >> cpu) & 1;
        if (!p.present) continue;
        KeSetSystemAffinityThread(static_cast<KAFFINITY>(1) << cpu);
        uint32_t r[4];
        hw_cpuid(cpu, 1, r);
        const tkd::processor_place place = tkd::place_of_cpuid(r[0], r[1], r[3]);
        p.node = place.node;
        p.core = place.core;
        uint32_t e[4];
        hw_cpuid(cpu, 0x80000000, e);
        uint32_t power[4] = {0, 0, 0, 0};
        if (e[0] >= 0x80000007 && e[0] <= 0x8000FFFF) hw_cpuid(cpu, 0x80000007, power);
        if (!(power[3] & 0x100)) g_invariant = false;
        KeRevertToUserAffinityThread();
    }
}

// The counter's rate against the performance counter over about a millisecond, and
// whether Windows keeps its performance counter by the TSC (the same rate, or the rate
// divided by 1024).
void measure_rate()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER q0 = KeQueryPerformanceCounter(&frequency);
    const uint64_t c0 = hw_cycles();
    LARGE_INTEGER q1 = q0;
    for (ULONG i = 0; i < 100000000 && q1.QuadPart - q0.QuadPart < frequency.QuadPart / 1000; ++i)
        q1 = KeQueryPerformanceCounter(nullptr);
    const uint64_t cycles = hw_cycles() - c0;
    const uint64_t ticks = static_cast<uint64_t>(q1.QuadPart - q0.QuadPart);
    if (frequency.QuadPart <= 0 || ticks == 0) return;
    const uint64_t hz = cycles * static_cast<uint64_t>(frequency.QuadPart) / ticks;
    if (hz >= 1000000) g_cycles_per_us = hz / 1000000;
    auto near = [hz](uint64_t f) { return f > hz / 100 * 99 && f < hz / 100 * 101; };
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    g_windows_keeps_time_by_tsc = near(f) || near(f * 1024);
}

NTSTATUS complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS pass_down(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension_of(device)->lower, irp);
}

NTSTATUS NTAPI lower_done(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The device below first, then us (a start).
NTSTATUS pass_down_and_wait(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, lower_done, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension_of(device)->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp)
{
    device_extension* ext = extension_of(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = pass_down_and_wait(device, irp);
        if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&ext->interface_link, TRUE);
        return complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&ext->interface_link, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&ext->interface_link, FALSE);
        drift_stop();
        irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = pass_down(device, irp);
        IoDetachDevice(ext->lower);
        RtlFreeUnicodeString(&ext->interface_link);
        IoDeleteDevice(device);
        the_device = nullptr;
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return pass_down(device, irp);
    default:
        return pass_down(device, irp);
    }
}

NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension_of(device)->lower, irp);
}

NTSTATUS NTAPI dispatch_pass(PDEVICE_OBJECT device, PIRP irp) { return pass_down(device, irp); }
NTSTATUS NTAPI dispatch_open_close(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); }

// The device itself opens; no name below it does.
NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return complete(irp, file && file->FileName.Length ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS);
}
NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT, PIRP irp) { return device_control(irp); }

NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (the_device) return STATUS_DEVICE_ALREADY_ATTACHED;
    PDEVICE_OBJECT device = nullptr;
    // Unnamed, opened only through its interface; the INF gives it its DACL.
    NTSTATUS status = IoCreateDevice(driver, sizeof(device_extension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device_extension* ext = extension_of(device);
    RtlZeroMemory(ext, sizeof *ext);
    status = IoRegisterDeviceInterface(pdo, &tickmend_interface_class, nullptr, &ext->interface_link);
    if (NT_SUCCESS(status)) status = drift_start(device);
    if (NT_SUCCESS(status)) {
        ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
        if (!ext->lower) status = STATUS_NO_SUCH_DEVICE;
    }
    if (!NT_SUCCESS(status)) {
        drift_stop();
        RtlFreeUnicodeString(&ext->interface_link);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    the_device = device;
    return STATUS_SUCCESS;
}

VOID NTAPI unload(PDRIVER_OBJECT)
{
    drift_stop();
    meet_stop();
    hw_stop();
}

} // namespace

ULONG first_of_node(unsigned node)
{
    for (ULONG cpu = 0; cpu < max_processors; ++cpu)
        if (g_processors[cpu].present && (g_processors[cpu].node & 7) == node) return cpu;
    return max_processors;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    if (!hw_start(registry_path)) {
        hw_stop();
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    find_processors();
    measure_rate();
    meet_start();
    requests_start();
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
