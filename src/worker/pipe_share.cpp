// Each client process's share of the pipe (the rule is in pipe_state.h): its connections
// within the last second, and its debt of time it kept a connection open unread, which all
// the debts drain together at a part of the pipe's time; the debt of the processes that have
// not read a reply yet is one, the newcomers'.
#include "worker/pipe_share.h"

#include "common/control_pipe.h"

namespace worker_pipe {
namespace {

// Lets the processes' hold debts drain for the time since the last drain, the drain shared
// among the processes that owe.
void drain_debts(PipeServer& server, DWORD now)
{
    const DWORD elapsed = server.drained_at ? now - server.drained_at : 0;
    server.drained_at = now;
    int owing = server.newcomers.debt_ms != 0;
    for (const ClientRate& c : server.clients) owing += c.debt_ms != 0;
    if (!owing) return;
    const DWORD drain = elapsed / hold_drain_divisor / owing;
    for (ClientRate& c : server.clients) c.debt_ms -= c.debt_ms < drain ? c.debt_ms : drain;
    server.newcomers.debt_ms -= server.newcomers.debt_ms < drain ? server.newcomers.debt_ms : drain;
}

// The process's record, a new one (in place of the quietest) for a newcomer.
ClientRate& client_rate(PipeServer& server, ULONG process_id)
{
    ClientRate* quietest = &server.clients[0];
    for (ClientRate& c : server.clients) {
        if (c.process_id == process_id) return c;
        if (c.last_seen == 0 || (quietest->last_seen != 0 && static_cast<LONG>(c.last_seen - quietest->last_seen) < 0))
            quietest = &c;
    }
    *quietest = ClientRate{};
    quietest->process_id = process_id;
    // Windows gives an ended process's id to a new one only once no handle to it is left: a
    // new process is never charged with what an ended one did.
    quietest->process.reset(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    return *quietest;
}

} // namespace

// Notes a connection of the client process; true, with *why, when it is beyond its share.
bool note_client(PipeServer& server, HANDLE pipe, Refusal* why)
{
    server.holder = nullptr;
    server.reader = nullptr;
    ULONG process_id = 0;
    if (!control_pipe_client_process(pipe, &process_id) || process_id == 0) return false; // XP: no way to tell
    if (process_id == GetCurrentProcessId()) return false; // our own threads are no rogue client
    DWORD now = GetTickCount();
    if (!now) now = 1; // 0 marks an empty slot
    drain_debts(server, now);
    ClientRate& rate = client_rate(server, process_id);
    // Until it has read a reply, a process's time is the newcomers': a fresh process id gets
    // no share of its own. Its connections per second are its own either way.
    ClientRate& time = rate.proven ? rate : server.newcomers;
    server.reader = &rate;
    server.reader_id = process_id;
    server.holder = &time; // a refused connection's own time counts too
    server.holder_id = time.process_id;
    rate.last_seen = now;
    rate.attempt_at[rate.next_attempt] = now;
    rate.next_attempt = (rate.next_attempt + 1) % attempts_kept;
    // The slot written next holds the served connection share_connects connections ago.
    const DWORD oldest = rate.served_at[rate.next_served];
    if ((oldest != 0 && now - oldest < share_window_ms) || time.debt_ms > hold_limit_ms) {
        why->connects = 0;
        for (DWORD at : rate.attempt_at) why->connects += at != 0 && now - at < share_window_ms;
        why->debt_ms = time.debt_ms;
        return true;
    }
    rate.served_at[rate.next_served] = now;
    rate.next_served = (rate.next_served + 1) % share_connects;
    return false;
}

void book_client_time(PipeServer& server, DWORD own_ms, bool refusal_unread, bool reply_read)
{
    const DWORD now = GetTickCount();
    // Whether a process read what it got, or left a refusal unread, is its own: a new process
    // that reads is never dropped unheard for what other new processes did.
    if (server.reader && server.reader->process_id == server.reader_id) {
        if (reply_read) server.reader->proven = true;
        if (refusal_unread) server.reader->refusal_unread_at = now ? now : 1; // it had its chance
    }
    if (!server.holder || server.holder->process_id != server.holder_id) return;
    drain_debts(server, now);
    server.holder->debt_ms += own_ms;
}

} // namespace worker_pipe
