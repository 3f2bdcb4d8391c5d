#include "worker/worker.h"
#include "worker/worker_testing.h"

#include "common/control_pipe.h"
#include "daemon/daemon.h"
#include "notice/notice.h"
#include "pipe_client.h"
#include "support/fake_daemon.h"
#include "support/test_support.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using pipe_client::Connection;
using pipe_client::exchange;
using pipe_client::held_exchange;
using Strings = std::vector<std::string>;

namespace {

const std::string reply_on("1\0", 2);
const std::string reply_off("0\0", 2);

// Whether any server holds the pipe name now (busy counts as present).
DWORD open_error()
{
    DWORD error = 0;
    Connection c = Connection::open(0, &error);
    return c.valid() ? ERROR_SUCCESS : error;
}

// Runs Qel_WorkerExit on a thread of its own; true when it returned within the limit.
bool exit_returns_within(DWORD ms)
{
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread exiting([done] {
        Qel_WorkerExit();
        SetEvent(done);
    });
    bool returned = WaitForSingleObject(done, ms) == WAIT_OBJECT_0;
    if (returned) exiting.join();
    else exiting.detach(); // the test fails; do not hang the rest
    CloseHandle(done);
    return returned;
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override { fake_daemon::reset(); }
    void TearDown() override { Qel_WorkerExit(); }
    void start()
    {
        ASSERT_EQ(1, Qel_WorkerStart(0, 0));
    }
};

// ---- the exchange ----

TEST_F(Worker, StatusReplyIsTheStateCharacterAndANul)
{
    start();
    EXPECT_EQ(reply_off, exchange());
    fake_daemon::set_game_mode(1);
    EXPECT_EQ(reply_on, exchange());
    // An answer that is no state (not answered in its bound, or not taken) is never "0".
    for (int answer : {game_mode_busy, game_mode_refused}) {
        fake_daemon::set_game_mode(answer);
        EXPECT_EQ(std::string("B\0", 2), exchange()) << answer;
    }
    EXPECT_TRUE(fake_daemon::commands().empty());
}

TEST_F(Worker, QueuedRequestsRunInOrderAndOneReplyFollows)
{
    start();
    EXPECT_EQ(reply_on, held_exchange({"1", "0", "1"}));
    EXPECT_EQ((Strings{"1", "0", "1"}), fake_daemon::commands());
    // Each wish is taken in its turn, and the reply reads the state after the last.
    Strings calls = fake_daemon::calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ((Strings{"DoCommand 1", "IsGameModeOn"}), Strings(calls.end() - 2, calls.end()));

    EXPECT_EQ(reply_off, held_exchange({"0"}));
    EXPECT_EQ(0, fake_daemon::game_mode());
}

TEST_F(Worker, RequestWrittenRightAfterConnectingIsExecuted)
{
    // Nothing holds the server here: its connect wakes it before the client's write
    // arrives, and the request must still be carried out and answered.
    start();
    for (int i = 0; i < 40; ++i) {
        bool on = i % 2 == 0;
        EXPECT_EQ(on ? reply_on : reply_off, exchange({on ? "1" : "0"})) << "exchange " << i;
    }
    EXPECT_EQ(40u, fake_daemon::commands().size());
}

TEST_F(Worker, RequestWrittenLateWithinTheRequestWindowIsExecuted)
{
    // A client whose thread is not scheduled at once: it writes 200 ms after connecting.
    start();
    DWORD error = 0;
    Connection c = Connection::open(10000, &error);
    ASSERT_TRUE(c.valid()) << error;
    Sleep(200);
    ASSERT_TRUE(c.send("1") && c.wait_sent(5000));
    std::string reply;
    ASSERT_TRUE(c.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_on, reply);
    EXPECT_EQ((Strings{"1"}), fake_daemon::commands());
}

TEST_F(Worker, RequestWithOrWithoutItsNulActsTheSame)
{
    start();
    EXPECT_EQ(reply_on, held_exchange({std::string("1\0", 2)}));
    EXPECT_EQ(reply_off, held_exchange({"0"}));
    EXPECT_EQ(reply_on, held_exchange({"1"}));
    EXPECT_EQ((Strings{"1", "0", "1"}), fake_daemon::commands());
}

TEST_F(Worker, OtherTextsAreTakenExactlyAndChangeNothing)
{
    start();
    fake_daemon::set_game_mode(1);
    // A longer text first: a missing terminator would show as "0" taken from "0x".
    EXPECT_EQ(reply_on, held_exchange({"1\n", "on", "01", "0x"}));
    EXPECT_TRUE(fake_daemon::commands().empty());
    EXPECT_EQ(1, fake_daemon::game_mode());
}

// Every request counts against the connection's bound, a wish or not: past sixteen texts
// that change nothing, a wish is read and dropped.
TEST_F(Worker, EveryRequestCountsAgainstTheConnectionsBound)
{
    start();
    for (int before : {15, 16}) {
        fake_daemon::reset();
        std::vector<std::string> requests(before, "?");
        requests.push_back("1");
        EXPECT_EQ(before < 16 ? reply_on : reply_off, held_exchange(requests)) << before << " texts first";
        EXPECT_EQ(before < 16 ? Strings{"1"} : Strings{}, fake_daemon::commands()) << before << " texts first";
    }
}

TEST_F(Worker, RequestAfterTheReplyIsNotExecuted)
{
    start();
    DWORD error = 0;
    Connection c = Connection::open(10000, &error);
    ASSERT_TRUE(c.valid()) << error;
    std::string reply;
    ASSERT_TRUE(c.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_off, reply);
    c.send("1"); // the server may already have gone: either way nothing runs
    c.close();
    EXPECT_EQ(reply_off, exchange());
    EXPECT_TRUE(fake_daemon::commands().empty());
}

TEST_F(Worker, ReplyWaitsForAClientThatReadsLate)
{
    start();
    DWORD error = 0;
    Connection c = Connection::open(10000, &error);
    ASSERT_TRUE(c.valid()) << error;
    Sleep(300); // the reply is in the pipe long before the client reads it
    std::string reply;
    ASSERT_TRUE(c.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_off, reply);
}

TEST_F(Worker, ZeroLengthMessageEndsTheConnectionWithoutReply)
{
    start();
    EXPECT_EQ(reply_off, exchange());
    int states = fake_daemon::count("IsGameModeOn");
    std::string reply = held_exchange({std::string(), "1"});
    EXPECT_EQ("", reply);
    EXPECT_TRUE(fake_daemon::commands().empty());
    EXPECT_EQ(states, fake_daemon::count("IsGameModeOn"));
    EXPECT_EQ(reply_off, exchange()); // the server goes on serving
}

TEST_F(Worker, MessageOverTheLimitIsNotExecutedAndTheReplyFollows)
{
    start();
    // "1" and its NUL lead the message: executing its first 256 bytes would turn Gaming Mode on.
    std::string long_request = std::string("1\0", 2) + std::string(300, 'x');
    EXPECT_EQ(reply_off, held_exchange({long_request, "1"}));
    EXPECT_TRUE(fake_daemon::commands().empty());
    EXPECT_EQ(reply_off, exchange());

    // Exactly 256 bytes is still a request.
    std::string full = "1" + std::string(255, '\0');
    EXPECT_EQ(reply_on, held_exchange({full}));
    EXPECT_EQ((Strings{"1"}), fake_daemon::commands());
}

// ---- clients that do not follow the exchange ----

TEST_F(Worker, ClientsWaitTheirTurnInTheOrderTheyConnected)
{
    start();
    DWORD error = 0;
    // Two clients that send nothing: each holds the server for its request window. The
    // first is served at once, the second connects without waiting and waits its turn.
    Connection first = Connection::open(10000, &error);
    ASSERT_TRUE(first.valid()) << error;
    Sleep(50); // one after the other, as far apart as clients that come on their own
    Connection second = Connection::open(0, &error);
    ASSERT_TRUE(second.valid()) << "the pipe was busy: " << error;
    std::string reply;
    ASSERT_TRUE(first.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_off, reply);
    first.close();
    // While the second is served, three more connect, to whichever instances are free (the
    // first one's among them), and queue what they ask: every other order of serving them
    // gives other replies or another order of commands.
    const char* asked[3] = {"1", "?", "0"};
    std::vector<Connection> waiting;
    for (const char* request : asked) {
        waiting.push_back(Connection::open(0, &error));
        ASSERT_TRUE(waiting.back().valid()) << "the pipe was busy: " << error;
        ASSERT_TRUE(waiting.back().send(request) && waiting.back().wait_sent(5000));
        Sleep(50);
    }
    ASSERT_TRUE(second.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_off, reply) << "a later client's order ran before the second one's reply";
    second.close();
    const std::string expected[3] = {reply_on, reply_on, reply_off};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(waiting[i].receive(&reply, 20000, &error)) << i << ": " << error;
        EXPECT_EQ(expected[i], reply) << "client " << i << " was not served in its turn";
        waiting[i].close();
    }
    EXPECT_EQ((Strings{"1", "0"}), fake_daemon::commands());
}

