// Benchmarks of the control pipe. Run by scripts/bench, never by the tests.
//
//   pipe_bench [--round-trips N] [--runs N] [--clients N] [--requests N] [--idle-seconds N]
//              [--fairness-calls N] [--only-fairness close|query|hold]
//              [--share-seconds N] [--only-share]
//   pipe_bench --only-idle [--idle-seconds N]
//   pipe_bench --only-round-trip|--diagnose-round-trip [--round-trips N] [--runs N]
//
// 1. Round trip of a status request, the worker side by side with a bare single-instance
//    overlapped server that serves the same exchange: both medians, failures, their ratio,
//    in each of --runs runs (9), and the ratio's spread over the runs.
// 2. Load: concurrent clients, each sending status, "1" and "0" in turn, against the worker;
//    every reply must be valid, the run must end, and the final state must be the one the
//    last executed request left.
// 3. Clients that do not follow the exchange: a flood of queued requests, one that never
//    closes, two that reconnect in a tight loop, each while other clients try with
//    tickmend-ctl's budget; and the name held by another program before the start.
// 4. Idle: tickmend-sim.exe with Gaming Mode on and no client, its CPU time over a while
//    (the sum of its threads' times); then with a program listed for Gaming Mode to follow,
//    none running, one running (a copy of this bench showing a window), and 100 of it.
// 4b. Fairness: tickmend-sim.exe, one process that reconnects in a tight loop, and
//    tickmend-ctl status calls meanwhile: the share served within the client's own wait for
//    a busy pipe
//    (goal at least 95%) and the median wait (goal under 1.5 s).
// 4c. Each process's share, against tickmend-sim.exe, with client processes of their own:
//    a poller with no request, a burst of status calls retried when refused, a launcher
//    beside a tight reconnect loop and a reconnecting flooder, then with 8 togglers too and
//    tickmend-ctl status calls (rows of --share-seconds, 60 by default).
// 5. Size of tickmend.exe.
#include "worker/worker.h"

#include "common/control_pipe.h"
#include "daemon/daemon.h"
#include "follow/follow_list.h"
#include "notice/notice.h"
#include "support/fake_daemon.h"

#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

const char* const worker_pipe = control_pipe_name;
const char bare_pipe[] = "\\\\.\\pipe\\QelTscPipeBenchBare";

int round_trips = 500;
int clients = 16;
int requests_per_client = 500;
int idle_seconds = 60;
int fairness_calls = 60;
const char* only_fairness = nullptr; // one kind of flood alone

LARGE_INTEGER frequency;

double now_us()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

