// What the end-to-end fixtures share: the program's keys and pipe, the power plans of the
// powercfg stand-in, the reading of logs and of the client's words, and the Program fixture
// (one simulated machine, one log file, and the processes started on it).
#pragma once

#include "app/resource.h"
#include "common/control_pipe.h"
#include "registry/registry.h"
#include "support/test_support.h"
#include "support/wizard.h"
#include "tickmend_version.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <map>
#include <atomic>
#include <cstdlib>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <set>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace testing_support;

inline constexpr const char* user_key = "Software\\QEL\\qel_pacemill";
inline constexpr const char* pipe_name = "\\\\.\\pipe\\QelTscPipe";
inline constexpr const char* machine_key = "SOFTWARE\\QEL\\qel_pacemill";

inline constexpr const char* powercfg_state = "Software\\tickmend-sim\\powercfg";
inline constexpr const char* powrprof_state = "Software\\tickmend-sim\\powrprof";
inline constexpr const char* power_saver = "a1841308-3541-4fab-bc81-f71556f20b4a";
inline constexpr const char* high_performance = "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";
inline constexpr const char* balanced = "381b4222-f694-41f0-9685-ff5bb260df2e";

// The lines of log that start with prefix, each ending in '\n'; how many there are.
std::string lines_starting(const std::string& log, const char* prefix);
int count_lines(const std::string& log, const char* prefix);
// The text with every run of white space made one space: the client wraps its sentences at
// 79 columns, and a sentence is looked for whatever line it was wrapped onto.
std::string squeezed(const std::string& text);
std::string registry_text(HKEY root, const char* key, const char* name);
// The powercfg stand-in's plans as on a fresh Vista, with plan (a GUID) the active one.
bool power_plans_start_at(const char* plan);
// The stand-in tool's runs since the log was last cleared, e.g. "-s <guid>".
std::vector<std::string> powercfg_runs();
// Runs tickmend-sim.exe (from the Start Menu's shortcut when from_shortcut) until it shows
// its message box, reads and closes the box; the exit code (99 when it did not end), and the
// box's text ("" when none came).
DWORD run_to_its_box(const std::string& command, const std::string& env, bool from_shortcut, std::string* text);
// follow_target.exe copied under name into the temporary folder: its full path. Started with
// "TITLE" it runs until ended; with "TITLE MS" its window closes after MS milliseconds.
std::string follow_target_copy(const char* name);

// One simulated machine, one log file, and the processes started on it.
class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A parameterized test's name holds a '/', which no file name does.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (c == '/') c = '-';
        log_path_ = temp_path(name.c_str());
        state_path_ = log_path_ + ".counters"; // a machine switched on afresh
        delete_tree(HKEY_CURRENT_USER, user_key);
        delete_tree(HKEY_LOCAL_MACHINE, machine_key);
    }
    void TearDown() override
    {
        if (instance_) {
            // Whatever the test left running goes: "/k" first, then by force.
            run_process(sim_command("/k"), env());
            if (WaitForSingleObject(instance_, 15000) != WAIT_OBJECT_0) TerminateProcess(instance_, 255);
            CloseHandle(instance_);
        }
        key_read_only(HKEY_CURRENT_USER, user_key, false);
        delete_tree(HKEY_CURRENT_USER, user_key);
        delete_tree(HKEY_LOCAL_MACHINE, machine_key);
        DeleteFileA(log_path_.c_str());
        DeleteFileA(state_path_.c_str());
    }

    std::string env() const
    {
        return "TICKMEND_SIM_MACHINE=" + machine_ + "\nTICKMEND_SIM_LOG=" + log_path_ +
               "\nTICKMEND_SIM_STATE=" + state_path_ + extra_env_;
    }
    static std::string sim_command(const char* args = "")
    {
        std::string cmd = "\"" + product_path("tickmend-sim.exe") + "\"";
        if (*args) cmd += std::string(" ") + args;
        return cmd;
    }
    // Runs tickmend-ctl-sim with arguments; returns its exit code and keeps its output.
    int ctl(const char* args)
    {
        return run_capture("\"" + product_path("tickmend-ctl-sim.exe") + "\" " + args, &ctl_output_, env());
    }
    // Starts the resident program and waits until its pipe answers and its window exists
    // (the pipe comes first: the window is made after the worker has started).
    void start_instance()
    {
        instance_ = start_process(sim_command(), env());
        ASSERT_TRUE(instance_) << "tickmend-sim.exe did not start";
        for (int i = 0; i < 200; ++i) {
            if (WaitNamedPipeA("\\\\.\\pipe\\QelTscPipe", 50) && FindWindowA("TICKMEND", nullptr)) return;
            ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(instance_, 50))
                << "the instance ended before it served its pipe";
        }
        FAIL() << "the pipe or the window never appeared";
    }
    // Ends the instance with "/k": the "/k" process exits 1, the instance 0.
    void close_instance()
    {
        EXPECT_EQ(1, run_process(sim_command("/k"), env()));
        instance_ends_well();
    }
    // Waits for the instance, which something has told to end, and expects exit code 0.
    void instance_ends_well()
    {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(instance_, 15000)) << "the instance did not end";
        DWORD code = 99;
        GetExitCodeProcess(instance_, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(instance_);
        instance_ = nullptr;
    }
    std::string log() const { return read_file(log_path_); }
    static DWORD stored_start_mode()
    {
        DWORD value = 0xDEAD;
        GetRegistryValue(HKEY_CURRENT_USER, user_key, "start_mode", &value, 4);
        return value;
    }

    std::string machine_ = "two-node";
    std::string extra_env_; // more of the environment, each line starting with "\n"
    std::string log_path_;
    std::string state_path_;
    std::string ctl_output_;
    HANDLE instance_ = nullptr;
};

} // namespace e2e
