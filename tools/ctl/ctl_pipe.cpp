// tickmend-ctl's pipe commands: one exchange with a server that is tickmend, and what the reply
// and the server's records mean for the exit code.
#include "ctl_pipe.h"
#include "ctl_usage.h"

#include <windows.h>

#include "client_machine.h"
#include "common/control_pipe.h"
#include "common/handle.h"
#include "console.h"
#include "driver_report.h"
#include "server_check.h"
#include "smp_enum/smp_enum.h"

namespace {

enum class Exchange { done, not_running, failed, malformed, not_tickmend, not_served, busy, refused };

// How long a tickmend whose pipe is there may take to show its window: it serves the pipe
// first, and with start_mode 1 runs Gaming Mode's on sequence before the window exists, which
// may take a switch's whole bound.
DWORD starting_window_wait_ms() { return switch_bound_ms(); }
// How long a running tickmend without its pipe may take to have it again: it tries every
// 2 s while another program holds the name, and once that one has gone, takes it.
constexpr DWORD name_back_wait_ms = 5000;

// Waits up to wait_ms for the pipe's name to exist; false when it did not appear.
bool await_pipe(DWORD wait_ms)
{
    for (const DWORD start = GetTickCount();; Sleep(100)) {
        if (WaitNamedPipeA(control_pipe_name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND) return true;
        if (GetTickCount() - start >= wait_ms) return false;
    }
}

ULONGLONG now_utc()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// One exchange: the request, then the two-byte state reply. Nothing is sent to a server that
// is not tickmend; *server says who it is when it can be asked, *asked_at when the request
// went, *refusal why the server refused it; *tickmend the tickmend that runs without its
// pipe (not_served).
Exchange exchange_once(const char* request, char* state, ServerFacts* server, ULONGLONG* asked_at,
                       ControlPipeRefusal* refusal, ServerFacts* tickmend)
{
    tk::unique_hfile pipe;
    bool waited_window = false, waited_name = false;
    for (;;) {
        DWORD error = 0;
        pipe.reset(control_pipe_open(control_pipe_busy_wait_ms(), &error));
        if (!pipe) {
            if (error != ERROR_FILE_NOT_FOUND) return Exchange::failed;
            *server = ServerFacts();
            // No pipe, but tickmend may run: another program held its name, and it takes it back.
            if (!find_running_tickmend(tickmend)) return Exchange::not_running;
            if (!waited_name && (waited_name = true, await_pipe(name_back_wait_ms))) continue;
            return Exchange::not_served;
        }
        PipeServer verdict = check_pipe_server(pipe.get(), server);
        if (verdict == PipeServer::starting) {
            // The connection is let go while we wait: the server gives each one half a second.
            pipe.reset();
            if (!waited_window && (waited_window = true, await_tickmend_window(server, starting_window_wait_ms())))
                continue;
            if (server->doubt == ServerDoubt::none) server->doubt = ServerDoubt::no_window;
            return Exchange::not_tickmend;
        }
        // Another program holds the name while tickmend runs without it.
        if (verdict == PipeServer::other)
            return find_running_tickmend(tickmend) && tickmend->process_id != server->process_id ? Exchange::not_served
                                                                                                   : Exchange::not_tickmend;
        if (verdict == PipeServer::unknown)
            console_err("tickmend-ctl: this Windows cannot tell which program serves the pipe; its reply is taken on "
                        "trust.\n");
        break;
    }
    *asked_at = now_utc();
    switch (control_pipe_exchange(pipe.get(), request, control_pipe_reply_wait_ms(), state, refusal)) {
    case ControlPipeExchange::done: return Exchange::done;
    case ControlPipeExchange::refused: return Exchange::refused;
    case ControlPipeExchange::busy: return Exchange::busy;
    case ControlPipeExchange::malformed: return Exchange::malformed;
    case ControlPipeExchange::failed: break;
    }
    return Exchange::failed;
}

// The exchange. Refused on its first connection, it is made once more at once: the time of
// the processes that have never read a reply (this one among them, until then) was over
// their share, and having read the refusal, this process has a share of its own.
Exchange exchange(const char* request, char* state, ServerFacts* server, ULONGLONG* asked_at,
                  ControlPipeRefusal* refusal, ServerFacts* tickmend)
{
    Exchange result = exchange_once(request, state, server, asked_at, refusal, tickmend);
    if (result == Exchange::refused && refusal->connects <= 1)
        result = exchange_once(request, state, server, asked_at, refusal, tickmend);
    return result;
}

// Why the server was not trusted, after the line that says so.
void explain_doubt(const ServerFacts& server)
{
    switch (server.doubt) {
    case ServerDoubt::image_unread:
        console_err("tickmend-ctl: its executable cannot be read.\n");
        break;
    case ServerDoubt::not_tickmend_image:
        console_errf("tickmend-ctl: its executable is %s.\n", server.image);
        break;
    case ServerDoubt::not_installed:
        console_errf("tickmend-ctl: its executable is %s, which is neither the installed tickmend nor the one "
                     "beside this client.\n",
                     server.image);
        break;
    case ServerDoubt::no_window: // told in the one line (not_tickmend)
    case ServerDoubt::none:
        break;
    }
}

} // namespace

// strict: "on" exits 5 when the on sequence left anything out, else 9 when its sync cannot be
// verified; "off" exits 5 when the off did not give everything back.
int pipe_command(const char* request, bool strict)
{
    char state = 0;
    ServerFacts server;
    ULONGLONG asked_at = 0;
    ControlPipeRefusal refusal;
    ServerFacts tickmend;
    Exchange result = exchange(request, &state, &server, &asked_at, &refusal, &tickmend);
    switch (result) {
    case Exchange::done: {
        console_out(state == '1' ? "Gaming Mode: on\n" : "Gaming Mode: off\n");
        // Only the server's own record tells what its on left out or its off left owed;
        // another user's client reads a record of its own user, and then says it cannot know.
        const record_witness witness = {server.process_id, server.started, asked_at};
        int told = 0;
        bool unverified = false; // whether the on's sync could not be told in step
        if (request[0] == '0') {
            if (state != '0')
                console_errw("tickmend-ctl: not given back: everything (Gaming Mode did not go off). Ask again with "
                             "\"tickmend-ctl off\".\n");
            else
                told = print_not_given_back(witness);
        } else if (request[0] == '1') {
            if (state != '1')
                console_errw("tickmend-ctl: left out: everything (Gaming Mode did not go on). Ask again with "
                             "\"tickmend-ctl on\".\n");
            else
                told = print_left_out(witness, &unverified);
        }
        return answered_exit_code(request[0], state, told, strict, unverified);
    }
    case Exchange::not_running:
        // Where the machine can be read and has one node, starting tickmend brings no Gaming Mode.
        if (client_machine_install() && enumerate_cpus() && node_count < 2)
            console_errw("tickmend-ctl: there is no Gaming Mode here: it exists only on PCs with several "
                         "processor nodes, and this one has %s. \"tickmend-ctl topology\" says what tickmend "
                         "does here.\n", cpu_count < 2 ? "a single processor" : "one node");
        else
            console_errw("tickmend-ctl: tickmend is not running. Start it (QEL Pacemill in the Start menu, or "
                         "tickmend.exe); \"tickmend-ctl topology\" says what it does here.\n");
        return exit_not_running;
    case Exchange::malformed:
        console_err("tickmend-ctl: the pipe gave a reply that is not a Gaming Mode state. Try again; if it comes "
                    "back, end tickmend with \"tickmend.exe /k\" and start it again.\n");
        return exit_failed;
    case Exchange::not_tickmend:
        // A tickmend's own executable without its window: what it runs, and why it is not trusted.
        if (server.doubt == ServerDoubt::no_window)
            console_errf("tickmend-ctl: the pipe is served by process %lu, which runs %s but showed no tickmend "
                         "window within %lu s (tickmend shows one once it has started): it is not trusted, and "
                         "nothing was sent.\n",
                         server.process_id, server.image, (starting_window_wait_ms() + 999) / 1000);
        else
            console_errf("tickmend-ctl: the pipe is served by process %lu, which is not a running tickmend; nothing "
                         "was sent.\n",
                         server.process_id);
        explain_doubt(server);
        return exit_not_tickmend;
    case Exchange::not_served:
        console_errf("tickmend-ctl: busy: tickmend runs (process %lu) but does not serve its pipe now", tickmend.process_id);
        if (server.process_id)
            console_errf(": process %lu holds the pipe's name; tickmend takes it back once that program has gone (its "
                         "tray icon says so meanwhile).", server.process_id);
        else
            console_err(" (it is taking its name back from another program, or its console session is disconnected "
                        "or ending).");
        console_err(" Nothing was sent; ask again in a moment.\n");
        return exit_busy;
    case Exchange::busy:
        console_errf("tickmend-ctl: busy: Gaming Mode is still switching and tickmend could not say its state "
                     "within %lu s; a request sent runs in its turn. Ask again with tickmend-ctl status.\n",
                     static_cast<unsigned long>(control_pipe_reply_wait_ms() / 1000));
        return exit_busy;
    case Exchange::refused:
        console_errf("tickmend-ctl: refused: this process connected %d times in the last second and kept the pipe "
                     "open unread for %lu ms; tickmend serves each process at most %d connections a second and "
                     "%lu ms of keeping it open unread beyond half the pipe's time. The request was not carried out; ask "
                     "again in a second.\n",
                     refusal.connects, refusal.own_ms, control_pipe_share_connects, control_pipe_hold_limit_ms);
        return exit_refused;
    case Exchange::failed:
        break;
    }
    console_err("tickmend-ctl: the exchange on the pipe failed (busy for too long, or broken off). Try again "
                "in a moment.\n");
    return exit_failed;
}