int compare_doubles(const void* a, const void* b)
{
    double x = *static_cast<const double*>(a), y = *static_cast<const double*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

double median(double* values, int n)
{
    qsort(values, n, sizeof *values, compare_doubles);
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- the bare server ----

HANDLE bare_stop;

// What a read of the bare server found.
enum class Read { message, empty, closed, stop };

// Reads one message into buffer (a NUL after it). empty leaves the read pending on io.
Read bare_read(HANDLE pipe, OVERLAPPED& io, char* buffer, DWORD* n)
{
    ResetEvent(io.hEvent);
    *n = 0;
    if (ReadFile(pipe, buffer, 256, n, &io)) {
        GetOverlappedResult(pipe, &io, n, FALSE);
        buffer[*n] = '\0';
        return *n ? Read::message : Read::closed; // a zero-length message ends it too
    }
    DWORD e = GetLastError();
    if (e == ERROR_MORE_DATA) { // too long to be a request: its rest is read as the next message
        buffer[0] = '\0';
        return Read::message;
    }
    return e == ERROR_IO_PENDING ? Read::empty : Read::closed;
}

// Waits for a pending read: message when it brought one (into buffer), else closed or stop.
Read bare_complete(HANDLE pipe, OVERLAPPED& io, char* buffer, DWORD wait_ms)
{
    HANDLE pair[2] = {io.hEvent, bare_stop};
    DWORD waited = WaitForMultipleObjects(2, pair, FALSE, wait_ms);
    if (waited == WAIT_OBJECT_0 + 1) return Read::stop;
    if (waited != WAIT_OBJECT_0) return Read::empty; // still pending
    DWORD n = 0;
    if (GetOverlappedResult(pipe, &io, &n, FALSE) && n) {
        buffer[n] = '\0';
        return Read::message;
    }
    if (!n && GetLastError() == ERROR_MORE_DATA) {
        buffer[0] = '\0';
        return Read::message;
    }
    return Read::closed;
}

// The exchange with nothing else: connect; the first read waits for a request, as
// the worker's does (a client can write only after its connect has woken us); execute every
// request in the pipe; answer the daemon's state and a NUL; then wait for the client to
// close, reading and discarding anything it writes after the reply; disconnect; the same
// instance again. It goes through the same daemon as the worker, so that the two differ
// only in how they serve; no limits on time or requests, no stop checks between reads.
DWORD WINAPI bare_server(void*)
{
    HANDLE pipe = CreateNamedPipeA(bare_pipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 256, 256, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    OVERLAPPED io = {}, out = {};
    io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    out.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE pair[2] = {io.hEvent, bare_stop};
    char buffer[257];
    char reply[2] = {'0', '\0'};
    bool stopping = false;
    while (!stopping) {
        ResetEvent(io.hEvent);
        if (!ConnectNamedPipe(pipe, &io)) {
            DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING) {
                if (WaitForMultipleObjects(2, pair, FALSE, INFINITE) != WAIT_OBJECT_0) break;
            } else if (e != ERROR_PIPE_CONNECTED) {
                DisconnectNamedPipe(pipe);
                continue;
            }
        }
        DWORD n;
        Read read = bare_read(pipe, io, buffer, &n);
        if (read == Read::empty) read = bare_complete(pipe, io, buffer, 500); // the first request's window
        while (read == Read::message) {
            Qel_DaemonDoCommand(buffer);
            read = bare_read(pipe, io, buffer, &n);
        }
        if (read == Read::empty) { // the pipe is empty and the client there: the reply
            reply[0] = Qel_DaemonIsGameModeOn() ? '1' : '0';
            ResetEvent(out.hEvent);
            if (WriteFile(pipe, reply, 2, &n, &out) || GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(pipe, &out, &n, TRUE);
            for (;;) { // until the client closes; a late message is not a close
                read = bare_complete(pipe, io, buffer, 5000);
                if (read != Read::message) break;
                do read = bare_read(pipe, io, buffer, &n);
                while (read == Read::message);
                if (read != Read::empty) break;
            }
        }
        stopping = read == Read::stop;
        if (read == Read::empty || read == Read::stop) { // still pending
            CancelIo(pipe);
            WaitForSingleObject(io.hEvent, 5000);
        }
        DisconnectNamedPipe(pipe);
    }
    CancelIo(pipe);
    CloseHandle(pipe);
    CloseHandle(io.hEvent);
    CloseHandle(out.hEvent);
    return 0;
}

// ---- a client ----

enum class Outcome { valid, no_open, bad_reply };

// One exchange as tickmend-ctl makes it, the open waiting at most wait_ms for a busy pipe;
// *reply gets the state character.
Outcome exchange(const char* name, const char* request, char* reply, DWORD wait_ms)
{
    DWORD error = 0;
    HANDLE h = control_pipe_open(wait_ms, &error, 0, name);
    if (h == INVALID_HANDLE_VALUE) return Outcome::no_open;
    ControlPipeExchange result = control_pipe_exchange(h, request, control_pipe_reply_wait_ms(), reply);
    CloseHandle(h);
    return result == ControlPipeExchange::done ? Outcome::valid : Outcome::bad_reply;
}

// The "1" and "0" the daemon has executed, and the last of them (0 before any).
LONG executed_switches(char* last = nullptr)
{
    LONG n = 0;
    if (last) *last = 0;
    for (const std::string& text : fake_daemon::commands()) {
        if (text != "1" && text != "0") continue;
        ++n;
        if (last) *last = text[0];
    }
    return n;
}

// The state query as tickmend-ctl sends it: a text the daemon ignores. (A client that
// sends nothing at all is answered when the server's request window closes.)
const char status_query[] = "?";

// ---- 1. round trip ----

int round_trip_runs = 9;
bool round_trip_diagnosis = false;

// The open as control_pipe_open makes it, counting the tries that found every instance busy.
HANDLE counted_open(const char* name, int* busy)
{
    for (int tries = 0; tries < 1000; ++tries) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
            return h;
        }
        if (GetLastError() != ERROR_PIPE_BUSY) return INVALID_HANDLE_VALUE;
        ++*busy;
        WaitNamedPipeA(name, 10000);
    }
    return INVALID_HANDLE_VALUE;
}

struct RoundTripRun {
    double worker_us, bare_us, ratio;
    double paired_ratio; // the median of each exchange's ratio to the other server's beside it
    int failures;
    // What the diagnosis looks at: medians of the exchanges that followed one with the same
    // server and one with the other, and the opens that found the server busy.
    double worker_after_same_us, worker_after_other_us, bare_after_same_us, bare_after_other_us;
    int worker_busy, bare_busy;
};

double median_of(const double* values, const bool* pick, bool wanted, int n, double* scratch)
{
    int m = 0;
    for (int i = 0; i < n; ++i)
        if (pick[i] == wanted) scratch[m++] = values[i];
    return m ? median(scratch, m) : 0;
}

// One run: round_trips exchanges with each server, each timed from the open to the close.
// The servers take turns exchange by exchange (worker, bare, worker, bare, ...): both meet the
// same machine load, and neither ever meets its own server still ending the exchange before.
// by_pairs: the turns of the bench before, by pairs whose order switched each time (worker,
// bare, bare, worker, ...), for the diagnosis.
RoundTripRun round_trip_run(bool by_pairs)
{
    RoundTripRun run = {};
    double* worker_us = static_cast<double*>(malloc(sizeof(double) * round_trips));
    double* bare_us = static_cast<double*>(malloc(sizeof(double) * round_trips));
    double* scratch = static_cast<double*>(malloc(sizeof(double) * round_trips));
    bool* worker_same = static_cast<bool*>(calloc(round_trips, sizeof(bool)));
    bool* bare_same = static_cast<bool*>(calloc(round_trips, sizeof(bool)));
    int last = -1;
    for (int i = 0; i < round_trips; ++i) {
        for (int k = 0; k < 2; ++k) {
            const bool worker = by_pairs ? (i + k) % 2 == 0 : k == 0;
            char reply = 0;
            // Timed from a server that listens: neither is charged with getting ready for the
            // next client after the one before (the bare server's one instance is busy until
            // it has disconnected and listens again, which a busy machine may delay).
            WaitNamedPipeA(worker ? worker_pipe : bare_pipe, 10000);
            const double t0 = now_us();
            HANDLE h = counted_open(worker ? worker_pipe : bare_pipe, worker ? &run.worker_busy : &run.bare_busy);
            const bool valid = h != INVALID_HANDLE_VALUE &&
                               control_pipe_exchange(h, status_query, control_pipe_reply_wait_ms(), &reply) ==
                                   ControlPipeExchange::done;
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            (worker ? worker_us : bare_us)[i] = now_us() - t0;
            (worker ? worker_same : bare_same)[i] = last == (worker ? 1 : 0);
            last = worker ? 1 : 0;
            run.failures += !valid;
        }
    }
    run.worker_after_same_us = median_of(worker_us, worker_same, true, round_trips, scratch);
    run.worker_after_other_us = median_of(worker_us, worker_same, false, round_trips, scratch);
    run.bare_after_same_us = median_of(bare_us, bare_same, true, round_trips, scratch);
    run.bare_after_other_us = median_of(bare_us, bare_same, false, round_trips, scratch);
    // Each worker exchange against the bare one right after it, which met the same moment's
    // load: on a busy machine the medians of a run move together by several times, these
    // ratios much less.
    for (int i = 0; i < round_trips; ++i) scratch[i] = worker_us[i] / bare_us[i];
    run.paired_ratio = median(scratch, round_trips);
    run.worker_us = median(worker_us, round_trips);
    run.bare_us = median(bare_us, round_trips);
    run.ratio = run.worker_us / run.bare_us;
    free(worker_us);
    free(bare_us);
    free(scratch);
    free(worker_same);
    free(bare_same);
    return run;
}

bool bench_round_trip()
{
    printf("== round trip of a status request (%d runs of %d each, taking turns)\n", round_trip_runs, round_trips);
    bare_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE bare = CreateThread(nullptr, 0, bare_server, nullptr, 0, nullptr);
    if (Qel_WorkerStart(0, 0) != 1) {
        printf("the worker did not start\n");
        return false;
    }
    for (int i = 0; i < 100 && !WaitNamedPipeA(bare_pipe, 50); ++i) Sleep(50);
    int failures = 0;
    double* ratios = static_cast<double*>(malloc(sizeof(double) * round_trip_runs));
    for (int r = 0; r < round_trip_runs; ++r) {
        const RoundTripRun run = round_trip_run(false);
        failures += run.failures;
        ratios[r] = run.ratio;
        printf("run %d: worker median %7.1f us, bare server %7.1f us, ratio %.2f (exchange by exchange %.2f), "
               "failed %d\n",
               r + 1, run.worker_us, run.bare_us, run.ratio, run.paired_ratio, run.failures);
        if (!round_trip_diagnosis) continue;
        printf("       opens that found the server busy after it listened: worker %d, bare %d\n", run.worker_busy,
               run.bare_busy);
        const RoundTripRun pairs = round_trip_run(true);
        printf("       by pairs (as before): ratio %.2f; after the same server / after the other: worker %7.1f / "
               "%7.1f us, bare %7.1f / %7.1f us; busy: worker %d, bare %d\n",
               pairs.ratio, pairs.worker_after_same_us, pairs.worker_after_other_us, pairs.bare_after_same_us,
               pairs.bare_after_other_us, pairs.worker_busy, pairs.bare_busy);
    }
    double lowest = ratios[0], highest = ratios[0];
    for (int r = 1; r < round_trip_runs; ++r) {
        if (ratios[r] < lowest) lowest = ratios[r];
        if (ratios[r] > highest) highest = ratios[r];
    }
    const double middle = median(ratios, round_trip_runs);
    printf("ratio over %d runs: min %.2f, median %.2f, max %.2f (goal at most 1.10 in every run): %s\n",
           round_trip_runs, lowest, middle, highest, highest <= 1.10 ? "met" : "NOT MET");
    free(ratios);
    // A client that sends nothing, for comparison.
    double silent_us[20];
    const int silent = round_trips < 20 ? round_trips : 20;
    char reply;
    for (int i = 0; i < silent; ++i) {
        const double t0 = now_us();
        if (exchange(worker_pipe, nullptr, &reply, 10000) != Outcome::valid) ++failures;
        silent_us[i] = now_us() - t0;
    }
    printf("worker median for a client that sends nothing: %.1f us (the request window)\n", median(silent_us, silent));
    SetEvent(bare_stop);
    WaitForSingleObject(bare, 10000);
    CloseHandle(bare);
    CloseHandle(bare_stop);
    Qel_WorkerExit();
    return failures == 0;
}

// ---- 2. load ----

LONG valid_replies, bad_replies, failed_opens, requests_sent;
LONG worst_wait_us;

DWORD WINAPI load_client(void* param)
{
    int index = static_cast<int>(reinterpret_cast<INT_PTR>(param));
    static const char* const mix[3] = {status_query, "1", "0"};
    LONG worst = 0;
    for (int i = 0; i < requests_per_client; ++i) {
        const char* request = mix[(index + i) % 3];
        char reply;
        double t0 = now_us();
        Outcome outcome = exchange(worker_pipe, request, &reply, 60000);
        LONG waited = static_cast<LONG>(now_us() - t0);
        if (waited > worst) worst = waited;
        if (outcome == Outcome::valid) InterlockedIncrement(&valid_replies);
        else if (outcome == Outcome::no_open) InterlockedIncrement(&failed_opens);
        else InterlockedIncrement(&bad_replies);
        if (request != status_query && outcome != Outcome::no_open) InterlockedIncrement(&requests_sent);
    }
    for (;;) { // the worst wait of any client
        LONG seen = worst_wait_us;
        if (worst <= seen || InterlockedCompareExchange(&worst_wait_us, worst, seen) == seen) break;
    }
    return 0;
}

bool bench_load()
{
    printf("== load: %d clients x %d exchanges (status, \"1\", \"0\" in turn)\n", clients, requests_per_client);
    if (clients > MAXIMUM_WAIT_OBJECTS) clients = MAXIMUM_WAIT_OBJECTS;
    if (Qel_WorkerStart(0, 0) != 1) {
        printf("the worker did not start\n");
        return false;
    }
    LONG executed_before = executed_switches();
    HANDLE threads[MAXIMUM_WAIT_OBJECTS];
    double t0 = now_us();
    for (int i = 0; i < clients; ++i)
        threads[i] = CreateThread(nullptr, 0, load_client, reinterpret_cast<void*>(static_cast<INT_PTR>(i)), 0, nullptr);
    // Generous: a run that has not ended by then is stuck.
    DWORD limit_ms = static_cast<DWORD>(clients) * requests_per_client * 100 + 60000;
    if (WaitForMultipleObjects(clients, threads, TRUE, limit_ms) != WAIT_OBJECT_0) {
        printf("NO PROGRESS after %lu s: a deadlock\n", limit_ms / 1000);
        fflush(stdout);
        ExitProcess(1);
    }
    double seconds = (now_us() - t0) / 1e6;
    for (int i = 0; i < clients; ++i) CloseHandle(threads[i]);
    LONG total = clients * requests_per_client;
    char last = 0;
    LONG executed = executed_switches(&last) - executed_before;
    int state = Qel_DaemonIsGameModeOn();
    bool agrees = last == 0 || state == (last == '1');
    printf("exchanges:           %ld, valid replies %ld, bad replies %ld, not opened %ld\n", static_cast<long>(total),
           static_cast<long>(valid_replies), static_cast<long>(bad_replies), static_cast<long>(failed_opens));
    printf("throughput:          %.0f exchanges/s (%.1f s)\n", total / seconds, seconds);
    printf("worst client wait:   %.1f ms\n", worst_wait_us / 1000.0);
    printf("requests executed:   %ld of %ld sent (the rest reached the server after its read had\n"
           "                     found the pipe empty, and so came after the reply)\n",
           static_cast<long>(executed), static_cast<long>(requests_sent));
    printf("final state:         %s, last executed \"%c\": %s\n", state ? "on" : "off", last ? last : '-',
           agrees ? "agrees" : "DISAGREES");
    Qel_WorkerExit();
    return valid_replies == total && agrees;
}

// ---- 3. clients that do not follow the exchange ----

// Milliseconds from now until the server has ended the connection of client (polled).
DWORD held_until_dropped(HANDLE client, DWORD start, DWORD limit_ms)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr)) {
            DWORD e = GetLastError();
            if (e == ERROR_PIPE_NOT_CONNECTED || e == ERROR_BROKEN_PIPE || e == ERROR_NO_DATA) break;
        }
        if (GetTickCount() - start >= limit_ms) break;
        Sleep(5);
    }
    return GetTickCount() - start;
}

