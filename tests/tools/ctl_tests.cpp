#include "worker/worker.h"

#include "fake_daemon.h"
#include "pipe_client.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using testing_support::product_path;
using testing_support::run_capture;
using Strings = std::vector<std::string>;

namespace {

const char* const pipe_name = "\\\\.\\pipe\\QelTscPipe";
const char* const not_running =
    "tickmend is not running, or this machine has a single processor node (no Gaming Mode here).";

std::string ctl_path()
{
    return "\"" + product_path("tickmend-ctl.exe") + "\"";
}

// Runs tickmend-ctl; the exit code, and its output with line ends made plain.
int ctl(const std::string& args, std::string* output, const std::string& env = "")
{
    int code = run_capture(ctl_path() + " " + args, output, env);
    std::string plain;
    for (char c : *output)
        if (c != '\r') plain += c;
    *output = plain;
    return code;
}

bool ctl_built()
{
    return GetFileAttributesA(product_path("tickmend-ctl.exe").c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A server of our own making: one instance, answers every client with the given bytes.
class HandMadeServer {
public:
    explicit HandMadeServer(std::string reply) : reply_(std::move(reply))
    {
        pipe_ = CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 1, 256, 256, 0, nullptr);
    }
    ~HandMadeServer()
    {
        if (thread_.joinable()) {
            // Wake a ConnectNamedPipe that waits for nobody, then let the thread end.
            HANDLE poke = CreateFileA(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            stop_ = true;
            if (poke != INVALID_HANDLE_VALUE) CloseHandle(poke);
            thread_.join();
        }
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    }
    bool valid() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Serves clients on a thread until the server goes: answers, waits for the client to close.
    void serve()
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) break;
                if (stop_) break;
                DWORD n = 0;
                WriteFile(pipe_, reply_.data(), static_cast<DWORD>(reply_.size()), &n, nullptr);
                char sink[300];
                while (ReadFile(pipe_, sink, sizeof sink, &n, nullptr) || GetLastError() == ERROR_MORE_DATA) {
                }
                DisconnectNamedPipe(pipe_);
            }
        });
    }
    // Takes one client and keeps it connected, never answering: the pipe stays busy.
    HANDLE hold_with_client()
    {
        HANDLE client = CreateFileA(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ConnectNamedPipe(pipe_, nullptr);
        return client;
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::string reply_;
    std::thread thread_;
    volatile bool stop_ = false;
};

// The pipe is served in this process: it is tickmend to the client while it holds a
// window of tickmend's class, as the program does.
class Ctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ctl_built()) GTEST_SKIP() << "tickmend-ctl.exe is not built in " << product_path("");
        fake_daemon::reset();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TICKMEND";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, "TICKMEND", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                                  nullptr);
        ASSERT_NE(nullptr, window_);
    }
    void TearDown() override
    {
        Qel_WorkerExit();
        if (window_) DestroyWindow(window_);
    }
    std::string output_;
    HWND window_ = nullptr;
};

TEST_F(Ctl, StatusPrintsTheStateAndSendsOnlyAQuery)
{
    ASSERT_EQ(1, Qel_WorkerStart(0, 0));
    EXPECT_EQ(0, ctl("status", &output_));
    EXPECT_EQ("Gaming Mode: off\n", output_);
    fake_daemon::set_game_mode(1);
    EXPECT_EQ(0, ctl("status", &output_));
    EXPECT_EQ("Gaming Mode: on\n", output_);
    // The query is a text the daemon ignores: it only makes the server answer at once.
    EXPECT_EQ((std::vector<std::string>{"?", "?"}), fake_daemon::commands());
    EXPECT_EQ(1, fake_daemon::game_mode());
}

TEST_F(Ctl, OnAndOffSendTheirCommandAndPrintTheNewState)
{
    ASSERT_EQ(1, Qel_WorkerStart(0, 0));
    EXPECT_EQ(0, ctl("on", &output_));
    EXPECT_EQ("Gaming Mode: on\n", output_);
    EXPECT_EQ(1, fake_daemon::game_mode());
    EXPECT_EQ((Strings{"1"}), fake_daemon::commands());

    EXPECT_EQ(0, ctl("off", &output_));
    EXPECT_EQ("Gaming Mode: off\n", output_);
    EXPECT_EQ((Strings{"1", "0"}), fake_daemon::commands());
}

TEST_F(Ctl, NoServerExitsTwoWithAPlainMessage)
{
    EXPECT_EQ(2, ctl("status", &output_));
    EXPECT_EQ(std::string(not_running) + "\n", output_);
    EXPECT_EQ(2, ctl("on", &output_));
    // The daemon of a worker that runs without Gaming Mode: no pipe either.
    fake_daemon::reset(1, 0);
    EXPECT_EQ(0, Qel_WorkerStart(0, 0));
    EXPECT_EQ(2, ctl("off", &output_));
    EXPECT_TRUE(fake_daemon::commands().empty());
}

