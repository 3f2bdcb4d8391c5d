// Registry helpers: each opens its key, does one thing, closes the key, returns 1 or 0.
#pragma once
#include <windows.h>

// Reads a value of at most size bytes into data; the buffer is untouched on failure. view as
// for get_registry_typed.
int GetRegistryValue(HKEY root, const char* subkey, const char* name, void* data, DWORD size, REGSAM view = 0);
// Reads a value only when it is stored with the type asked for and fits: a REG_DWORD of
// exactly four bytes, a REG_QWORD of exactly eight, a REG_SZ of at most size bytes (always ended in data). A value of
// another type or size reads as absent (0, data untouched). view: 0, or KEY_WOW64_64KEY or
// KEY_WOW64_32KEY for one registry view of a 64-bit Windows.
int get_registry_typed(HKEY root, const char* subkey, const char* name, DWORD type, void* data, DWORD size,
                       REGSAM view = 0);
// Stores a REG_DWORD, creating the key path when it is missing.
int set_registry_dword(HKEY root, const char* subkey, const char* name, DWORD value);
// Stores a value of any type (a text, a QWORD, a multi-string), creating the key path when
// it is missing.
int set_registry_value(HKEY root, const char* subkey, const char* name, DWORD type, const void* data,
                       DWORD size);
// Deletes the key name directly below root\subkey (it must have no subkeys).
int DeleteRegistry(HKEY root, const char* subkey, const char* name);
