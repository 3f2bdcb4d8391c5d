#include "fake_daemon.h"

#include "daemon/daemon.h"
#include "daemon/daemon_testing.h"

#include <string.h>

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
bool state_reads_recorded = true;
bool (*command_hook)(const char*) = nullptr;
int game_mode_on = 0;
int on_at_exit = -1;
DWORD reader_thread = 0;
int begun = 0;
std::string followed_program; // "": Gaming Mode was not begun by a listed program
HANDLE measure_gate = nullptr;    // a measurement waits for it, as the real one for the lock
HANDLE measure_entered = nullptr; // set as a measurement begins

const char command_prefix[] = "DoCommand ";

void record(const std::string& call)
{
    Guard guard;
    log.push_back(call);
}

} // namespace

int Qel_DaemonStart(int, int, int* available)
{
    record("DaemonStart");
    Guard guard;
    if (start_result && available) *available = start_available;
    game_mode_on = 0;
    return start_result;
}

void Qel_DaemonExit()
{
    record("DaemonExit");
    Guard guard;
    on_at_exit = game_mode_on;
    game_mode_on = 0;
}

int Qel_DaemonWasOnAtExit()
{
    Guard guard;
    return on_at_exit;
}

// Wishes taken at once, on the caller's thread, through the command record.
int Qel_DaemonWish(daemon_wish wish, HANDLE)
{
    switch (wish) {
    case daemon_wish::on: Qel_DaemonDoCommand("1"); break;
    case daemon_wish::off: Qel_DaemonDoCommand("0"); break;
    case daemon_wish::resume:
        if (Qel_DaemonGameModeShown()) {
            Qel_DaemonDoCommand("0");
            Qel_DaemonDoCommand("1");
        }
        break;
    case daemon_wish::users_change: Qel_DaemonPlanChangedOutside(); break;
    case daemon_wish::state: return Qel_DaemonIsGameModeOn();
    }
    return Qel_DaemonGameModeShown();
}

void Qel_DaemonSetFollowed(int running, const char*)
{
    record(running > 0 ? "followed" : "followed none");
}

int Qel_DaemonFollowedProgram(char* buffer, int size)
{
    if (!buffer || size <= 0) return 0;
    Guard guard;
    lstrcpynA(buffer, followed_program.c_str(), size);
    return !followed_program.empty();
}

int Qel_DaemonPostWish(daemon_wish wish, HWND window, UINT message)
{
    int answer = Qel_DaemonWish(wish, nullptr);
    if (window) PostMessageA(window, message, static_cast<WPARAM>(answer), 0);
    return 1;
}

int Qel_DaemonGameModeShown()
{
    Guard guard;
    return game_mode_on;
}

void Qel_DaemonDoCommand(const char* command)
{
    DWORD delay;
    bool (*hook)(const char*);
    {
        Guard guard;
        delay = command_delay;
        hook = command_hook;
        ++begun;
    }
    bool effective = hook ? hook(command) : true;
    if (delay) Sleep(delay);
    const bool off = strcmp(command, "0") == 0;
    std::string call = command_prefix + std::string(command);
    if (off && scheme_changed_externally) call += " (scheme changed externally)";
    record(call);
    Guard guard;
    if (strcmp(command, "1") == 0 && effective) {
        game_mode_on = 1;
        scheme_changed_externally = 0; // the on sequence clears it
    } else if (off) {
        game_mode_on = 0;
    }
}

// Recorded as "PlanActivated <guid>"; the daemon's rule of whose it is is tested with the daemon.
int Qel_DaemonPlanActivated(const char* guid)
{
    record(std::string("PlanActivated ") + (guid ? guid : "(null)"));
    return 1;
}

// The daemon's own rule is tested with the daemon; here every change while on counts as the
// user's (while off, the owner finds nothing to judge).
int Qel_DaemonPlanChangedOutside()
{
    if (!Qel_DaemonGameModeShown()) return 1;
    InterlockedExchange(&scheme_changed_externally, 1);
    Qel_DaemonDoCommand("0");
    return 1;
}

int Qel_DaemonFinishRestore()
{
    record("FinishRestore");
    return 1;
}

// Here every on is the user's.
int Qel_DaemonUsersWish()
{
    Guard guard;
    if (state_reads_recorded) log.push_back("UsersWish");
    return game_mode_on;
}

// No measurement here: the status window says so. With a gate, it first waits for it within
// the bound, as the real one waits for a switch that holds the lock.
int Qel_DaemonMeasureCounters(sync_check_facts*, DWORD bound_ms)
{
    HANDLE gate, entered;
    {
        Guard guard;
        gate = measure_gate;
        entered = measure_entered;
    }
    if (entered) SetEvent(entered);
    if (gate) WaitForSingleObject(gate, bound_ms);
    return 0;
}

int Qel_DaemonIsGameModeOn()
{
    Guard guard;
    if (state_reads_recorded) log.push_back("IsGameModeOn");
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
    state_reads_recorded = true;
    command_hook = nullptr;
    game_mode_on = 0;
    on_at_exit = -1;
    reader_thread = 0;
    begun = 0;
    scheme_changed_externally = 0;
    followed_program.clear();
    measure_gate = nullptr;
    measure_entered = nullptr;
}

void set_measure_gate(HANDLE gate, HANDLE entered)
{
    Guard guard;
    measure_gate = gate;
    measure_entered = entered;
}

void set_followed_program(const char* program)
{
    Guard guard;
    followed_program = program;
}

void set_command_delay(DWORD ms)
{
    Guard guard;
    command_delay = ms;
}

void record_state_reads(bool on)
{
    Guard guard;
    state_reads_recorded = on;
}

void set_command_hook(bool (*hook)(const char* command))
{
    Guard guard;
    command_hook = hook;
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
        if (call.rfind(command_prefix, 0) == 0) texts.push_back(call.substr(sizeof command_prefix - 1));
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

std::vector<std::string>& record_of_one_thread()
{
    return log;
}

const int& game_mode_of_one_thread()
{
    return game_mode_on;
}

} // namespace fake_daemon