struct Victims {
    int served = 0;
    int tried = 0;
    DWORD worst_ms = 0;
};

// status exchanges one after another, each with tickmend-ctl's budget for a busy pipe.
DWORD WINAPI victim_clients(void* param)
{
    Victims& v = *static_cast<Victims*>(param);
    for (int i = 0; i < v.tried; ++i) {
        char reply;
        DWORD t0 = GetTickCount();
        if (exchange(worker_pipe, status_query, &reply, control_pipe_busy_wait_ms()) == Outcome::valid) ++v.served;
        DWORD waited = GetTickCount() - t0;
        if (waited > v.worst_ms) v.worst_ms = waited;
    }
    return 0;
}

HANDLE start_victims(Victims& v, int count)
{
    v = Victims();
    v.tried = count;
    return CreateThread(nullptr, 0, victim_clients, &v, 0, nullptr);
}

void report_victims(HANDLE thread, const Victims& v)
{
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    printf("  others (tickmend-ctl's wait for a busy pipe each, %lu s): %d of %d served, worst wait %lu ms\n",
           control_pipe_busy_wait_ms() / 1000, v.served, v.tried, v.worst_ms);
}

// Opens the worker's pipe as a client that will not follow the exchange; at most 20 s.
HANDLE open_misbehaving()
{
    DWORD error = 0;
    return control_pipe_open(2 * control_pipe_busy_wait_ms(), &error);
}

