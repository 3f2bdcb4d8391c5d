// Registry helpers: each opens its key, does one thing, closes the key, returns 1 or 0.
#pragma once
#include <windows.h>

// Reads a value of at most size bytes into data; the buffer is untouched on failure.
int GetRegistryValue(HKEY root, const char* subkey, const char* name, void* data, DWORD size);
// Stores a value of the given type, creating the key path when it is missing.
int set_registry_dword(HKEY root, const char* subkey, const char* name, DWORD type, const void* data,
                       DWORD size);
// Deletes the key name directly below root\subkey (it must have no subkeys).
int DeleteRegistry(HKEY root, const char* subkey, const char* name);
