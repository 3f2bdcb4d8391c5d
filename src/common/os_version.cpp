#include "common/os_version.h"

namespace {

// Vista was version 6; every later Windows reports 6 or more, whatever its manifest says.
bool vista_or_later() { return os_major_version() >= 6; }

} // namespace

DWORD os_major_version()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return 0;
    return version.dwMajorVersion;
}

bool os_switches_plans_with_powercfg() { return vista_or_later(); }
bool os_has_power_setting_notifications() { return vista_or_later(); }
bool os_pipe_rejects_remote_clients() { return vista_or_later(); }