TEST_F(Ctl, MalformedRepliesExitOne)
{
    const std::string replies[] = {std::string("1\0x", 3), std::string("2\0", 2), "1", std::string("1\0", 2) + std::string(40, 'y')};
    for (const std::string& reply : replies) {
        SCOPED_TRACE(testing::PrintToString(reply));
        HandMadeServer server(reply);
        ASSERT_TRUE(server.valid());
        server.serve();
        EXPECT_EQ(1, ctl("status", &output_));
        EXPECT_EQ(std::string::npos, output_.find("Gaming Mode:")) << output_;
    }
    // The same server with a well-formed reply is believed.
    HandMadeServer server(std::string("1\0", 2));
    server.serve();
    EXPECT_EQ(0, ctl("status", &output_));
    EXPECT_EQ("Gaming Mode: on\n", output_);
}

TEST_F(Ctl, BusyPipeIsWaitedFor)
{
    ASSERT_EQ(1, Qel_WorkerStart(0, 0));
    HANDLE holder = CreateFileA(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    std::thread release([holder] {
        Sleep(1500);
        char reply[4];
        DWORD n;
        ReadFile(holder, reply, sizeof reply, &n, nullptr);
        CloseHandle(holder);
    });
    EXPECT_EQ(0, ctl("on", &output_));
    release.join();
    EXPECT_EQ("Gaming Mode: on\n", output_);
    EXPECT_EQ((Strings{"1"}), fake_daemon::commands());
}

TEST_F(Ctl, PipeBusyForTooLongGivesUpWithOne)
{
    HandMadeServer server(std::string("1\0", 2));
    ASSERT_TRUE(server.valid());
    HANDLE holder = server.hold_with_client();
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(1, ctl("status", &output_));
    EXPECT_NE(std::string::npos, output_.find("busy")) << output_;
    CloseHandle(holder);
}

TEST_F(Ctl, ClientsThatHoldOrFloodThePipeDoNotMakeItFail)
{
    ASSERT_EQ(1, Qel_WorkerStart(0, 0));
    // Connects and never writes, reads or closes.
    HANDLE idle = CreateFileA(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, idle);
    EXPECT_EQ(0, ctl("status", &output_)) << output_;
    CloseHandle(idle);

    // Keeps 64 requests queued and never reads: cut off after its share, then we are served.
    DWORD error = 0;
    pipe_client::Connection flood = pipe_client::Connection::open(10000, &error);
    ASSERT_TRUE(flood.valid()) << error;
    for (int i = 0; i < 64; ++i) flood.send(i % 2 ? "0" : "1");
    EXPECT_EQ(0, ctl("status", &output_)) << output_;
    Strings commands = fake_daemon::commands();
    EXPECT_GE(commands.size(), 3u) << "the flood was not served at all";
    EXPECT_LE(commands.size(), 2u + 16u) << "more than 16 requests of one connection ran";
    EXPECT_EQ("?", commands.back());
}

TEST_F(Ctl, ServerThatIsNotTickmendIsToldNothingAndExitsThree)
{
    DestroyWindow(window_);
    window_ = nullptr;
    HandMadeServer server(std::string("1\0", 2));
    ASSERT_TRUE(server.valid());
    server.serve();
    EXPECT_EQ(3, ctl("on", &output_));
    EXPECT_NE(std::string::npos, output_.find("process " + std::to_string(GetCurrentProcessId()) +
                                              ", which is not a running tickmend"))
        << output_;
    EXPECT_EQ(std::string::npos, output_.find("Gaming Mode:")) << output_;
}

TEST_F(Ctl, UsageErrorsAndHelp)
{
    EXPECT_EQ(64, ctl("", &output_));
    EXPECT_NE(std::string::npos, output_.find("usage: tickmend-ctl")) << output_;
    EXPECT_EQ(64, ctl("toggle", &output_));
    EXPECT_EQ(64, ctl("status on", &output_));
    EXPECT_EQ(0, ctl("--help", &output_));
    EXPECT_NE(std::string::npos, output_.find("TICKMEND_SIM_MACHINE")) << output_;
}

TEST_F(Ctl, TopologyOfSimulatedMachinesNamesTheirRole)
{
    EXPECT_EQ(0, ctl("topology", &output_, "TICKMEND_SIM_MACHINE=four-node"));
    EXPECT_NE(std::string::npos, output_.find("nodes: 4\n")) << output_;
    EXPECT_NE(std::string::npos, output_.find("role: 4 nodes: Gaming Mode is offered\n")) << output_;
    // Eight processors, one row each.
    EXPECT_NE(std::string::npos, output_.find("\n    7     3     1     7\n")) << output_;
    EXPECT_EQ(std::string::npos, output_.find("\n    8 ")) << output_;

    EXPECT_EQ(0, ctl("topology", &output_, "TICKMEND_SIM_MACHINE=one-node"));
    EXPECT_NE(std::string::npos, output_.find("role: one node: drift compensation is registered, no Gaming Mode\n"))
        << output_;
    EXPECT_EQ(0, ctl("topology", &output_, "TICKMEND_SIM_MACHINE=single-cpu"));
    EXPECT_NE(std::string::npos, output_.find("role: single processor: nothing to do\n")) << output_;
}

} // namespace
