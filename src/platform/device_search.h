// The Win32 side of the TSC driver's device search: finding it by its interface class
// through SetupAPI. Only the seam's Win32 device calls this.
#pragma once
#include <windows.h>

// Copies the path of the first device of the class, as SetupAPI finds it, into path;
// FALSE when any step fails or the path does not fit.
BOOL find_driver_interface(const GUID* interface_class, char* path, DWORD path_size);
