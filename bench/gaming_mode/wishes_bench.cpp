// Many wishes during one slow switch: on the simulated four-node machine, whose stand-in
// driver takes 30 ms a request (an on or off of about a quarter to half a second), a user's on
// is wished and, while it runs, 10, 100 and 1,000 wish changes come from several sources at
// once: the tray's and the pipe's on and off, the follower's reports, resumes, plan changes
// seen from outside. Counted: the switches that ran after the running one (goal: at most two),
// the longest wait any waiting caller saw (goal: within the fixed bound, wish_bound_ms), and
// the wishes refused (goal: none).
#include "common/switch_bounds.h"
#include "daemon/daemon.h"
#include "driver/driver.h"
#include "platform/seam.h"
#include "sim/sim.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

const DeviceOps* stand_in = nullptr;
volatile LONG ons = 0, offs = 0;
bool in_on = false, in_off = false;

// Each request slow; an on is a run of requests at realtime priority, an off a run of
// northbridge writes at the normal one (the bit given back).
BOOL slow_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned)
{
    const bool realtime = GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS;
    const bool give_back = !realtime && code == IOCTL_PCI_WRITE;
    if (realtime && !in_on) InterlockedIncrement(&ons);
    if (give_back && !in_off) InterlockedIncrement(&offs);
    in_on = realtime;
    in_off = give_back;
    Sleep(30);
    return stand_in->control(device, code, in, in_size, out, out_size, returned);
}

struct Source {
    int changes;         // wish changes this source makes
    int kind;            // 0 the tray (posted), 1 the follower, 2 resumes and plan changes
    volatile LONG refused;
};

DWORD WINAPI changer(LPVOID parameter)
{
    Source* s = static_cast<Source*>(parameter);
    for (int i = 0; i < s->changes; ++i) {
        int made = 1;
        switch (s->kind) {
        case 0: made = Qel_DaemonPostWish(i % 2 ? daemon_wish::on : daemon_wish::off, nullptr, 0); break;
        case 1: Qel_DaemonSetFollowed(i % 3, "game.exe"); break;
        default:
            made = i % 2 ? Qel_DaemonPostWish(daemon_wish::resume, nullptr, 0) : Qel_DaemonPlanChangedOutside();
            break;
        }
        if (made != 1) InterlockedIncrement(&s->refused);
    }
    return 0;
}

// A pipe client's wish: waits for it and keeps how long.
struct Waiter {
    daemon_wish wish;
    DWORD waited_ms;
    int answer;
};

DWORD WINAPI waiter(LPVOID parameter)
{
    Waiter* w = static_cast<Waiter*>(parameter);
    DWORD start = GetTickCount();
    w->answer = Qel_DaemonWish(w->wish);
    w->waited_ms = GetTickCount() - start;
    return 0;
}

} // namespace

int main()
{
    char error[256];
    if (!sim_load_machine("four-node", error, sizeof error)) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    sim_install();
    static DeviceOps slow;
    stand_in = &platform_device();
    slow = *stand_in;
    slow.control = slow_control;
    platform_install(&platform_processors(), &slow);

    bool all_met = true;
    for (int changes : {10, 100, 1000}) {
        int available = 0;
        if (!Qel_DaemonStart(0, 0, &available) || !available) {
            fprintf(stderr, "the daemon did not offer Gaming Mode on four-node\n");
            return 1;
        }
        ons = 0;
        offs = 0;
        // The running switch: the user's on, waited for on a thread of its own.
        Waiter first = {daemon_wish::on, 0, 0};
        HANDLE first_thread = CreateThread(nullptr, 0, waiter, &first, 0, nullptr);
        while (ons == 0) Sleep(1);
        // The changes, from three sources at once, and eight waiting callers among them.
        Source sources[3] = {{changes / 3, 0, 0}, {changes / 3, 1, 0}, {changes - 2 * (changes / 3), 2, 0}};
        HANDLE threads[3 + 8];
        Waiter waiters[8];
        for (int i = 0; i < 3; ++i) threads[i] = CreateThread(nullptr, 0, changer, &sources[i], 0, nullptr);
        for (int i = 0; i < 8; ++i) {
            waiters[i] = {i % 2 ? daemon_wish::on : daemon_wish::state, 0, 0};
            threads[3 + i] = CreateThread(nullptr, 0, waiter, &waiters[i], 0, nullptr);
        }
        WaitForMultipleObjects(3, threads, TRUE, INFINITE);
        const bool made_during = ons == 1 && offs == 0 && WaitForSingleObject(first_thread, 0) == WAIT_TIMEOUT;
        WaitForMultipleObjects(8, threads + 3, TRUE, INFINITE);
        WaitForSingleObject(first_thread, INFINITE);
        Qel_DaemonIsGameModeOn(); // every wish taken
        const LONG after = ons + offs - 1;
        DWORD longest = first.waited_ms;
        int refused = 0, busy = 0;
        for (const Waiter& w : waiters) {
            if (w.waited_ms > longest) longest = w.waited_ms;
            refused += w.answer == game_mode_refused;
            busy += w.answer == game_mode_busy;
        }
        for (const Source& s : sources) refused += s.refused;
        Qel_DaemonExit();
        for (HANDLE h : threads) CloseHandle(h);
        CloseHandle(first_thread);
        const bool met = after <= 2 && longest <= wish_bound_ms() && refused == 0 && busy == 0;
        all_met = all_met && met;
        printf("%4d wish changes during one slow switch%s: %ld switches after the running one (goal: at most 2), "
               "longest wait %lu ms (goal: within %lu ms), %d refused, %d busy (goal: none) %s\n",
               changes, made_during ? "" : " (some came after it ended)", static_cast<long>(after),
               static_cast<unsigned long>(longest), static_cast<unsigned long>(wish_bound_ms()), refused, busy,
               met ? "met" : "MISSED");
    }
    return all_met ? 0 : 1;
}
