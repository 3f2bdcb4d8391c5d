#include "fakes.h"
#include "support/fake_daemon.h"
#include "worker/worker.h"

#include <string.h>

namespace fakes {

std::vector<std::string>& calls = fake_daemon::record_of_one_thread();
const int& game_mode_on = fake_daemon::game_mode_of_one_thread();
bool worker_running = true;
int worker_start_result = 1;
DWORD start_mode_at_worker_exit = 0xFFFFFFFF;
bool window_existed_at_command_on = false;

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

bool before_command(const char* command)
{
    if (strcmp(command, "1") == 0) window_existed_at_command_on = own_main_window_exists();
    return worker_running;
}

} // namespace

void reset()
{
    fake_daemon::reset();
    fake_daemon::record_state_reads(false); // the tray tip and the menu read it all the time
    fake_daemon::set_command_hook(before_command);
    worker_running = true;
    worker_start_result = 1;
    start_mode_at_worker_exit = 0xFFFFFFFF;
    window_existed_at_command_on = false;
}

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
    fake_daemon::set_game_mode(0); // the daemon's exit runs the off sequence
}
