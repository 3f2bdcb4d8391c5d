// The daemon's lifecycle and its one command entry point: the role chosen at start (drift
// registration on one node, Gaming Mode on several, with its owner: owner.cpp, which runs the
// sequences of gaming_mode.cpp), and what a run before this one still owes given back.
#include "daemon/daemon.h"
#include "daemon/daemon_state.h"
#include "smp_enum/smp_enum.h"
#include "common/trace.h"

#include <stdio.h>
#include <string.h>

using namespace daemon_state;

namespace {

bool daemon_started = false;
int drift_registered = 0;
char start_words[192]; // what this start did, kept for tickmend-ctl topology and "tickmend.exe /?"

} // namespace

int Qel_DaemonStart(int, int, int* available)
{
    TRACE("Qel_DaemonStart - ENTRY\n");
    if (daemon_started) return 0; // already running: a second start changes nothing
    if (!owner_gone()) {
        // The owner of an earlier start did not end within its bound: it still holds the lock
        // and what is owed, and may still be switching. No second owner starts beside it, and
        // nothing is given back behind its back.
        last_start_write("Gaming Mode's earlier owner is still finishing a switch: not started again");
        return 0;
    }
    // Before anything else: what an earlier run (ended by a crash, a kill or a power loss
    // while Gaming Mode was on) or an earlier failed restore still owes the user.
    // The processors are counted first: a record's node mask is judged against them.
    bool enumerated = enumerate_cpus() != 0;
    if (!owed.open) journal_read(&owed);
    if (owed.open) give_back(true);
    if (!enumerated) {
        last_start_write("the processors could not be enumerated: nothing stays resident");
        return 0;
    }
    if (cpu_count < 2) {
        last_start_write("single processor: nothing to do, nothing stays resident");
        return 0;
    }

    if (node_count == 1) {
        drift_registered = register_tickmend();
        snprintf(start_words, sizeof start_words, "one node: %s; no Gaming Mode on one node, nothing stays resident",
                 drift_registration_words());
        last_start_write(start_words);
        if (!drift_registered) {
            TRACE("Qel_DaemonStart register_tickmend failed\n");
            return 0;
        }
        if (available) *available = 0;
        daemon_started = true;
        return 1;
    }

    game_mode_on = 0;
    game_mode_lock.reset(CreateMutexA(nullptr, FALSE, nullptr));
    if (game_mode_lock && !start_owner()) game_mode_lock.reset();
    if (!game_mode_lock) {
        TRACE("Qel_DaemonStart CreateMutex error: %d\n", (int)GetLastError());
        snprintf(start_words, sizeof start_words,
                 "%ld nodes: the Gaming Mode lock could not be made: nothing stays resident",
                 static_cast<long>(node_count));
        last_start_write(start_words);
        return 0;
    }
    snprintf(start_words, sizeof start_words, "%ld nodes: resident, Gaming Mode offered",
             static_cast<long>(node_count));
    last_start_write(start_words);
    if (available) *available = 1;
    daemon_started = true;
    return 1;
}

// The owner turns Gaming Mode off once it has taken every wish made before: a switch that
// runs is finished first, never cut short, and nothing of ours switches anything after.
void Qel_DaemonExit()
{
    TRACE("Qel_DaemonExit - ENTRY\n");
    // A lock the owner still holds (it did not end within its bound) is left to it: the record
    // keeps what is owed for the next start, and no new owner starts while it lives.
    if (game_mode_lock && stop_owner() >= 0) game_mode_lock.reset();
    if (drift_registered) {
        deregister_tickmend();
        drift_registered = 0;
    }
    daemon_started = false;
    TRACE("Qel_DaemonExit - EXIT\n");
}

void Qel_DaemonDoCommand(const char* command)
{
    if (!command) return;
    TRACE("Qel_DaemonDoCommand: Command[ %s ]\n", command);
    if (strcmp(command, "1") == 0)
        Qel_DaemonWish(daemon_wish::on);
    else if (strcmp(command, "0") == 0)
        Qel_DaemonWish(daemon_wish::off);
}

int Qel_DaemonFinishRestore()
{
    if (daemon_started) return owed.open ? 0 : 1; // the running daemon gives back itself
    enumerate_cpus();
    journal_read(&owed);
    return give_back(true) ? 1 : 0;
}

int Qel_DaemonIsGameModeOn()
{
    int answer = Qel_DaemonWish(daemon_wish::state);
    return answer == game_mode_refused ? 0 : answer;
}
