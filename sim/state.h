// The state of the loaded simulated machine that its parts share: the machine itself, the
// bindings, the request counters and the request log; the lock around it; and the two
// implementations the parts install behind the platform seam. Internal to the simulated
// machine; tests and programs use sim.h.
#pragma once
#include "sim/machine.h"
#include "platform/seam.h"
#include "common/scoped_lock.h"

#include <deque>
#include <set>
#include <string>

struct SimState {
    CRITICAL_SECTION lock;
    SimMachine machine;
    volatile DWORD_PTR process_mask = 0; // read without the lock by read_tsc
    volatile LONG read_cycles[32] = {};  // by processor, set at the load: read without the lock
    // A thread bound alone keeps (epoch << 6 | bit + 1) in its slot; the epoch moves on at
    // every load and process binding, which (as on Windows) undo every thread binding.
    DWORD thread_slot = TlsAlloc();
    volatile LONG binding_epoch = 0;
    int loads = 0;     // machines loaded: the device path names the current one
    int requests = 0;  // control requests since the load
    int searches = 0;  // device searches since the load
    std::deque<std::string> log; // a deque keeps each line where it is while others are added
    std::set<HANDLE> open_devices;
    HANDLE log_file_mutex = nullptr; // shared with other processes appending to the log file

    SimState() { InitializeCriticalSection(&lock); }
};

// Made on first use and never destroyed: the static initializer of tickmend-sim.exe loads
// the machine before the parts' own statics might be constructed, and requests may still
// come while the process ends.
SimState& sim_state();

// The state, held for the scope (by the one scoped lock).
class SimLocked {
public:
    SimLocked() : s_(sim_state()), hold_(s_.lock) {}
    SimState& operator*() const { return s_; }
    SimState* operator->() const { return &s_; }

private:
    SimState& s_;
    tk::scoped_lock hold_;
};

// The bit of a one-bit mask, -1 for any other.
int single_bit(DWORD_PTR mask);
// The processor the calling thread alone is bound to; -1 when it follows the process mask.
int thread_cpu(const SimState& s);
// The processor a request comes from: the thread's binding, else the process's; -1 if none.
int bound_cpu(const SimState& s);
// The processor the calling thread runs on: where it is bound, else the lowest of the mask.
int running_cpu(const SimState& s);
// The epoch bits a thread's slot keeps.
constexpr DWORD_PTR epoch_mask = 0x3FFFFFF;

// Keeps a driver request's log line, in memory and in the file TICKMEND_SIM_LOG names.
void log_request(SimState& s, const std::string& line);

extern const ProcessorOps sim_processor_ops; // processors.cpp
extern const DeviceOps sim_device_ops;       // stand_in_driver.cpp
extern const DeviceOps sim_system_device_ops; // system_driver.cpp