volatile LONG reconnecting;

DWORD WINAPI reconnect_loop(void*)
{
    while (reconnecting) {
        DWORD error = 0;
        HANDLE h = control_pipe_open(0, &error);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return 0;
}

bool bench_hostile()
{
    printf("== clients that do not follow the exchange, against the worker\n");
    if (Qel_WorkerStart(0, 0) != 1) {
        printf("the worker did not start\n");
        return false;
    }
    bool ok = true;
    Victims v;

    // A flood: 64 queued "1"/"0" requests, never a read, never a close.
    HANDLE flood = open_misbehaving();
    DWORD start = GetTickCount();
    LONG executed_before = executed_switches();
    OVERLAPPED writes[64] = {};
    const char* texts[2] = {"1", "0"};
    for (int i = 0; i < 64; ++i) {
        writes[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n;
        WriteFile(flood, texts[i % 2], 1, &n, &writes[i]);
    }
    HANDLE others = start_victims(v, 4);
    DWORD held = held_until_dropped(flood, start, 30000);
    printf("flood of 64 queued requests: dropped after %lu ms, %ld requests executed\n", held,
           static_cast<long>(executed_switches() - executed_before));
    report_victims(others, v);
    ok = ok && v.served == v.tried;
    CancelIo(flood);
    CloseHandle(flood);
    for (auto& w : writes) CloseHandle(w.hEvent);

    // Connects and never writes, reads or closes.
    HANDLE idle = open_misbehaving();
    start = GetTickCount();
    others = start_victims(v, 4);
    held = held_until_dropped(idle, start, 30000);
    printf("client that connects and does nothing: dropped after %lu ms\n", held);
    report_victims(others, v);
    ok = ok && v.served == v.tried;
    CloseHandle(idle);

    // Two threads reconnecting in a tight loop for as long as the others try.
    reconnecting = 1;
    HANDLE loops[2];
    for (auto& l : loops) l = CreateThread(nullptr, 0, reconnect_loop, nullptr, 0, nullptr);
    others = start_victims(v, 5);
    WaitForSingleObject(others, INFINITE);
    reconnecting = 0;
    WaitForMultipleObjects(2, loops, TRUE, INFINITE);
    for (auto& l : loops) CloseHandle(l);
    printf("two threads reconnecting in a tight loop:\n");
    report_victims(others, v);
    Qel_WorkerExit();

    // The name held by another program for 10 s before the worker starts.
    HANDLE squat = CreateNamedPipeA(worker_pipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 256,
                                    256, 0, nullptr);
    Qel_WorkerStart(0, 0);
    char text[256];
    notice_text(NOTICE_PIPE_NAME_TAKEN, text, sizeof text);
    printf("name taken for 10 s before the start: %s\n",
           notice_raised() & (1u << NOTICE_PIPE_NAME_TAKEN) ? text : "NOT REPORTED");
    Sleep(10000);
    CloseHandle(squat);
    start = GetTickCount();
    char reply = 0;
    while (GetTickCount() - start < 30000 && exchange(worker_pipe, status_query, &reply, 10000) != Outcome::valid)
        Sleep(20);
    printf("  served %lu ms after the other program let the name go\n", GetTickCount() - start);
    ok = ok && reply != 0;
    Qel_WorkerExit();
    return ok;
}

// ---- 4. idle ----

void beside_us(const char* name, char* path, DWORD size)
{
    GetModuleFileNameA(nullptr, path, size);
    char* slash = strrchr(path, '\\');
    if (slash) slash[1] = '\0';
    strncat(path, name, size - strlen(path) - 1);
}

double filetime_ms(const FILETIME& t)
{
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 10000.0;
}

// The CPU time of a process as the sum of its threads' times. GetProcessTimes would do on
// Windows, but Wine answers it for another process with the caller's own times; its thread
// times are read from the system for any thread.
double cpu_ms(DWORD process_id)
{
    double sum = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process_id) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        if (!thread) continue;
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) sum += filetime_ms(kernel) + filetime_ms(user);
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return sum;
}

// "1" until the reply says on (a request that comes after the server's read is dropped).
bool switch_on(char* reply)
{
    for (int attempt = 0; attempt < 5; ++attempt)
        if (exchange(worker_pipe, "1", reply, 10000) != Outcome::valid || *reply == '1') break;
    return *reply == '0' || *reply == '1';
}

