// How close tickmend-ctl skew gets on this machine's processors, against the same midpoint
// method written here bare (midpoint.h: two threads bound with SetThreadAffinityMask, TSC
// reads ordered as the product orders them, the shortest of as many round trips), and the
// median offset of each (on one shared counter the true offset is 0, so a median far from it
// is a bias). The bare measurement runs in two layouts: a cache line per side, as skew has
// it, and one line both sides write, as skew had it, whose bias the native reference
// (native_midpoint, the same loops without Wine; scripts/bench runs it) shows as well. And
// how long a whole skew run takes on 2 processors (this machine's, and a simulated
// one-node) and on 8 (simulated four-node). The measurements alternate, so that all see
// the same load of a shared machine.
#include <windows.h>

#include "midpoint.h"

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 2000; // as skew's default

midpoint::Shared shared;

DWORD WINAPI bare_responder(void* mask)
{
    SetThreadAffinityMask(GetCurrentThread(), reinterpret_cast<DWORD_PTR>(mask));
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    midpoint::respond(shared);
    return 0;
}

// The bare midpoint measurement of processor `other` against `reference`, in one layout: the
// uncertainty (half the shortest round trip) in cycles, and the offset of that round.
void bare_midpoint(int reference, int other, midpoint::Layout layout, double* uncertainty, double* offset)
{
    const DWORD_PTR previous = SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(1) << reference);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    midpoint::reset(shared, layout);
    HANDLE thread = CreateThread(nullptr, 0, bare_responder,
                                 reinterpret_cast<void*>(static_cast<DWORD_PTR>(1) << other), 0, nullptr);
    midpoint::ask(shared, rounds, uncertainty, offset);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    SetThreadAffinityMask(GetCurrentThread(), previous);
}

std::string beside_us(const char* name)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

// Runs a command with its standard output collected; the exit code, -1 when it did not run.
int run(const std::string& command, std::string* output, double* seconds)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return -1;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = null;
    si.hStdOutput = write_end;
    si.hStdError = null;
    PROCESS_INFORMATION pi;
    std::vector<char> line_copy(command.begin(), command.end());
    line_copy.push_back('\0');
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    const BOOL started =
        CreateProcessA(nullptr, line_copy.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    CloseHandle(null);
    if (!started) {
        CloseHandle(read_end);
        return -1;
    }
    output->clear();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) output->append(buffer, got);
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&t1);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(read_end);
    *seconds = static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart);
    return static_cast<int>(code);
}

