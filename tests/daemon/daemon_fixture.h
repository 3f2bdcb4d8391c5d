// A daemon on a simulated machine: loads the machine, installs it, and leaves the daemon
// exited and the real processors back in place afterwards.
#pragma once
#include "daemon/daemon.h"
#include "daemon/daemon_testing.h"
#include "platform/seam.h"
#include "smp_enum/smp_enum.h"
#include "sim/sim.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace daemon_testing {

// The stand-in driver's log lines, in order, that start with prefix ("" for all).
inline std::vector<std::string> log_lines(const char* prefix = "")
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < sim_log_size(); ++i) {
        std::string line = sim_log_line(i);
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
}

// The value of a "key=value" field of a log line, "" when absent.
inline std::string field(const std::string& line, const char* key)
{
    std::string k = std::string(" ") + key + "=";
    size_t at = line.find(k);
    if (at == std::string::npos) return "";
    at += k.size();
    return line.substr(at, line.find(' ', at) - at);
}

inline std::vector<std::string> fields(const std::vector<std::string>& lines, const char* key)
{
    std::vector<std::string> values;
    for (const std::string& line : lines) values.push_back(field(line, key));
    return values;
}

class DaemonOnMachine : public ::testing::Test {
protected:
    void load(const char* machine)
    {
        char error[256] = "";
        ASSERT_TRUE(sim_load_machine(machine, error, sizeof error)) << error;
        sim_install();
        smp_reset_table();
    }
    // Whatever a test leaves owed (a failed restore) is not given back at the next test's start.
    // The key may have subkeys (the list of followed programs): it goes with them.
    void SetUp() override { testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill"); }
    void TearDown() override
    {
        Qel_DaemonExit();
        testing_support::delete_tree(HKEY_CURRENT_USER, "Software\\QEL\\qel_pacemill");
        InterlockedExchange(&scheme_changed_externally, 0);
        platform_install(nullptr, nullptr);
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    }
};

} // namespace daemon_testing
