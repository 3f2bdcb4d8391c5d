// How long the on sequence keeps the process at realtime priority doing its own work
// (from its first driver request to its last, the power switch before them excluded), on
// the simulated four-node machine with a driver that answers at once; and how many device
// searches the on and off sequences make (the device is searched for once per process).
#include "daemon/daemon.h"
#include "platform/seam.h"
#include "sim/sim.h"

#include <algorithm>
#include <stdio.h>
#include <vector>

namespace {

const DeviceOps* stand_in = nullptr;
LARGE_INTEGER first_request, last_request;
bool any_request = false;
LONGLONG in_device = 0; // ticks spent inside the device's search, opens, requests and closes

LONGLONG now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

BOOL timed_find(const GUID* interface_class, char* path, DWORD path_size)
{
    const LONGLONG start = now();
    BOOL found = stand_in->find(interface_class, path, path_size);
    in_device += now() - start;
    return found;
}

HANDLE timed_open(const char* path)
{
    const LONGLONG start = now();
    HANDLE device = stand_in->open(path);
    in_device += now() - start;
    return device;
}

BOOL timed_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    QueryPerformanceCounter(&last_request);
    if (!any_request) first_request = last_request;
    any_request = true;
    BOOL ok = stand_in->control(device, code, in, in_size, out, out_size, returned);
    const LONGLONG start = last_request.QuadPart;
    QueryPerformanceCounter(&last_request);
    in_device += last_request.QuadPart - start;
    return ok;
}

BOOL timed_close(HANDLE device)
{
    const LONGLONG start = now();
    BOOL closed = stand_in->close(device);
    in_device += now() - start;
    return closed;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 50;
    char error[256];
    if (!sim_load_machine("four-node", error, sizeof error)) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    sim_install();
    static DeviceOps timed;
    stand_in = &platform_device();
    timed = *stand_in;
    timed = {timed_find, timed_open, timed_control, timed_close};
    platform_install(&platform_processors(), &timed);

    int available = 0;
    if (!Qel_DaemonStart(0, 0, &available) || !available) {
        fprintf(stderr, "the daemon did not offer Gaming Mode on four-node\n");
        return 1;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros, device_micros;
    int on_opens = 0, off_opens = 0, all_searches = 0;
    for (int i = 0; i < rounds; ++i) {
        any_request = false;
        in_device = 0;
        int before = sim_open_count();
        Qel_DaemonDoCommand("1");
        on_opens = sim_open_count() - before;
        micros.push_back(1e6 * (last_request.QuadPart - first_request.QuadPart) / frequency.QuadPart);
        device_micros.push_back(1e6 * in_device / frequency.QuadPart);
        before = sim_open_count();
        Qel_DaemonDoCommand("0");
        off_opens = sim_open_count() - before;
        sim_log_clear();
        all_searches = sim_open_count();
    }
    Qel_DaemonExit();
    const double device_median = median(device_micros);
    std::sort(micros.begin(), micros.end());
    printf("on sequence at realtime priority, own work (four-node, %d rounds): median %.0f us (goal: at most 400 us), "
           "95th %.0f us (goal: at most 1000 us), max %.0f us\n",
           rounds, micros[micros.size() / 2], micros[micros.size() * 95 / 100], micros.back());
    printf("time inside the stand-in device (its searches, opens, requests and closes) per on sequence: "
           "median %.0f us\n",
           device_median);
    printf("device searches: %d in all, the start and %d on and %d off sequences (goal: 1), "
           "%d in the last on sequence, %d in the last off sequence\n",
           all_searches, rounds, rounds, on_opens, off_opens);
    return 0;
}
