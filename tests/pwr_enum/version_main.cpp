// main of the power scheme test executables. Each one needs the Windows version whose way of
// switching schemes it tests, and Wine decides the version of a process when it starts, from
// HKCU\Software\Wine\AppDefaults\<exe name>\Version. So an executable that finds itself on
// another version writes its own entry and runs itself again, once, with the same command
// line and standard handles, and passes on the exit code. Two executables (one per version)
// keep every test in a process of the right version without any test having to know.
#include "pwr_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace {

const char relaunch_marker[] = "TICKMEND_PWR_VERSION_RELAUNCH";

// Runs this executable again and waits for it; -1 when it cannot start.
int run_again()
{
    SetEnvironmentVariableA(relaunch_marker, "1");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    char* command_line = _strdup(GetCommandLineA());
    BOOL started = CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    free(command_line);
    if (!started) return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

} // namespace

int main(int argc, char** argv)
{
    if (pwr_support::windows_version() != TICKMEND_PWR_VERSION) {
        if (GetEnvironmentVariableA(relaunch_marker, nullptr, 0) != 0) {
            fprintf(stderr, "Wine did not start this program as Windows \"%s\" (version 0x%x).\n",
                    TICKMEND_PWR_WINE_VERSION, TICKMEND_PWR_VERSION);
            return 1;
        }
        if (!pwr_support::set_own_windows_version(TICKMEND_PWR_WINE_VERSION)) {
            fprintf(stderr, "Cannot write this program's Wine version setting.\n");
            return 1;
        }
        return run_again();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