// Starts tickmend-sim.exe beside us and waits until it serves its pipe and shows its
// window; false (with the reason printed) when it does not. *process is its handle.
bool start_sim(PROCESS_INFORMATION* process)
{
    char sim[MAX_PATH];
    beside_us("tickmend-sim.exe", sim, sizeof sim);
    if (GetFileAttributesA(sim) == INVALID_FILE_ATTRIBUTES) {
        printf("skipped: %s is not built yet\n", sim);
        return false;
    }
    if (GetEnvironmentVariableA("TICKMEND_SIM_MACHINE", nullptr, 0) == 0)
        SetEnvironmentVariableA("TICKMEND_SIM_MACHINE", "two-node");
    char command[MAX_PATH + 8];
    _snprintf(command, sizeof command, "\"%s\"", sim);
    command[sizeof command - 1] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    *process = PROCESS_INFORMATION();
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, process)) {
        printf("tickmend-sim.exe did not start (error %lu)\n", GetLastError());
        return false;
    }
    CloseHandle(process->hThread);
    bool serving = false;
    // WaitNamedPipe returns at once while the name does not exist yet.
    for (DWORD start = GetTickCount(); !serving && GetTickCount() - start < 30000;) {
        serving = WaitNamedPipeA(worker_pipe, 100) && FindWindowA("TICKMEND", nullptr);
        if (!serving && WaitForSingleObject(process->hProcess, 50) == WAIT_OBJECT_0) break;
    }
    DWORD code = 0;
    if (!serving && GetExitCodeProcess(process->hProcess, &code) && code != STILL_ACTIVE)
        printf("tickmend-sim.exe ended with exit code %lu before it served its pipe\n", code);
    else if (!serving)
        printf("tickmend-sim.exe never served its pipe\n");
    return serving;
}

// Closes tickmend-sim.exe with "/k"; by force if it does not go.
void stop_sim(PROCESS_INFORMATION* process)
{
    if (!process->hProcess) return;
    char sim[MAX_PATH], command[MAX_PATH + 8];
    beside_us("tickmend-sim.exe", sim, sizeof sim);
    _snprintf(command, sizeof command, "\"%s\" /k", sim);
    command[sizeof command - 1] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION closer = {};
    if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &closer)) {
        WaitForSingleObject(closer.hProcess, 15000);
        CloseHandle(closer.hProcess);
        CloseHandle(closer.hThread);
    }
    if (WaitForSingleObject(process->hProcess, 15000) != WAIT_OBJECT_0) {
        printf("tickmend-sim.exe did not end after /k; terminated\n");
        TerminateProcess(process->hProcess, 255);
    }
    CloseHandle(process->hProcess);
    process->hProcess = nullptr;
}

// One idle row: tickmend-sim.exe's CPU time over idle_seconds.
void idle_row(DWORD process_id, const char* what)
{
    double before = cpu_ms(process_id);
    Sleep(static_cast<DWORD>(idle_seconds) * 1000);
    double after = cpu_ms(process_id);
    printf("CPU time over %d s, %s: %.1f ms (goal: none); %.1f ms since its start\n", idle_seconds, what,
           after - before, after);
}

// The listed program: this bench under another name, showing a window until it is ended.
int show_window_forever()
{
    HWND window = CreateWindowExA(0, "STATIC", "bench game", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (!window) return 1;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

// The state through the pipe until it is want, at most 10 s.
bool state_becomes(char want)
{
    char reply = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(50))
        if (exchange(worker_pipe, status_query, &reply, 10000) == Outcome::valid && reply == want) return true;
    return false;
}

// Starts count copies of game with a window each; the processes into started (the caller
// ends them with end_games).
void start_games(const char* game, int count, PROCESS_INFORMATION* started)
{
    char command[MAX_PATH + 16];
    _snprintf(command, sizeof command, "\"%s\" --window", game);
    command[sizeof command - 1] = '\0';
    for (int i = 0; i < count; ++i) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        started[i] = PROCESS_INFORMATION();
        if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &started[i]))
            CloseHandle(started[i].hThread);
    }
    // Each has made its window once it waits for input.
    for (int i = 0; i < count; ++i)
        if (started[i].hProcess) WaitForInputIdle(started[i].hProcess, 30000);
}

void end_games(PROCESS_INFORMATION* started, int count)
{
    for (int i = 0; i < count; ++i)
        if (started[i].hProcess) TerminateProcess(started[i].hProcess, 0);
    for (int i = 0; i < count; ++i) {
        if (!started[i].hProcess) continue;
        WaitForSingleObject(started[i].hProcess, 10000);
        CloseHandle(started[i].hProcess);
    }
}

// With bench-game.exe listed: idle with none running, with one running, with 100 running.
bool idle_following(DWORD sim_id)
{
    char self[MAX_PATH], game[MAX_PATH], command[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, self, sizeof self);
    beside_us("bench-game.exe", game, sizeof game);
    static follow_outcome listed;
    if (!CopyFileA(self, game, FALSE) || (follow_list_add(L"bench-game.exe", &listed), listed.change) == follow_change::failed) {
        printf("bench-game.exe could not be made or listed\n");
        return false;
    }
    bool ok = state_becomes('0');
    Sleep(1500); // the follower reads the new list once its edit is over: not idle time
    if (ok) idle_row(sim_id, "bench-game.exe listed, none running, Gaming Mode off");
    _snprintf(command, sizeof command, "\"%s\" --window", game);
    command[sizeof command - 1] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (ok && CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ok = state_becomes('1');
        if (!ok) printf("Gaming Mode did not go on for bench-game.exe\n");
        Sleep(1000); // the on sequence's own work is not idle time
        if (ok) idle_row(sim_id, "bench-game.exe running, Gaming Mode on for it");
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        if (ok && !state_becomes('0')) printf("Gaming Mode stayed on after bench-game.exe ended\n");
    }
    if (ok) {
        static PROCESS_INFORMATION many[100];
        start_games(game, 100, many);
        ok = state_becomes('1');
        if (!ok) printf("Gaming Mode did not go on for 100 bench-game.exe\n");
        Sleep(2000); // the follower's look at each new window and the on sequence are not idle time
        if (ok) idle_row(sim_id, "100 bench-game.exe running, Gaming Mode on for them");
        end_games(many, 100);
        if (ok && !state_becomes('0')) printf("Gaming Mode stayed on after 100 bench-game.exe ended\n");
    }
    follow_list_remove(L"bench-game.exe", &listed);
    DeleteFileA(game);
    return ok;
}

bool bench_idle()
{
    printf("== idle: tickmend-sim.exe with Gaming Mode on and no client, %d s\n", idle_seconds);
    PROCESS_INFORMATION pi = {};
    char sim[MAX_PATH];
    beside_us("tickmend-sim.exe", sim, sizeof sim);
    if (GetFileAttributesA(sim) == INVALID_FILE_ATTRIBUTES) {
        printf("skipped: %s is not built yet\n", sim);
        return true;
    }
    if (!start_sim(&pi)) {
        stop_sim(&pi);
        return false;
    }
    bool ok = false;
    char reply = 0;
    if (!switch_on(&reply)) {
        printf("the \"1\" exchange failed\n");
    } else {
        printf("Gaming Mode after \"1\": %s\n", reply == '1' ? "on" : "off");
        Sleep(1000); // the on sequence's own work is not idle time
        idle_row(pi.dwProcessId, "Gaming Mode on, nothing listed");
        char off = 0;
        ok = exchange(worker_pipe, "0", &off, 10000) == Outcome::valid && idle_following(pi.dwProcessId);
    }
    stop_sim(&pi);
    return ok;
}