TEST_F(Worker, ClientThatNeverReadsIsDroppedAndTheNextWaitsItsTurn)
{
    start();
    DWORD error = 0;
    Connection silent = Connection::open(10000, &error);
    ASSERT_TRUE(silent.valid()) << error;
    Sleep(100);
    // The next client finds an instance at once and is served once the silent one is dropped.
    Connection next = Connection::open(0, &error);
    ASSERT_TRUE(next.valid()) << "the pipe was busy: " << error;
    ASSERT_TRUE(next.send("?") && next.wait_sent(5000));
    std::string reply;
    ASSERT_TRUE(next.receive(&reply, 10000, &error)) << error;
    EXPECT_EQ(reply_off, reply);
    // The silent client's connection ended before: what it writes now goes nowhere.
    EXPECT_FALSE(silent.send("1") && silent.wait_sent(5000));
    Sleep(200);
    EXPECT_TRUE(fake_daemon::commands().empty());
}

TEST_F(Worker, ClientsThatCloseAtOnceAreDroppedAndServingGoesOn)
{
    start();
    for (int i = 0; i < 20; ++i) {
        DWORD error = 0;
        Connection c = Connection::open(10000, &error);
        ASSERT_TRUE(c.valid()) << error;
        if (i % 2) c.send("1"); // a request whose client has gone before the reply
    }
    // Each request may or may not have run before its client was seen gone; the state
    // reply says which, and the pipe is still there.
    std::string reply = exchange();
    EXPECT_TRUE(reply == reply_on || reply == reply_off) << reply.size();
    EXPECT_NE(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
}

TEST_F(Worker, PipeNameStaysThroughBackToBackConnections)
{
    start();
    std::atomic<int> missing{0}, bad{0}, good{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                DWORD error = 0;
                Connection c = Connection::open(20000, &error);
                if (!c.valid()) {
                    if (error == ERROR_FILE_NOT_FOUND) ++missing;
                    else ++bad;
                    continue;
                }
                std::string reply;
                c.send("?"); // the state at once, not when the request window closes
                if (c.receive(&reply, 20000, &error) && reply == reply_off) ++good;
                else ++bad;
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(0, missing.load());
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(160, good.load());
}

// ---- each client process's share ----

// One exchange of a client process as the product's client makes it: the open waits as
// long as tickmend-ctl's for a busy pipe. done, refused (the server said so) or silent.
enum class Served { done, refused, silent };
Served child_exchange(const char* request, ControlPipeRefusal* why = nullptr)
{
    DWORD error = 0;
    HANDLE pipe = control_pipe_open(control_pipe_busy_wait_ms(), &error);
    if (pipe == INVALID_HANDLE_VALUE) return Served::silent;
    char state = 0;
    ControlPipeExchange result = control_pipe_exchange(pipe, request, 5000, &state, why);
    CloseHandle(pipe);
    return result == ControlPipeExchange::done ? Served::done
           : result == ControlPipeExchange::refused ? Served::refused : Served::silent;
}

// A client process of its own (the server tells clients apart by process), as
// TICKMEND_WORKER_CHILD names it; prints what it saw.
//   poll:  6 state reads a little faster than one a second, sending no request;
//   burst: 12 state queries back to back, each tried again every 200 ms until served;
//   loop:  opens and closes the pipe in a tight loop (hostile);
//   flood: writes requests until dropped, and reconnects at once (hostile);
//   hold:  opens the pipe in a tight loop and never reads nor closes (hostile);
// a hostile one says it is at work (a release of the semaphore named TICKMEND_WORKER_STOP
// "-ready") and goes on until the event TICKMEND_WORKER_STOP names is set (60 s at most);
//   unread: connections one after another that write nothing and leave their reply unread
//          until the server drops it, until one is refused (longest: the debt it names);
//          then a query every 250 ms until one is served;
//   rate:  5 queries back to back, then one more a second after the first was answered
//          (longest: the connections the refusal names);
//   ignore: 4 queries back to back, then 5 connections that leave what they get unread
//          until dropped (longest: the shortest life of the last 4, in ms);
//   to-end: 8 queries 300 ms apart, each reading its reply and then on until the pipe
//          ends (served: those whose end came as ERROR_BROKEN_PIPE; longest: the latest
//          end after its reply, in ms).
//   unread-then-ask: as unread, but once refused (the refusal read), one query at once;
//   fresh: one connection that writes a query and never reads what comes, until the server
//          ends it (longest: the debt a refusal names; D: dropped before anything came);
//   launcher: README's launcher, 8 times: a query, on a refusal again every 250 ms until
//          served, then a second's pause (longest: the longest wait for a served query);
// order: what each connection got, in turn: S served, R refused, U left unread, - nothing.
TEST(WorkerChild, ClientPattern)
{
    char pattern[16];
    if (!GetEnvironmentVariableA("TICKMEND_WORKER_CHILD", pattern, sizeof pattern)) GTEST_SKIP() << "child only";
    const std::string how = pattern;
    int served = 0, refused = 0, silent = 0;
    DWORD longest = 0;
    std::string order;
    const DWORD start = GetTickCount();
    auto note = [&](Served s) {
        served += s == Served::done, refused += s == Served::refused, silent += s == Served::silent;
        order += s == Served::done ? 'S' : s == Served::refused ? 'R' : '-';
    };
    // Opens, writes a query, and leaves what comes unread until the server ends the
    // connection: its life in ms.
    auto unread_life = [] {
        DWORD error = 0, n = 0, available = 0;
        HANDLE h = control_pipe_open(control_pipe_busy_wait_ms(), &error);
        const DWORD opened = GetTickCount();
        if (h == INVALID_HANDLE_VALUE) return DWORD(0);
        WriteFile(h, "?", 1, &n, nullptr);
        while (PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) && GetTickCount() - opened < 30000) Sleep(1);
        CloseHandle(h);
        return GetTickCount() - opened;
    };
    if (how == "rate") {
        ControlPipeRefusal why;
        DWORD first_answered = 0;
        for (int i = 0; i < 5; ++i) {
            note(child_exchange("?", &why));
            if (i == 0) first_answered = GetTickCount();
        }
        longest = static_cast<DWORD>(why.connects);
        const DWORD since = GetTickCount() - first_answered;
        if (since < 1100) Sleep(1100 - since);
        note(child_exchange("?"));
    } else if (how == "ignore") {
        for (int i = 0; i < 4; ++i) note(child_exchange("?"));
        longest = 0xFFFFFFFF;
        for (int i = 0; i < 5; ++i) {
            const DWORD life = unread_life();
            order += 'U';
            if (i > 0) longest = std::min(longest, life);
        }
    } else if (how == "to-end") {
        for (int i = 0; i < 8; ++i) {
            const DWORD began = GetTickCount();
            DWORD error = 0, got = 0;
            HANDLE h = control_pipe_open(control_pipe_busy_wait_ms(), &error);
            char query[] = "?", reply[32], rest[32];
            if (h == INVALID_HANDLE_VALUE || !control_pipe_transfer(h, TRUE, query, 1, &got, 5000) ||
                !control_pipe_transfer(h, FALSE, reply, sizeof reply, &got, 5000)) {
                note(Served::silent);
            } else {
                const bool state = got == 2 && (reply[0] == '0' || reply[0] == '1');
                const DWORD read_at = GetTickCount();
                error = control_pipe_transfer(h, FALSE, rest, sizeof rest, &got, 5000) ? ERROR_SUCCESS : GetLastError();
                longest = std::max(longest, GetTickCount() - read_at);
                note(error != ERROR_BROKEN_PIPE ? Served::silent
                     : reply[0] == control_pipe_refused_reply ? Served::refused : state ? Served::done : Served::silent);
            }
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            const DWORD spent = GetTickCount() - began;
            if (spent < 300) Sleep(300 - spent); // 3 a second: within the share
        }
    } else if (how == "fresh") {
        DWORD error = 0, got = 0, available = 0, n = 0;
        HANDLE h = control_pipe_open(control_pipe_busy_wait_ms(), &error);
        char peek[32] = {};
        if (h != INVALID_HANDLE_VALUE) WriteFile(h, "?", 1, &n, nullptr);
        while (h != INVALID_HANDLE_VALUE && PeekNamedPipe(h, peek, sizeof peek - 1, &got, &available, nullptr) &&
               got == 0 && GetTickCount() - start < 60000)
            Sleep(5);
        if (h == INVALID_HANDLE_VALUE) {
            note(Served::silent);
        } else if (got < 2) {
            order += 'D'; // dropped at once: a refusal its kind left unread within the second
        } else if (peek[0] == control_pipe_refused_reply) {
            note(Served::refused);
            int connects = 0;
            if (got > 2) sscanf(peek + 2, "%d %lu", &connects, &longest);
        } else {
            order += 'U';
        }
        while (h != INVALID_HANDLE_VALUE && PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) &&
               GetTickCount() - start < 60000)
            Sleep(20);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    } else if (how == "launcher") {
        for (int i = 0; i < 8; ++i) {
            const DWORD asked = GetTickCount();
            Served s;
            while ((s = child_exchange("?")) == Served::refused && GetTickCount() - asked < 20000) {
                order += 'R';
                Sleep(250);
            }
            note(s);
            longest = std::max<DWORD>(longest, GetTickCount() - asked);
            Sleep(1000);
        }
    } else if (how == "poll") {
        for (int i = 0; i < 6; ++i, Sleep(200)) note(child_exchange(nullptr));
    } else if (how == "burst") {
        for (int i = 0; i < 12; ++i) {
            const DWORD asked = GetTickCount();
            for (Served s; note(s = child_exchange("?")), s != Served::done; Sleep(200))
                if (GetTickCount() - asked > 20000) break;
            longest = std::max<DWORD>(longest, GetTickCount() - asked);
        }
    } else if (how == "unread" || how == "unread-then-ask") {
        // Looks at what each connection brings without taking it: a state reply is left
        // unread until the server drops it, the first refusal is read.
        for (int i = 0; i < 6 && !refused && !silent; ++i) {
            DWORD error = 0, got = 0, available = 0;
            HANDLE h = control_pipe_open(10000, &error);
            char peek[32];
            while (h != INVALID_HANDLE_VALUE && PeekNamedPipe(h, peek, sizeof peek, &got, &available, nullptr) &&
                   got == 0 && GetTickCount() - start < 30000)
                Sleep(5);
            ControlPipeRefusal why;
            char state = 0;
            if (got < 2 || peek[0] != control_pipe_refused_reply) {
                silent += h == INVALID_HANDLE_VALUE;
                order += h == INVALID_HANDLE_VALUE ? '-' : 'U';
                while (h != INVALID_HANDLE_VALUE && PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) &&
                       GetTickCount() - start < 30000)
                    Sleep(20);
            } else if (control_pipe_exchange(h, nullptr, 5000, &state, &why) == ControlPipeExchange::refused) {
                ++refused;
                order += 'R';
                longest = why.own_ms;
            } else {
                ++silent;
            }
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
        // Having read the refusal, it has a share of its own, and asks at once.
        if (how == "unread-then-ask") note(child_exchange("?"));
        // Its debt drains: served again, once it has (longer when other processes owe too).
        for (const DWORD refused_at = GetTickCount();
             how == "unread" && refused && GetTickCount() - refused_at < 15000; Sleep(250)) {
            const Served s = child_exchange("?");
            if (s == Served::done) {
                note(s);
                break;
            }
        }
    } else {
        char stop_name[64] = "";
        GetEnvironmentVariableA("TICKMEND_WORKER_STOP", stop_name, sizeof stop_name);
        HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, stop_name);
        HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (std::string(stop_name) + "-ready").c_str());
        while (GetTickCount() - start < 60000 && (!stop || WaitForSingleObject(stop, 0) == WAIT_TIMEOUT)) {
            HANDLE h = CreateFileA(control_pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE && ready) { // at work: said once
                ReleaseSemaphore(ready, 1, nullptr);
                CloseHandle(ready);
                ready = nullptr;
            }
            if (h == INVALID_HANDLE_VALUE || how == "hold") continue; // held until the process ends
            DWORD n = 0;
            if (how == "flood")
                while (WriteFile(h, "?", 1, &n, nullptr)) {
                }
            CloseHandle(h);
        }
        if (stop) CloseHandle(stop);
        if (ready) CloseHandle(ready);
    }
    printf("served %d refused %d silent %d longest %lu order %s\n", served, refused, silent, longest,
           order.empty() ? "none" : order.c_str());
}

