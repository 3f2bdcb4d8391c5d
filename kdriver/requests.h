// The device control requests of tickmend.sys.
#pragma once
#include <ntddk.h>

// Prepares what the requests share.
void requests_start();
// Carries out (or refuses) one IRP_MJ_DEVICE_CONTROL and completes it.
NTSTATUS device_control(PIRP irp);