// ---- 4b. fairness ----

// The flooding client, a process of its own (the server tells clients apart by process),
// until it is ended: "close" opens the pipe and closes it again in a tight loop; "query"
// asks the state with "?" each time; "hold" opens it and never closes (handles leak).
int flood_forever(const char* how)
{
    const bool query = strcmp(how, "query") == 0, hold = strcmp(how, "hold") == 0;
    for (;;) {
        HANDLE h = CreateFileA(worker_pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || hold) continue;
        if (query) {
            DWORD mode = PIPE_READMODE_MESSAGE, n = 0;
            char reply[16];
            SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
            if (WriteFile(h, status_query, 1, &n, nullptr)) ReadFile(h, reply, sizeof reply, &n, nullptr);
        }
        CloseHandle(h);
    }
}

struct CtlCalls {
    int count = 0;
    double* waited_ms = nullptr;
    int* codes = nullptr;
};

// tickmend-ctl.exe status, one call after another; each call's exit code and wall time.
DWORD WINAPI ctl_caller(void* param)
{
    CtlCalls& calls = *static_cast<CtlCalls*>(param);
    char ctl[MAX_PATH], command[MAX_PATH + 16];
    beside_us("tickmend-ctl.exe", ctl, sizeof ctl);
    _snprintf(command, sizeof command, "\"%s\" status", ctl);
    command[sizeof command - 1] = '\0';
    for (int i = 0; i < calls.count; ++i) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        double t0 = now_us();
        calls.codes[i] = -1;
        if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 60000);
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            calls.codes[i] = static_cast<int>(code);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        calls.waited_ms[i] = (now_us() - t0) / 1000.0;
    }
    return 0;
}

// tickmend-ctl status from callers threads at once, per_caller calls each, one after
// another: each call's wall time into waited and its exit code into codes.
void run_ctl_calls(int callers, int per_caller, double* waited, int* codes)
{
    CtlCalls calls[MAXIMUM_WAIT_OBJECTS];
    HANDLE threads[MAXIMUM_WAIT_OBJECTS];
    if (callers > MAXIMUM_WAIT_OBJECTS) callers = MAXIMUM_WAIT_OBJECTS;
    for (int c = 0; c < callers; ++c) {
        calls[c].count = per_caller;
        calls[c].waited_ms = waited + c * per_caller;
        calls[c].codes = codes + c * per_caller;
        threads[c] = CreateThread(nullptr, 0, ctl_caller, &calls[c], 0, nullptr);
    }
    WaitForMultipleObjects(callers, threads, TRUE, INFINITE);
    for (int c = 0; c < callers; ++c) CloseHandle(threads[c]);
}

bool bench_fairness(const char* how)
{
    constexpr int callers = 3;
    const int per_caller = fairness_calls / callers > 0 ? fairness_calls / callers : 1;
    printf("== fairness: one process reconnecting in a tight loop (%s) against tickmend-sim.exe, while\n"
           "   %d callers run tickmend-ctl status %d times each\n", how, callers, per_caller);
    char ctl[MAX_PATH], self[MAX_PATH], command[MAX_PATH + 32];
    beside_us("tickmend-ctl.exe", ctl, sizeof ctl);
    if (GetFileAttributesA(ctl) == INVALID_FILE_ATTRIBUTES) {
        printf("skipped: %s is not built yet\n", ctl);
        return true;
    }
    PROCESS_INFORMATION sim = {};
    if (!start_sim(&sim)) {
        stop_sim(&sim);
        return false;
    }
    GetModuleFileNameA(nullptr, self, sizeof self);
    _snprintf(command, sizeof command, "\"%s\" --flood %s", self, how);
    command[sizeof command - 1] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION flooder = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &flooder)) {
        printf("the flooding client did not start (error %lu)\n", GetLastError());
        stop_sim(&sim);
        return false;
    }
    Sleep(500); // flooding before the first call
    const int total = callers * per_caller;
    double* waited = static_cast<double*>(malloc(sizeof(double) * total));
    int* codes = static_cast<int*>(malloc(sizeof(int) * total));
    run_ctl_calls(callers, per_caller, waited, codes);
    TerminateProcess(flooder.hProcess, 0);
    WaitForSingleObject(flooder.hProcess, 5000);
    CloseHandle(flooder.hProcess);
    CloseHandle(flooder.hThread);
    stop_sim(&sim);

    int served = 0, refused = 0;
    for (int i = 0; i < total; ++i) {
        if (codes[i] == 0 && waited[i] <= control_pipe_busy_wait_ms()) ++served;
        if (codes[i] == 4) ++refused;
    }
    const double share = 100.0 * served / total;
    const double middle = median(waited, total);
    printf("status calls served within the client's wait (%lu s): %d of %d, %.1f%% (goal at least 95%%): %s\n",
           control_pipe_busy_wait_ms() / 1000, served, total, share, share >= 95.0 ? "met" : "NOT MET");
    printf("median wait of a call:           %.0f ms (goal under 1500 ms): %s\n", middle,
           middle < 1500.0 ? "met" : "NOT MET");
    printf("longest wait of a call:          %.0f ms; refused as not tickmend: %d\n", waited[total - 1], refused);
    free(waited);
    free(codes);
    return share >= 95.0 && middle < 1500.0;
}

// ---- 4c. each process's share, with the clients that exist ----

// One exchange as tickmend-ctl makes it (its wait for a busy pipe); request nullptr sends none.
ControlPipeExchange ctl_like(const char* request)
{
    DWORD error = 0;
    HANDLE h = control_pipe_open(control_pipe_busy_wait_ms(), &error);
    if (h == INVALID_HANDLE_VALUE) return ControlPipeExchange::failed;
    char state = 0;
    ControlPipeExchange result = control_pipe_exchange(h, request, control_pipe_reply_wait_ms(), &state);
    CloseHandle(h);
    return result;
}

