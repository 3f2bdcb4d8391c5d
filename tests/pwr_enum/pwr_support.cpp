#include "pwr_support.h"
#include "support/test_support.h"

#include <powrprof.h>
#include <algorithm>
#include <stdlib.h>
#include <string.h>

namespace pwr_support {

namespace {

const char power_cfg[] = "Control Panel\\PowerCfg";
const char powrprof_key[] = "Software\\tickmend-sim\\powrprof";
const char powercfg_key[] = "Software\\tickmend-sim\\powercfg";

std::string utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

bool set_value(HKEY root, const std::string& path, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool set_text(HKEY root, const std::string& path, const char* name, const std::wstring& text)
{
    HKEY key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    std::wstring wide_name(name, name + strlen(name));
    LONG status = RegSetValueExW(key, wide_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void delete_value(HKEY root, const std::string& path, const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

std::wstring wide_value(HKEY root, const std::string& path, const char* name)
{
    std::vector<unsigned char> bytes = binary_value(root, path, name);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    return std::wstring(text.c_str());
}

std::string child(const char* parent, UINT index)
{
    return std::string(parent) + "\\" + std::to_string(index);
}

} // namespace

const char user_policies[] = "Control Panel\\PowerCfg\\PowerPolicies";
const char machine_policies[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\PowerCfg\\PowerPolicies";
const char processor_policies[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Controls Folder\\PowerCfg\\ProcessorPolicies";
const char balanced[] = "381b4222-f694-41f0-9685-ff5bb260df2e";
const char high_performance[] = "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
const char power_saver[] = "a1841308-3541-4fab-bc81-f71556f20b4a";

DWORD windows_version()
{
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
    return info.dwMajorVersion << 8 | info.dwMinorVersion;
}

bool set_own_windows_version(const char* version)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    std::string key = std::string("Software\\Wine\\AppDefaults\\") + name;
    return set_value(HKEY_CURRENT_USER, key, "Version", REG_SZ, version, static_cast<DWORD>(strlen(version) + 1));
}

std::vector<unsigned char> binary_value(HKEY root, const std::string& path, const char* name)
{
    std::vector<unsigned char> bytes;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return bytes;
    std::wstring wide_name(name, name + strlen(name));
    DWORD size = 0;
    if (RegQueryValueExW(key, wide_name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        bytes.resize(size);
        if (RegQueryValueExW(key, wide_name.c_str(), nullptr, nullptr, bytes.data(), &size) != ERROR_SUCCESS)
            bytes.clear();
        else
            bytes.resize(size);
    }
    RegCloseKey(key);
    return bytes;
}

std::vector<std::string> multi_string_value(HKEY root, const std::string& path, const char* name)
{
    std::vector<unsigned char> bytes = binary_value(root, path, name);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos) end = text.size();
        if (end > start) lines.push_back(utf8(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

void reset_xp_store()
{
    testing_support::delete_tree(HKEY_CURRENT_USER, user_policies);
    delete_value(HKEY_CURRENT_USER, power_cfg, "CurrentPowerPolicy");
    testing_support::delete_tree(HKEY_LOCAL_MACHINE, machine_policies);
    testing_support::delete_tree(HKEY_LOCAL_MACHINE, processor_policies);
    testing_support::delete_tree(HKEY_CURRENT_USER, powrprof_key);
}

void make_empty_xp_store()
{
    reset_xp_store();
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, user_policies, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
        RegCloseKey(key);
}

void put_scheme(UINT index, const std::wstring& name, UCHAR throttle_ac, UCHAR throttle_dc)
{
    POWER_POLICY policy = {};
    policy.user.Revision = 1;
    policy.user.IdleSensitivityAc = policy.user.IdleSensitivityDc = 90;
    policy.user.ThrottlePolicyAc = throttle_ac;
    policy.user.ThrottlePolicyDc = throttle_dc;
    policy.user.MaxSleepAc = policy.user.MaxSleepDc = PowerSystemSleeping3;
    policy.user.VideoTimeoutAc = 600 + index;
    policy.mach.Revision = 1;
    policy.mach.MinSleepAc = policy.mach.MinSleepDc = PowerSystemSleeping1;
    std::string user_key = child(user_policies, index);
    set_text(HKEY_CURRENT_USER, user_key, "Name", name);
    set_text(HKEY_CURRENT_USER, user_key, "Description", L"");
    set_value(HKEY_CURRENT_USER, user_key, "Policies", REG_BINARY, &policy.user, sizeof policy.user);
    set_value(HKEY_LOCAL_MACHINE, child(machine_policies, index), "Policies", REG_BINARY, &policy.mach,
              sizeof policy.mach);
}

void set_active_index(UINT index)
{
    set_text(HKEY_CURRENT_USER, power_cfg, "CurrentPowerPolicy", std::to_wstring(index));
}

int active_index()
{
    std::wstring text = wide_value(HKEY_CURRENT_USER, power_cfg, "CurrentPowerPolicy");
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
    return _wtoi(text.c_str());
}

std::vector<UINT> scheme_indexes()
{
    std::vector<UINT> indexes;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, user_policies, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return indexes;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        indexes.push_back(static_cast<UINT>(strtoul(name, nullptr, 10)));
    }
    RegCloseKey(key);
    std::sort(indexes.begin(), indexes.end());
    return indexes;
}

std::wstring scheme_name(UINT index)
{
    return wide_value(HKEY_CURRENT_USER, child(user_policies, index), "Name");
}

std::vector<std::string> powrprof_log()
{
    return multi_string_value(HKEY_CURRENT_USER, powrprof_key, "Log");
}

void set_powrprof_write_fails(bool fails)
{
    DWORD value = fails ? 1 : 0;
    set_value(HKEY_CURRENT_USER, powrprof_key, "FailWrite", REG_DWORD, &value, sizeof value);
}

void reset_powercfg()
{
    testing_support::delete_tree(HKEY_CURRENT_USER, powercfg_key);
}

void set_powercfg_active(const std::string& guid)
{
    set_text(HKEY_CURRENT_USER, powercfg_key, "Active", std::wstring(guid.begin(), guid.end()));
}

std::string powercfg_active()
{
    return utf8(wide_value(HKEY_CURRENT_USER, powercfg_key, "Active"));
}

void set_powercfg_schemes(const std::vector<std::wstring>& lines)
{
    std::wstring block;
    for (const std::wstring& line : lines) block += line + L'\0';
    block += L'\0';
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, powercfg_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Schemes", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(block.data()),
                   static_cast<DWORD>(block.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

void set_powercfg_language(const char* language)
{
    set_text(HKEY_CURRENT_USER, powercfg_key, "Language", std::wstring(language, language + strlen(language)));
}

void set_powercfg_list_fails(bool fails)
{
    DWORD value = fails ? 1 : 0;
    set_value(HKEY_CURRENT_USER, powercfg_key, "ListFails", REG_DWORD, &value, sizeof value);
}

void set_powercfg_set_fails(bool fails)
{
    DWORD value = fails ? 1 : 0;
    set_value(HKEY_CURRENT_USER, powercfg_key, "SetFails", REG_DWORD, &value, sizeof value);
}

std::vector<std::string> powercfg_log()
{
    return multi_string_value(HKEY_CURRENT_USER, powercfg_key, "Log");
}

} // namespace pwr_support
