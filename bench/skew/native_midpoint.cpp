// The native reference of skew_bench: the same bare midpoint loops (midpoint.h), built with the
// host's compiler and run on Linux without Wine, on the first two processors this process
// may use, both layouts alternating. What Wine adds to a measurement shows as the difference
// to skew_bench's bare rows. Built and run by scripts/bench; never part of the product.
#include "midpoint.h"

#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int rounds = 2000; // as skew's default
midpoint::Shared shared;
int answering_cpu = -1;

void bind_to(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void* answer(void*)
{
    bind_to(answering_cpu);
    midpoint::respond(shared);
    return nullptr;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? atoi(argv[1]) : 15;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
    int cpus[2] = {-1, -1};
    for (int cpu = 0, n = 0; cpu < CPU_SETSIZE && n < 2; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) cpus[n++] = cpu;
    if (cpus[1] < 0 || repeats < 1) {
        fprintf(stderr, "native_midpoint: fewer than two processors; nothing to measure\n");
        return 1;
    }
    midpoint::choose_ordering();
    answering_cpu = cpus[1];
    std::vector<double> offsets[2], uncertainties[2];
    for (int i = 0; i < repeats; ++i)
        for (int layout = 0; layout < 2; ++layout) {
            bind_to(cpus[0]);
            midpoint::reset(shared, static_cast<midpoint::Layout>(layout));
            pthread_t thread;
            if (pthread_create(&thread, nullptr, answer, nullptr) != 0) return 1;
            double u = 0, o = 0;
            midpoint::ask(shared, rounds, &u, &o);
            pthread_join(thread, nullptr);
            offsets[layout].push_back(o);
            uncertainties[layout].push_back(u);
        }
    printf("native reference (Linux, no Wine), processor %d against %d, %d runs each, reads ordered by %s "
           "(cycles):\n",
           cpus[1], cpus[0], repeats, midpoint::ordering_names[midpoint::ordering]);
    for (int layout = 0; layout < 2; ++layout)
        printf("  bare, %-18s  median offset %+5.0f  median uncertainty %4.0f\n", midpoint::layout_names[layout],
               median(offsets[layout]), median(uncertainties[layout]));
    return 0;
}
