#include "fake_daemon.h"

#include "daemon/daemon.h"

volatile LONG scheme_changed_externally;

namespace {

struct Lock {
    Lock() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
};
Lock lock;

struct Guard {
    Guard() { EnterCriticalSection(&lock.section); }
    ~Guard() { LeaveCriticalSection(&lock.section); }
};

std::vector<std::string> log;
int start_result = 1;
int start_available = 1;
DWORD command_delay = 0;
int game_mode_on = 0;
DWORD reader_thread = 0;
int begun = 0;

void record(const std::string& call)
{
    Guard guard;
    log.push_back(call);
}

} // namespace

int Qel_DaemonStart(int, int, int* available)
{
    record("start");
    Guard guard;
    if (start_result && available) *available = start_available;
    game_mode_on = 0;
    return start_result;
}

void Qel_DaemonExit()
{
    record("exit");
    Guard guard;
    game_mode_on = 0;
}

void Qel_DaemonDoCommand(const char* command)
{
    DWORD delay;
    {
        Guard guard;
        delay = command_delay;
        ++begun;
    }
    if (delay) Sleep(delay);
    record(std::string("command:") + command);
    Guard guard;
    if (strcmp(command, "1") == 0) game_mode_on = 1;
    else if (strcmp(command, "0") == 0) game_mode_on = 0;
}

int Qel_DaemonIsGameModeOn()
{
    record("state");
    Guard guard;
    reader_thread = GetCurrentThreadId();
    return game_mode_on;
}

namespace fake_daemon {

void reset(int result, int available)
{
    Guard guard;
    log.clear();
    start_result = result;
    start_available = available;
    command_delay = 0;
    game_mode_on = 0;
    reader_thread = 0;
    begun = 0;
}

void set_command_delay(DWORD ms)
{
    Guard guard;
    command_delay = ms;
}

void set_game_mode(int on)
{
    Guard guard;
    game_mode_on = on;
}

int game_mode()
{
    Guard guard;
    return game_mode_on;
}

std::vector<std::string> calls()
{
    Guard guard;
    return log;
}

std::vector<std::string> commands()
{
    std::vector<std::string> texts;
    for (const std::string& call : calls())
        if (call.rfind("command:", 0) == 0) texts.push_back(call.substr(8));
    return texts;
}

int count(const char* call)
{
    int n = 0;
    for (const std::string& c : calls())
        if (c == call) ++n;
    return n;
}

int commands_begun()
{
    Guard guard;
    return begun;
}

DWORD state_reader_thread()
{
    Guard guard;
    return reader_thread;
}

} // namespace fake_daemon