struct ChildResult {
    int served = -1, refused = -1, silent = -1;
    unsigned long longest = 0;
    char order[64] = "";
};

// The event that ends the hostile children once their row is judged.
const char hostile_stop_name[] = "tickmend-worker-tests-hostile-stop";

// Runs ClientPattern as a process of its own.
std::thread run_child(const char* pattern, std::string* output)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string child = std::string("\"") + self + "\" --gtest_filter=WorkerChild.ClientPattern";
    return std::thread([child, pattern, output] {
        testing_support::run_capture(child, output,
                                     std::string("TICKMEND_WORKER_CHILD=") + pattern +
                                         "\nTICKMEND_WORKER_STOP=" + hostile_stop_name,
                                     90000);
    });
}

ChildResult child_result(const std::string& output)
{
    ChildResult r;
    const size_t at = output.find("served ");
    if (at != std::string::npos)
        sscanf(output.c_str() + at, "served %d refused %d silent %d longest %lu order %63s", &r.served, &r.refused,
               &r.silent, &r.longest, r.order);
    return r;
}

// The clients that exist: each is served in full, and a refusal is always told; the share's
// rule by its numbers.
TEST_F(Worker, EveryWellBehavedClientPatternIsServedBesideHostileOnes)
{
    struct Row {
        const char* pattern;
        int served;               // of its own exchanges
        const char* order;        // what its connections got, in turn (a regular expression)
        DWORD least, most;        // its "longest" figure within these (0: not checked)
        const char* hostile[2] = {}; // hostile processes meanwhile; this process's 5 queries must be served
    };
    const Row rows[] = {
        {"poll", 6, "S{6}", 0, 0},  // the request window it leaves unused is the server's time
        {"burst", 12, "S{4}R.*", 0, 3000}, // past 4 a second: told, and served again within a second
        // The 4th connection within a second served, the 5th refused (naming 5 connections),
        // served again once the first is a second old.
        {"rate", 5, "S{4}RS", 5, 5},
        // A refusal left unread is waited for 0.1 s; the next ones within the second are not.
        {"ignore", 4, "S{4}U{5}", 0, 99},
        // Reading on after the reply: the end of the pipe comes at once (well before the 0.5
        // s a reply is given; the bench holds it to 50 ms), and it owes nothing.
        {"to-end", 8, "S{8}", 0, 249},
        // Replies left unread: the request windows it let run are its own time too, so that
        // its debt passes the limit within 3 connections; served again once it has drained.
        // (Last of the processes that read: until it has read a reply, its time is that of
        // every process that has not, and the next fresh one's first connection would be
        // refused until that has drained.)
        {"unread", 1, "U{1,3}RS", control_pipe_hold_limit_ms + 1, 0},
        {"", 0, nullptr, 0, 0, {"loop", "flood"}}, // two hostile processes taking turns starve no one
        {"", 0, nullptr, 0, 0, {"hold", nullptr}}, // nor one that holds every instance it can get
    };
    start();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hostile[0] ? row.hostile[0] : row.pattern);
        if (row.hostile[0]) {
            HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, hostile_stop_name);
            HANDLE ready = CreateSemaphoreA(nullptr, 0, 2, (std::string(hostile_stop_name) + "-ready").c_str());
            ASSERT_TRUE(stop && ready);
            std::string outputs[2];
            std::vector<std::thread> children;
            for (int i = 0; i < 2; ++i)
                if (row.hostile[i]) children.push_back(run_child(row.hostile[i], &outputs[i]));
            for (int i = 0; i < (row.hostile[1] ? 2 : 1); ++i)
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000)) << "a hostile process never got the pipe";
            int served = 0;
            for (int i = 0; i < 5; ++i) served += child_exchange("?") == Served::done;
            SetEvent(stop);
            for (std::thread& child : children) child.join();
            CloseHandle(stop);
            CloseHandle(ready);
            EXPECT_EQ(5, served);
            continue;
        }
        std::string output;
        run_child(row.pattern, &output).join();
        const ChildResult r = child_result(output);
        EXPECT_EQ(row.served, r.served) << output;
        EXPECT_EQ(0, r.silent) << "refused without being told: " << output;
        EXPECT_TRUE(std::regex_match(r.order, std::regex(row.order))) << output;
        if (row.least) {
            EXPECT_GE(r.longest, row.least) << output;
        }
        if (row.most) {
            EXPECT_LE(r.longest, row.most) << output;
        }
    }
}

