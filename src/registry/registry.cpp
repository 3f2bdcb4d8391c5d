#include "registry/registry.h"
#include "common/handle.h"
#include "common/trace.h"

#include <string.h>

// A read asks only for what it does: a user without full rights on a key (as on the
// per-machine key, usually) can still read the configured values.
int GetRegistryValue(HKEY root, const char* subkey, const char* name, void* data, DWORD size, REGSAM view)
{
    tk::unique_hkey key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
        TRACE("registry GetRegistryValue : RegOpenKeyEx failed\n");
        return 0;
    }
    DWORD type = 0;
    DWORD length = size;
    LONG status = RegQueryValueExA(key.get(), name, nullptr, &type, static_cast<BYTE*>(data), &length);
    return status == ERROR_SUCCESS ? 1 : 0;
}

int get_registry_typed(HKEY root, const char* subkey, const char* name, DWORD type, void* data, DWORD size,
                       REGSAM view)
{
    if (size == 0 || (type == REG_DWORD && size != sizeof(DWORD)) || (type == REG_QWORD && size != sizeof(ULONGLONG)))
        return 0;
    tk::unique_hkey key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return 0;
    BYTE buffer[512];
    DWORD stored_type = 0;
    DWORD length = sizeof buffer;
    if (RegQueryValueExA(key.get(), name, nullptr, &stored_type, buffer, &length) != ERROR_SUCCESS) return 0;
    if (stored_type != type) return 0;
    if (type == REG_DWORD) {
        if (length != sizeof(DWORD)) return 0;
        memcpy(data, buffer, sizeof(DWORD));
        return 1;
    }
    if (type == REG_QWORD) {
        if (length != sizeof(ULONGLONG)) return 0;
        memcpy(data, buffer, sizeof(ULONGLONG));
        return 1;
    }
    if (type != REG_SZ) return 0;
    // A text stored with or without its NUL; one that does not fit is not cut to fit.
    while (length > 0 && buffer[length - 1] == '\0') --length;
    if (length >= size || memchr(buffer, '\0', length)) return 0;
    memcpy(data, buffer, length);
    static_cast<char*>(data)[length] = '\0';
    return 1;
}

namespace {

// caller: the helper's name, for its trace lines.
int store_value(HKEY root, const char* subkey, const char* name, DWORD type, const void* data, DWORD size,
                [[maybe_unused]] const char* caller)
{
    tk::unique_hkey key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, subkey, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
        TRACE("registry %s : RegCreateKeyEx failed\n", caller);
        return 0;
    }
    LONG status = RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS) TRACE("registry %s : RegSetValueEx failed\n", caller);
    return status == ERROR_SUCCESS ? 1 : 0;
}

} // namespace

int set_registry_dword(HKEY root, const char* subkey, const char* name, DWORD value)
{
    return store_value(root, subkey, name, REG_DWORD, &value, sizeof value, "set_registry_dword");
}

int set_registry_value(HKEY root, const char* subkey, const char* name, DWORD type, const void* data,
                       DWORD size)
{
    return store_value(root, subkey, name, type, data, size, "set_registry_value");
}

int DeleteRegistry(HKEY root, const char* subkey, const char* name)
{
    tk::unique_hkey key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
        TRACE("registry DeleteRegistry : RegOpenKeyEx failed\n");
        return 0;
    }
    return RegDeleteKeyA(key.get(), name) == ERROR_SUCCESS ? 1 : 0;
}
