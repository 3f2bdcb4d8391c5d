#include "fakes.h"
#include "daemon/daemon.h"
#include "worker/worker.h"

#include <string.h>

volatile LONG scheme_changed_externally = 0;

namespace fakes {

std::vector<std::string> calls;
int game_mode_on = 0;
bool worker_running = true;
int worker_start_result = 1;
DWORD start_mode_at_worker_exit = 0xFFFFFFFF;
bool window_existed_at_command_on = false;

void reset()
{
    calls.clear();
    game_mode_on = 0;
    worker_running = true;
    worker_start_result = 1;
    start_mode_at_worker_exit = 0xFFFFFFFF;
    window_existed_at_command_on = false;
    scheme_changed_externally = 0;
}

namespace {

bool own_main_window_exists()
{
    for (HWND w = FindWindowExA(nullptr, nullptr, "TICKMEND", nullptr); w;
         w = FindWindowExA(nullptr, w, "TICKMEND", nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId()) return true;
    }
    return false;
}

} // namespace
} // namespace fakes

using namespace fakes;

int Qel_WorkerStart(int, int)
{
    if (worker_running) {
        calls.push_back("WorkerStart (running)");
        return 1;
    }
    calls.push_back("WorkerStart");
    worker_running = worker_start_result != 0;
    return worker_start_result;
}

void Qel_WorkerExit()
{
    calls.push_back("WorkerExit");
    DWORD value = 0xFFFFFFFF;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof value;
        if (RegQueryValueExA(key, "start_mode", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS)
            value = 0xFFFFFFFF;
        RegCloseKey(key);
    }
    start_mode_at_worker_exit = value;
    worker_running = false;
    game_mode_on = 0; // the daemon's exit runs the off sequence
}

int Qel_DaemonStart(int, int, int* available)
{
    calls.push_back("DaemonStart");
    if (available) *available = 1;
    return 1;
}

void Qel_DaemonExit()
{
    calls.push_back("DaemonExit");
    game_mode_on = 0;
}

void Qel_DaemonDoCommand(const char* command)
{
    if (strcmp(command, "1") == 0) {
        calls.push_back("DoCommand 1");
        window_existed_at_command_on = own_main_window_exists();
        if (worker_running) {
            game_mode_on = 1;
            scheme_changed_externally = 0; // the on sequence clears it
        }
    } else if (strcmp(command, "0") == 0) {
        calls.push_back(scheme_changed_externally ? "DoCommand 0 (scheme changed externally)" : "DoCommand 0");
        game_mode_on = 0;
    } else {
        calls.push_back(std::string("DoCommand ") + command);
    }
}

int Qel_DaemonFinishRestore()
{
    calls.push_back("FinishRestore");
    return 1;
}

int Qel_DaemonIsGameModeOn()
{
    return game_mode_on;
}