// Clients that never read, each in a process of its own started for it, keep to the half of
// the pipe's time that all never-read clients share: a process that has not read a reply has
// no share of its own, so a fresh process is refused on its very first connection once those
// before it left enough unread (the refusal names their debt). README's launcher, which reads
// its replies, is served beside them every time.
TEST_F(Worker, FreshProcessesThatNeverReadShareOneShareBesideALauncher)
{
    start();
    // A new process that leaves its replies unread has the newcomers' time, not its own: once
    // it has read a refusal, it has its own share, and is served when it asks at once.
    std::string output;
    run_child("unread-then-ask", &output).join();
    const ChildResult own = child_result(output);
    EXPECT_TRUE(std::regex_match(own.order, std::regex("U{1,3}RS"))) << output;
    std::string launcher_output;
    std::thread launcher = run_child("launcher", &launcher_output);
    int refused_at_once = 0;
    unsigned long debt_named = 0;
    for (int batch = 0; batch < 4 && !refused_at_once; ++batch) {
        std::string outputs[10];
        std::vector<std::thread> fresh;
        for (std::string& output : outputs) fresh.push_back(run_child("fresh", &output));
        for (std::thread& child : fresh) child.join();
        for (const std::string& output : outputs) {
            const ChildResult r = child_result(output);
            EXPECT_EQ(0, r.silent) << output;
            refused_at_once += r.refused;
            if (r.refused) debt_named = std::max(debt_named, r.longest);
        }
    }
    launcher.join();
    EXPECT_LT(0, refused_at_once) << "every fresh process had a share of its own";
    EXPECT_GT(debt_named, static_cast<unsigned long>(control_pipe_hold_limit_ms));
    const ChildResult r = child_result(launcher_output);
    EXPECT_EQ(8, r.served) << launcher_output;
    EXPECT_EQ(0, r.silent) << launcher_output;
    printf("fresh processes refused on their first connection: %d; the launcher's longest wait: %lu ms (%s)\n",
           refused_at_once, r.longest, r.order);
}

