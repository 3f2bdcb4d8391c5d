// The log of the stand-in driver's requests: one line each, kept in memory for tests and
// appended to the file TICKMEND_SIM_LOG names for other processes.
#include "sim/sim.h"
#include "sim/state.h"
#include "common/handle.h"

namespace {

// Appends one line to the file TICKMEND_SIM_LOG names now, opened and closed for this line
// alone, so that other processes writing and reading the same file see whole lines. Wine's
// appends are not atomic between processes (two of them can land at the same end), so the
// writers of every process take one named mutex around the append.
void append_to_log_file(SimState& s, const std::string& line)
{
    char path[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("TICKMEND_SIM_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    if (!s.log_file_mutex) s.log_file_mutex = CreateMutexA(nullptr, FALSE, "tickmend-sim-log-append");
    const bool locked = s.log_file_mutex && WaitForSingleObject(s.log_file_mutex, 10000) != WAIT_TIMEOUT;
    tk::scope_exit unlock([&s, locked] {
        if (locked) ReleaseMutex(s.log_file_mutex);
    });
    tk::unique_hfile file(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

void log_request(SimState& s, const std::string& line)
{
    s.log.push_back(line);
    append_to_log_file(s, line);
}

size_t sim_log_size()
{
    SimLocked s;
    return s->log.size();
}

const char* sim_log_line(size_t i)
{
    SimLocked s;
    return i < s->log.size() ? s->log[i].c_str() : nullptr;
}

void sim_log_clear()
{
    SimLocked s;
    s->log.clear();
}
