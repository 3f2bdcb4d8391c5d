// tickmend-driver.exe: puts tickmend.sys on this machine as the driver of one root-enumerated
// device (hardware ID root\tickmend), or takes the device and the driver package off again.
// The installer runs it; so do the tests.
//   tickmend-driver install PATH\tickmend.inf   exit 0: installed (1: failed, 2: usage)
//   tickmend-driver remove                      exit 0: no device and no package left
//   tickmend-driver helps                       exit 0: the driver can help here and this
//                                               Windows loads it (1: not, and why on stdout)
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>
#include <string.h>
#include <intrin.h>

namespace {

const char hardware_id[] = "root\\tickmend";
const char hardware_ids[] = "root\\tickmend\0"; // a multi-string: two zeros at the end

int fail(const char* what)
{
    fprintf(stderr, "tickmend-driver: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

// Whether the device of the set has our hardware ID.
bool is_ours(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    char ids[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                                           sizeof ids - 2, nullptr))
        return false;
    for (const char* id = ids; *id; id += strlen(id) + 1)
        if (lstrcmpiA(id, hardware_id) == 0) return true;
    return false;
}

// Calls back for each device with our hardware ID; the count.
template <class Each>
int each_device(Each each)
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 0;
    int found = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
        if (is_ours(set, &device)) {
            ++found;
            each(set, &device);
        }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

int install(const char* inf)
{
    char full[MAX_PATH];
    if (!GetFullPathNameA(inf, sizeof full, full, nullptr)) return fail("finding the INF");
    if (!each_device([](HDEVINFO, SP_DEVINFO_DATA*) {})) {
        GUID system_class;
        char class_name[64];
        if (!SetupDiGetINFClassA(full, &system_class, class_name, sizeof class_name, nullptr))
            return fail("reading the INF's class");
        HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, nullptr);
        if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        const bool made =
            SetupDiCreateDeviceInfoA(set, class_name, &system_class, nullptr, nullptr, DICD_GENERATE_ID, &device) &&
            SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE*>(hardware_ids), sizeof hardware_ids) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
        const DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        if (!made) {
            SetLastError(error);
            return fail("creating the device");
        }
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id, full, INSTALLFLAG_FORCE, &reboot))
        return fail("installing the driver");
    if (reboot) printf("tickmend-driver: Windows asks for a restart\n");
    return 0;
}

// The precompiled .pnf beside a removed INF (InfPath names it in the INF folder), which a
// host may leave behind: gone too. false only when it is there and stays.
bool remove_pnf(const char* inf)
{
    char pnf[MAX_PATH];
    const size_t length = strlen(inf);
    if (length < 4 || _stricmp(inf + length - 4, ".inf") != 0) return true;
    if (strchr(inf, '\\')) {
        if (length >= sizeof pnf) return true;
        pnf[0] = '\0';
    } else {
        const UINT n = GetWindowsDirectoryA(pnf, sizeof pnf);
        if (!n || n + 5 + length >= sizeof pnf) return true;
        lstrcatA(pnf, "\\inf\\");
    }
    lstrcatA(pnf, inf);
    lstrcpyA(pnf + strlen(pnf) - 4, ".pnf");
    return DeleteFileA(pnf) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
}

int remove()
{
    typedef BOOL(WINAPI * uninstall_fn)(PCSTR, DWORD, PVOID);
    // Windows XP SP1 and earlier lack it: there the package stays in the INF folder.
    const auto uninstall_inf =
        reinterpret_cast<uninstall_fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("setupapi.dll"), "SetupUninstallOEMInfA")));
    int status = 0;
    each_device([&](HDEVINFO set, SP_DEVINFO_DATA* device) {
        char inf[MAX_PATH] = {};
        HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            DWORD size = sizeof inf - 1, type = 0;
            if (RegQueryValueExA(key, "InfPath", nullptr, &type, reinterpret_cast<BYTE*>(inf), &size) != ERROR_SUCCESS ||
                type != REG_SZ)
                inf[0] = '\0';
            RegCloseKey(key);
        }
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device)) status = fail("removing the device");
        if (inf[0] && uninstall_inf && !uninstall_inf(inf, SUOI_FORCEDELETE, nullptr))
            status = fail("removing the driver package");
        else if (inf[0] && uninstall_inf && !remove_pnf(inf))
            status = fail("removing the driver package's .pnf");
    });
    // A driver whose last device is gone unloads on Windows; a host that keeps it loaded is
    // asked to stop it. Then the service goes, and its file with it.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, "tickmend", SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE) : nullptr;
    if (service) {
        SERVICE_STATUS state = {};
        ControlService(service, SERVICE_CONTROL_STOP, &state);
        for (int i = 0; i < 100 && QueryServiceStatus(service, &state) && state.dwCurrentState != SERVICE_STOPPED; ++i)
            Sleep(100);
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            status = fail("removing the service");
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    char file[MAX_PATH];
    const UINT n = GetSystemDirectoryA(file, MAX_PATH - 24);
    if (n && n < MAX_PATH - 24) {
        lstrcatA(file, "\\drivers\\tickmend.sys");
        if (!DeleteFileA(file) && GetLastError() != ERROR_FILE_NOT_FOUND)
            MoveFileExA(file, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return status;
}

// The driver helps where there is more than one processor and the counters can drift (no
// invariant TSC), on a Windows that loads an unsigned driver: a 32-bit one, or a 64-bit one
// started in test-signing mode.
int helps()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    if (info.dwNumberOfProcessors < 2) return printf("one processor: no counters to keep in step\n"), 1;
    int regs[4];
    __cpuid(regs, static_cast<int>(0x80000000));
    if (static_cast<unsigned>(regs[0]) >= 0x80000007) {
        __cpuid(regs, static_cast<int>(0x80000007));
        if (regs[3] & 0x100) return printf("invariant counters: they cannot drift apart\n"), 1;
    }
    BOOL wow64 = FALSE;
    typedef BOOL(WINAPI * wow64_fn)(HANDLE, PBOOL);
    const auto is_wow64 = reinterpret_cast<wow64_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    if (is_wow64) is_wow64(GetCurrentProcess(), &wow64);
    if (wow64 || sizeof(void*) == 8) {
        char options[512] = {};
        DWORD size = sizeof options - 1;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control", 0, KEY_READ | KEY_WOW64_64KEY,
                          &key) == ERROR_SUCCESS) {
            RegQueryValueExA(key, "SystemStartOptions", nullptr, nullptr, reinterpret_cast<BYTE*>(options), &size);
            RegCloseKey(key);
        }
        if (!strstr(options, "TESTSIGNING"))
            return printf("64-bit Windows loads no unsigned driver outside test-signing mode\n"), 1;
    }
    printf("the TSC driver can help here\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "install") == 0) return install(argv[2]);
    if (argc == 2 && strcmp(argv[1], "remove") == 0) return remove();
    if (argc == 2 && strcmp(argv[1], "helps") == 0) return helps();
    fprintf(stderr, "usage: tickmend-driver install PATH\\tickmend.inf | remove | helps\n");
    return 2;
}