// ---- start and exit ----

TEST_F(Worker, PipeExistsWhenStartReturnsAndGoesWithExit)
{
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
    start();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), open_error());
    Qel_WorkerExit();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
    EXPECT_EQ((Strings{"DaemonStart", "DaemonExit"}), fake_daemon::calls());
}

TEST_F(Worker, ExitWhileWaitingForAClientEndsTheThreadAtOnce)
{
    start();
    EXPECT_TRUE(exit_returns_within(10000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
}

TEST_F(Worker, ExitWhileAClientKeepsItsReplyUnreadDoesNotWaitForIt)
{
    start();
    DWORD error = 0;
    Connection silent = Connection::open(10000, &error);
    ASSERT_TRUE(silent.valid()) << error;
    ASSERT_TRUE(silent.send("1"));
    // Within the client's five seconds of grace: the stop event ends the wait.
    EXPECT_TRUE(exit_returns_within(3000));
    EXPECT_EQ("DaemonExit", fake_daemon::calls().back());
}

TEST_F(Worker, ExitWaitsForARunningRequestBeforeTheDaemonExits)
{
    start();
    EXPECT_EQ(reply_off, exchange()); // learns the pipe thread for held_exchange
    fake_daemon::set_command_delay(1000);
    std::thread client([] { held_exchange({"1"}); });
    for (int i = 0; i < 1000 && fake_daemon::commands_begun() == 0; ++i) Sleep(10);
    ASSERT_EQ(1, fake_daemon::commands_begun());
    Qel_WorkerExit();
    client.join();
    Strings calls = fake_daemon::calls();
    auto command = std::find(calls.begin(), calls.end(), "DoCommand 1");
    auto exit = std::find(calls.begin(), calls.end(), "DaemonExit");
    ASSERT_NE(calls.end(), command);
    ASSERT_NE(calls.end(), exit);
    EXPECT_LT(command, exit);
    EXPECT_EQ(1, fake_daemon::count("DaemonExit"));
}

TEST_F(Worker, SecondStartWhileRunningReturnsOneAndStartsNothing)
{
    start();
    EXPECT_EQ(1, Qel_WorkerStart(0, 0));
    EXPECT_EQ(1, fake_daemon::count("DaemonStart"));
    EXPECT_EQ(reply_off, exchange());
    Qel_WorkerExit();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
    // Stopped: the next start starts the daemon and the pipe again.
    EXPECT_EQ(1, Qel_WorkerStart(0, 0));
    EXPECT_EQ(2, fake_daemon::count("DaemonStart"));
    EXPECT_EQ(reply_off, exchange());
}

TEST_F(Worker, UnavailableOrFailedDaemonGivesZeroAndNoPipe)
{
    fake_daemon::reset(1, 0);
    EXPECT_EQ(0, Qel_WorkerStart(0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());

    fake_daemon::reset(0, 1);
    EXPECT_EQ(0, Qel_WorkerStart(0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), open_error());
    EXPECT_EQ((Strings{"DaemonStart"}), fake_daemon::calls());

    // Exit with no worker running only exits the daemon.
    Qel_WorkerExit();
    EXPECT_EQ((Strings{"DaemonStart", "DaemonExit"}), fake_daemon::calls());
}

TEST_F(Worker, NameHeldByAnotherServerIsReportedAndTakenOnceItGoes)
{
    const unsigned taken = 1u << NOTICE_PIPE_NAME_TAKEN;
    // One instance, as ours: the name cannot be shared. (Wine ignores
    // FILE_FLAG_FIRST_PIPE_INSTANCE, so one of more instances would be joined there.)
    HANDLE other = CreateNamedPipeA(control_pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                    1, 256, 256, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_EQ(1, Qel_WorkerStart(0, 0)); // the daemon runs; the pipe is not ours yet
    EXPECT_TRUE(notice_raised() & taken);
    char text[256];
    notice_text(NOTICE_PIPE_NAME_TAKEN, text, sizeof text);
    EXPECT_NE(nullptr, strstr(text, ("(process " + std::to_string(GetCurrentProcessId()) + ")").c_str())) << text;
    // Stopped while it waits for the name: at once, and the warning goes with the worker.
    EXPECT_TRUE(exit_returns_within(3000));
    EXPECT_FALSE(notice_raised() & taken);

    // Started again (a console reconnect) while the name is still taken; then the other goes.
    EXPECT_EQ(1, Qel_WorkerStart(0, 0));
    EXPECT_TRUE(notice_raised() & taken);
    CloseHandle(other);
    std::string reply;
    for (DWORD start = GetTickCount(); reply.empty() && GetTickCount() - start < 15000; Sleep(100)) reply = exchange();
    EXPECT_EQ(reply_off, reply);
    EXPECT_FALSE(notice_raised() & taken);
}

// ---- who may use the pipe ----

void expect_ace(PACL acl, DWORD index, BYTE type, DWORD mask, BYTE authority, DWORD rid, const char* trustee)
{
    SCOPED_TRACE(trustee);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, index, &ace));
    // An access-denied entry has the allowed one's layout.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(type, entry->Header.AceType);
    EXPECT_EQ(mask, entry->Mask);
    PSID sid = &entry->SidStart;
    ASSERT_TRUE(IsValidSid(sid));
    EXPECT_EQ(1, *GetSidSubAuthorityCount(sid));
    EXPECT_EQ(rid, *GetSidSubAuthority(sid, 0));
    SID_IDENTIFIER_AUTHORITY* id = GetSidIdentifierAuthority(sid);
    const BYTE expected[6] = {0, 0, 0, 0, 0, authority};
    EXPECT_EQ(0, memcmp(id->Value, expected, 6));
}

// This process's user, as its token names it.
std::vector<BYTE> token_user()
{
    HANDLE token = nullptr;
    std::vector<BYTE> info(512);
    DWORD got = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenUser, info.data(), static_cast<DWORD>(info.size()), &got);
        CloseHandle(token);
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
    return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

// NETWORK (S-1-5-2) denied before anyone is allowed: a deny entry after an allow entry that
// matches would never be reached. Everyone reads and writes, but may not add instances of
// our pipe (FILE_CREATE_PIPE_INSTANCE, 4); this user and SYSTEM have all.
void expect_pipe_dacl(PACL acl)
{
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
    ASSERT_EQ(4u, size.AceCount);
    expect_ace(acl, 0, ACCESS_DENIED_ACE_TYPE, 0x1F01FF, 5, 2, "NETWORK");
    expect_ace(acl, 1, ACCESS_ALLOWED_ACE_TYPE, 0x12019F & ~FILE_CREATE_PIPE_INSTANCE, 1, 0, "Everyone");
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 2, &ace));
    auto* user = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, user->Header.AceType);
    EXPECT_EQ(0x1F01FFu, user->Mask);
    EXPECT_TRUE(EqualSid(&user->SidStart, token_user().data())) << "the user entry is not this user's";
    expect_ace(acl, 3, ACCESS_ALLOWED_ACE_TYPE, 0x1F01FF, 5, 18, "SYSTEM");
}