// A field of the CSV row of processor `which` (0-based field index); NaN-free: -1 when absent.
double csv_field(const std::string& csv, int which, int field)
{
    char start[16];
    snprintf(start, sizeof start, "\n%d,", which);
    size_t at = csv.find(start);
    if (at == std::string::npos) return -1;
    ++at;
    for (int i = 0; i < field; ++i) {
        at = csv.find(',', at);
        if (at == std::string::npos) return -1;
        ++at;
    }
    return atof(csv.c_str() + at);
}

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double largest(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    midpoint::choose_ordering();
    const int repeats = argc > 1 ? atoi(argv[1]) : 9;
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
    int cpus[2] = {-1, -1};
    for (int bit = 0, n = 0; bit < 32 && n < 2; ++bit)
        if (process & (static_cast<DWORD_PTR>(1) << bit)) cpus[n++] = bit;
    if (cpus[1] < 0) {
        fprintf(stderr, "skew_bench: this machine has a single processor; nothing to measure\n");
        return 1;
    }
    const std::string ctl = "\"" + beside_us("tickmend-ctl.exe") + "\" skew --csv";
    const std::string ctl_sim = "\"" + beside_us("tickmend-ctl-sim.exe") + "\" skew --csv";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string state = std::string(temp) + "skew-bench.counters";
    SetEnvironmentVariableA("TICKMEND_SIM_STATE", state.c_str());

    std::vector<double> bare, bare_offset, one_line, one_line_offset, skew, skew_offset, wall_2;
    std::string out;
    for (int i = 0; i < repeats; ++i) {
        double u = 0, o = 0, seconds = 0;
        bare_midpoint(cpus[0], cpus[1], midpoint::line_per_side, &u, &o);
        bare.push_back(u);
        bare_offset.push_back(o);
        bare_midpoint(cpus[0], cpus[1], midpoint::one_line, &u, &o);
        one_line.push_back(u);
        one_line_offset.push_back(o);
        const int code = run(ctl, &out, &seconds);
        if (code != 0 && code != 3) {
            fprintf(stderr, "skew_bench: tickmend-ctl.exe skew exited %d:\n%s\n", code, out.c_str());
            return 1;
        }
        skew.push_back(csv_field(out, cpus[1], 4));
        skew_offset.push_back(csv_field(out, cpus[1], 3));
        wall_2.push_back(seconds);
    }
    const double ratio = median(skew) / median(bare);
    printf("uncertainty, processor %d against %d, %d round trips, %d runs each, alternating, reads ordered by %s "
           "(cycles):\n",
           cpus[1], cpus[0], rounds, repeats, midpoint::ordering_names[midpoint::ordering]);
    printf("  bare midpoint    median %6.0f  best %6.0f  worst %6.0f\n", median(bare),
           *std::min_element(bare.begin(), bare.end()), largest(bare));
    printf("  tickmend-ctl     median %6.0f  best %6.0f  worst %6.0f\n", median(skew),
           *std::min_element(skew.begin(), skew.end()), largest(skew));
    printf("  ratio of medians %.2f (goal: at most 1.5) %s\n", ratio, ratio <= 1.5 ? "met" : "MISSED");
    printf("median offset (one shared counter: the truth is 0; goal: within a quarter of the median "
           "uncertainty):\n");
    const struct {
        const char* name;
        double offset, uncertainty;
    } biases[] = {{"bare midpoint", median(bare_offset), median(bare)}, {"tickmend-ctl", median(skew_offset), median(skew)}};
    for (const auto& b : biases)
        printf("  %-15s  %+6.0f  (goal: within +-%.0f) %s\n", b.name, b.offset, b.uncertainty / 4,
               fabs(b.offset) <= b.uncertainty / 4 ? "met" : "MISSED");
    printf("  bare midpoint on one line both sides write (the layout skew had): %+.0f, uncertainty median %.0f\n",
           median(one_line_offset), median(one_line));

    struct Simulated {
        const char* machine;
        int processors;
    } const simulated[] = {{"one-node", 2}, {"four-node", 8}};
    printf("wall time of a whole skew run (process start included), %d runs:\n", repeats);
    printf("  %-33s  median %.3f s  worst %.3f s\n", "2 processors (this machine)", median(wall_2),
           largest(wall_2));
    for (const Simulated& m : simulated) {
        SetEnvironmentVariableA("TICKMEND_SIM_MACHINE", m.machine);
        std::vector<double> wall;
        for (int i = 0; i < repeats; ++i) {
            double seconds = 0;
            DeleteFileA(state.c_str());
            const int code = run(ctl_sim, &out, &seconds);
            if (code != 0 && code != 3) {
                fprintf(stderr, "skew_bench: tickmend-ctl-sim.exe skew on %s exited %d:\n%s\n", m.machine, code,
                        out.c_str());
                return 1;
            }
            wall.push_back(seconds);
        }
        char label[48];
        snprintf(label, sizeof label, "%d processors (simulated %s)", m.processors, m.machine);
        printf("  %-33s  median %.3f s  worst %.3f s", label, median(wall), largest(wall));
        if (m.processors == 8) printf(" (goal: under 1 s) %s", largest(wall) < 1 ? "met" : "MISSED");
        printf("\n");
    }
    DeleteFileA(state.c_str());
    return 0;
}