// A client process of its own, as the server tells clients apart (pipe_bench --client MODE
// SECONDS); prints its row and exits 0 when the row's goal is met.
//   poll:     once a second, no request, for SECONDS: every one served;
//   burst:    12 status calls back to back, each tried again every 200 ms when refused:
//             each served within 3 s;
//   launcher: status once a second and on/off every 10 s, for SECONDS: at least 95%
//             served at the first try, median wait under 500 ms; launcher-among-togglers the
//             same, its figures printed without a goal;
//   to-end:   status 4 a second for SECONDS, each reply read and then the pipe read on until
//             it ends, as ReadToEnd, f.read() and type do: every one served, the end within
//             50 ms of the reply;
//   toggler:  "1" and "0" in turn, a quarter second apart (200 ms after a refusal);
//   flood:    writes status requests until dropped and reconnects at once (hostile).
int share_client(const char* mode, int seconds)
{
    const DWORD span = static_cast<DWORD>(seconds) * 1000, start = GetTickCount();
    if (strcmp(mode, "poll") == 0) {
        int served = 0, tries = 0;
        for (DWORD next = start; next - start < span; ++tries) {
            served += ctl_like(nullptr) == ControlPipeExchange::done;
            next += 1000; // once a second, start to start
            const DWORD now = GetTickCount();
            if (static_cast<LONG>(next - now) > 0) Sleep(next - now);
        }
        printf("a client polling once a second with no request, %d s: %d of %d served, %.1f%% (goal 100%%): %s\n",
               seconds, served, tries, 100.0 * served / tries, served == tries ? "met" : "NOT MET");
        return served == tries ? 0 : 1;
    }
    if (strcmp(mode, "burst") == 0) {
        double longest = 0;
        int late = 0;
        for (int i = 0; i < 12; ++i) {
            const double asked = now_us();
            while (ctl_like(status_query) != ControlPipeExchange::done && now_us() - asked < 30e6) Sleep(200);
            const double waited = (now_us() - asked) / 1000.0;
            late += waited > 3000.0;
            if (waited > longest) longest = waited;
        }
        printf("one process, 12 status calls back to back, 200 ms retries: longest wait %.0f ms, %d over 3 s (goal "
               "each within 3 s): %s\n", longest, late, late == 0 ? "met" : "NOT MET");
        return late == 0 ? 0 : 1;
    }
    if (strcmp(mode, "launcher") == 0 || strcmp(mode, "launcher-among-togglers") == 0) {
        const bool goal = strcmp(mode, "launcher") == 0;
        double waits[1024];
        int calls = 0, served = 0;
        bool on = false;
        for (int second = 0; second < seconds && calls < 1024; ++second) {
            const char* request = status_query;
            if (second % 10 == 5) request = (on = !on) ? "1" : "0";
            const double t0 = now_us();
            served += ctl_like(request) == ControlPipeExchange::done;
            waits[calls++] = (now_us() - t0) / 1000.0;
            const DWORD spent = static_cast<DWORD>(waits[calls - 1]);
            if (spent < 1000) Sleep(1000 - spent);
        }
        const double share = 100.0 * served / calls, middle = median(waits, calls);
        const bool met = share >= 95.0 && middle < 500.0;
        if (!goal) {
            printf("  the launcher among them (its goals are the row above's): %d of %d served, %.1f%%, median wait "
                   "%.0f ms\n", served, calls, share, middle);
            return 0;
        }
        printf("launcher beside hostile processes: %d of %d served, %.1f%% (goal at least 95%%), median wait %.0f ms "
               "(goal under 500 ms): %s\n", served, calls, share, middle, met ? "met" : "NOT MET");
        return met ? 0 : 1;
    }
    if (strcmp(mode, "to-end") == 0) {
        static double ends[4096];
        int calls = 0, served = 0;
        double last_reply = 0, latest = 0;
        for (double next = now_us(); GetTickCount() - start < span;) {
            // 4 a second, and never sooner than 255 ms after the last reply: the server
            // counts a connection once it is made, so that no 4 of them fall within one second.
            const double due = last_reply + 255e3 > next ? last_reply + 255e3 : next;
            while (now_us() < due) Sleep(1);
            next = due + 250e3;
            DWORD error = 0, got = 0;
            char query[] = "?", reply[32], rest[32];
            HANDLE h = control_pipe_open(control_pipe_busy_wait_ms(), &error);
            bool state = false;
            double end_ms = -1;
            if (h != INVALID_HANDLE_VALUE && control_pipe_transfer(h, TRUE, query, 1, &got, 5000) &&
                control_pipe_transfer(h, FALSE, reply, sizeof reply, &got, 5000)) {
                state = got == 2 && (reply[0] == '0' || reply[0] == '1');
                last_reply = now_us();
                const bool ended = !control_pipe_transfer(h, FALSE, rest, sizeof rest, &got, 5000) &&
                                   GetLastError() == ERROR_BROKEN_PIPE;
                if (ended) end_ms = (now_us() - last_reply) / 1000.0;
            }
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            served += state && end_ms >= 0;
            if (end_ms > latest) latest = end_ms;
            if (calls < 4096) ends[calls] = end_ms < 0 ? 1e9 : end_ms;
            ++calls;
        }
        const double middle = median(ends, calls < 4096 ? calls : 4096);
        const bool met = served == calls && latest <= 50.0;
        printf("a client reading to the end, 4 a second (%.2f a second made), %d s: %d of %d served, %.1f%% (goal "
               "100%%); end of pipe after the reply: median %.1f ms, longest %.1f ms (goal within 50 ms): %s\n",
               calls / (seconds > 0 ? static_cast<double>(seconds) : 1.0), seconds, served, calls,
               100.0 * served / calls, middle, latest, met ? "met" : "NOT MET");
        return met ? 0 : 1;
    }
    if (strcmp(mode, "toggler") == 0) {
        for (bool on = true; GetTickCount() - start < span; on = !on)
            Sleep(ctl_like(on ? "1" : "0") == ControlPipeExchange::refused ? 200 : 250);
        return 0;
    }
    while (GetTickCount() - start < span) { // flood
        HANDLE h = CreateFileA(worker_pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        DWORD n = 0;
        while (WriteFile(h, status_query, 1, &n, nullptr)) {
        }
        CloseHandle(h);
    }
    return 0;
}

int share_seconds = 60;

// Starts pipe_bench --client MODE SECONDS (or --flood close, when seconds is 0).
HANDLE start_client(const char* mode, int seconds)
{
    char self[MAX_PATH], command[MAX_PATH + 64];
    GetModuleFileNameA(nullptr, self, sizeof self);
    if (seconds) _snprintf(command, sizeof command, "\"%s\" --client %s %d", self, mode, seconds);
    else _snprintf(command, sizeof command, "\"%s\" --flood %s", self, mode);
    command[sizeof command - 1] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits for a client that ends by itself; true when it met its goal.
bool client_met(HANDLE client)
{
    DWORD code = 1;
    if (!client) return false;
    if (WaitForSingleObject(client, static_cast<DWORD>(share_seconds) * 1000 + 120000) != WAIT_OBJECT_0)
        TerminateProcess(client, 255);
    GetExitCodeProcess(client, &code);
    CloseHandle(client);
    return code == 0;
}

void end_client(HANDLE client)
{
    if (!client) return;
    TerminateProcess(client, 0);
    WaitForSingleObject(client, 5000);
    CloseHandle(client);
}

bool bench_share()
{
    printf("== each process's share, with the clients that exist, against tickmend-sim.exe (%d s rows)\n",
           share_seconds);
    PROCESS_INFORMATION sim = {};
    if (!start_sim(&sim)) {
        stop_sim(&sim);
        return false;
    }
    // A client that reads to the end, alone (so that its 4 a second are its own); then the
    // poller and the burst side by side: all well behaved, each its own process.
    bool ok = client_met(start_client("to-end", share_seconds));
    HANDLE poll = start_client("poll", share_seconds), burst = start_client("burst", 1);
    ok = client_met(burst) && ok;
    ok = client_met(poll) && ok;

    // A launcher beside a tight reconnect loop and a reconnecting flooder.
    HANDLE loop = start_client("close", 0), flood = start_client("flood", 3 * share_seconds + 60);
    Sleep(500);
    ok = client_met(start_client("launcher", share_seconds)) && ok;

    // The same with 8 togglers, and tickmend-ctl status calls meanwhile.
    HANDLE togglers[8];
    for (HANDLE& t : togglers) t = start_client("toggler", 2 * share_seconds + 60);
    Sleep(500);
    HANDLE launcher = start_client("launcher-among-togglers", share_seconds);
    constexpr int callers = 3;
    const int per_caller = share_seconds / 3 > 0 ? share_seconds / 3 : 1;
    const int total = callers * per_caller;
    double* waited = static_cast<double*>(malloc(sizeof(double) * total));
    int* codes = static_cast<int*>(malloc(sizeof(int) * total));
    run_ctl_calls(callers, per_caller, waited, codes);
    ok = client_met(launcher) && ok;
    for (HANDLE t : togglers) end_client(t);
    end_client(loop);
    end_client(flood);
    stop_sim(&sim);
    int served = 0;
    for (int i = 0; i < total; ++i) served += codes[i] == 0 && waited[i] <= control_pipe_busy_wait_ms();
    const double share = 100.0 * served / total;
    printf("with 8 togglers too: tickmend-ctl status calls served %d of %d, %.1f%% (goal at least 95%%), median "
           "wait %.0f ms: %s\n", served, total, share, median(waited, total), share >= 95.0 ? "met" : "NOT MET");
    free(waited);
    free(codes);
    return ok && share >= 95.0;
}

// ---- 5. size ----

void report_size()
{
    printf("== size\n");
    char path[MAX_PATH];
    beside_us("tickmend.exe", path, sizeof path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        printf("skipped: %s is not built yet\n", path);
        return;
    }
    DWORD bytes = data.nFileSizeLow;
    printf("tickmend.exe: %lu bytes (%.1f KB), goal at most 200 KB: %s\n", bytes, bytes / 1024.0,
           bytes <= 200 * 1024 ? "met" : "NOT MET");
}

int number_after(int argc, char** argv, int i)
{
    return i + 1 < argc ? atoi(argv[i + 1]) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--flood") == 0) return flood_forever(argv[2]);
    if (argc == 2 && strcmp(argv[1], "--window") == 0) return show_window_forever();
    if (argc >= 2 && strcmp(argv[1], "--only-idle") == 0) {
        if (argc == 4 && strcmp(argv[2], "--idle-seconds") == 0) idle_seconds = atoi(argv[3]);
        QueryPerformanceFrequency(&frequency);
        setvbuf(stdout, nullptr, _IONBF, 0);
        return bench_idle() ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "--client") == 0) {
        QueryPerformanceFrequency(&frequency);
        setvbuf(stdout, nullptr, _IONBF, 0);
        return share_client(argv[2], atoi(argv[3]));
    }
    bool only_share = false, only_round_trip = false;
    for (int i = 1; i < argc; i += 2) {
        if (strcmp(argv[i], "--only-round-trip") == 0 || strcmp(argv[i], "--diagnose-round-trip") == 0) {
            only_round_trip = true;
            round_trip_diagnosis = strcmp(argv[i], "--diagnose-round-trip") == 0;
            --i;
            continue;
        }
        if (strcmp(argv[i], "--only-share") == 0) {
            only_share = true;
            --i;
            continue;
        }
        if (strcmp(argv[i], "--only-fairness") == 0 && i + 1 < argc) {
            only_fairness = argv[i + 1];
            continue;
        }
        int n = number_after(argc, argv, i);
        if (n <= 0) {
            fprintf(stderr, "usage: pipe_bench [--round-trips N] [--runs N] [--clients N] [--requests N] [--idle-seconds N] "
                            "[--fairness-calls N] [--only-fairness close|query|hold] [--share-seconds N] [--only-share]\n");
            return 64;
        }
        if (strcmp(argv[i], "--round-trips") == 0) round_trips = n;
        else if (strcmp(argv[i], "--runs") == 0) round_trip_runs = n;
        else if (strcmp(argv[i], "--clients") == 0) clients = n;
        else if (strcmp(argv[i], "--requests") == 0) requests_per_client = n;
        else if (strcmp(argv[i], "--idle-seconds") == 0) idle_seconds = n;
        else if (strcmp(argv[i], "--fairness-calls") == 0) fairness_calls = n;
        else if (strcmp(argv[i], "--share-seconds") == 0) share_seconds = n;
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 64;
        }
    }
    QueryPerformanceFrequency(&frequency);
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (only_fairness) return bench_fairness(only_fairness) ? 0 : 1;
    if (only_share) return bench_share() ? 0 : 1;
    if (only_round_trip) return bench_round_trip() ? 0 : 1;
    bool ok = bench_round_trip();
    ok = bench_load() && ok;
    ok = bench_hostile() && ok;
    ok = bench_idle() && ok;
    for (const char* how : {"close", "query", "hold"}) ok = bench_fairness(how) && ok;
    ok = bench_share() && ok;
    report_size();
    return ok ? 0 : 1;
}