TEST(PipeAcl, NetworkIsDeniedFirstEveryoneReadsAndWritesOnlyThisUserAndSystemAddInstances)
{
    DWORD buffer[48];
    memset(buffer, 0xAA, sizeof buffer);
    DWORD size = sizeof buffer;
    PACL acl = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(build_pipe_acl(acl, &size));
    const DWORD expected = 8 + 4 * 8 + 3 * 12 + static_cast<DWORD>(token_user().size());
    EXPECT_EQ(expected, size);
    EXPECT_EQ(ACL_REVISION, acl->AclRevision);
    EXPECT_EQ(expected, acl->AclSize);
    EXPECT_TRUE(IsValidAcl(acl));
    expect_pipe_dacl(acl);
}

TEST(PipeAcl, SmallBufferIsRefusedWithTheSizeNeededAndLeftAlone)
{
    DWORD buffer[48];
    memset(buffer, 0xAA, sizeof buffer);
    DWORD size = 64;
    EXPECT_FALSE(build_pipe_acl(reinterpret_cast<PACL>(buffer), &size));
    EXPECT_EQ(8 + 4 * 8 + 3 * 12 + token_user().size(), size);
    EXPECT_EQ(0xAAAAAAAAu, buffer[0]);
}

TEST_F(Worker, PipeCarriesTheBuiltDacl)
{
    start();
    DWORD error = 0;
    Connection c = Connection::open(10000, &error, READ_CONTROL);
    ASSERT_TRUE(c.valid()) << error;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = GetSecurityInfo(c.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   &dacl, nullptr, &descriptor);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), result);
    ASSERT_NE(nullptr, dacl);
    expect_pipe_dacl(dacl);
    LocalFree(descriptor);
}

} // namespace
