// The Win32 side of the TSC driver's device: finding it by its interface class through
// SetupAPI and opening it. Only the seam's Win32 device calls this.
#pragma once
#include <windows.h>

// Finds the first device of the class through SetupAPI and opens it for reading and
// writing; INVALID_HANDLE_VALUE when any step fails. The caller closes it.
HANDLE open_driver_interface(const GUID* interface_class);
