// follow_bench [--processes N] [--seconds N] [--starts N]: the follower's cost while nothing
// happens, with N processes running (300 by default): its CPU time over the seconds given
// with nothing listed (goal: none, no clock at all) and with a program listed that does not
// run (goal: at most 0.5 ms a second); then how long a listed console program's start takes
// to be seen (goal: within 1 s). The follower runs in this process, reporting to a stand-in
// of Gaming Mode's owner; the processes are copies of this program (--child: a console
// program that sleeps until it is ended). The wineserver's own time is not in these rows.
#include "follow/follow_list.h"
#include "follow/follower.h"
#include "follow/started.h"

#include <windows.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

HANDLE reported;
volatile LONG running;

double cpu_ms()
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const ULONGLONG k = (static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    const ULONGLONG u = (static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return (k + u) / 10000.0;
}

// A copy of this program: detached (no console, so no console host beside it) or, as a
// listed console program is started, with a console of its own that shows no window.
HANDLE start_copy(const wchar_t* path, DWORD flags = DETACHED_PROCESS)
{
    wchar_t command[MAX_PATH + 16];
    _snwprintf(command, MAX_PATH + 16, L"\"%ls\" --child", path);
    command[MAX_PATH + 15] = L'\0';
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

void end_all(std::vector<HANDLE>* processes)
{
    for (HANDLE process : *processes) TerminateProcess(process, 0);
    for (HANDLE process : *processes) {
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    processes->clear();
}

// The follower's CPU time over seconds, this thread waiting meanwhile.
double idle_row(int seconds, const char* what, const char* goal)
{
    Sleep(1500); // the list's read and the first looks are not idle time
    const double before = cpu_ms();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double used = cpu_ms() - before;
    printf("CPU time over %d s, %s: %.1f ms (%.3f ms a second; goal: %s)\n", seconds, what, used, used / seconds, goal);
    return used;
}

} // namespace

void Qel_DaemonSetFollowed(int count, const char*)
{
    InterlockedExchange(&running, count);
    SetEvent(reported);
}

int main(int argc, char** argv)
{
    if (argc >= 2 && strcmp(argv[1], "--child") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    int processes = 300, seconds = 30, starts = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--processes") == 0) processes = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0) seconds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--starts") == 0) starts = atoi(argv[i + 1]);
    }
    reported = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    wchar_t self[MAX_PATH], temp[MAX_PATH], listed[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetTempPathW(MAX_PATH, temp);
    _snwprintf(listed, MAX_PATH, L"%lsbench-\u30B2\u30FC\u30E0.exe", temp);
    listed[MAX_PATH - 1] = L'\0';
    if (!CopyFileW(self, listed, FALSE)) {
        printf("the listed copy could not be made\n");
        return 1;
    }
    static follow_outcome outcome;
    follow_list_remove(L"bench-\u30B2\u30FC\u30E0.exe", &outcome);

    printf("== the follower idle, %d processes running\n", processes);
    std::vector<HANDLE> others;
    for (int i = 0; i < processes; ++i)
        if (HANDLE process = start_copy(self)) others.push_back(process);
    printf("%u processes started (copies of this program, unlisted)\n", static_cast<unsigned>(others.size()));
    {
        // How many processes the follower's look reads, and what one look costs.
        started_processes started;
        started.look(nullptr, nullptr);
        const double before = cpu_ms();
        for (int i = 0; i < 10; ++i) started.look(nullptr, nullptr);
        printf("one look at the %d processes that run: %.2f ms of CPU (mean of 10)\n", started.count(),
               (cpu_ms() - before) / 10);
    }
    Qel_FollowStart();
    idle_row(seconds, "nothing listed", "none");
    follow_list_add(L"bench-\u30B2\u30FC\u30E0.exe", &outcome);
    idle_row(seconds, "a program listed, not running", "at most 0.5 ms a second");

    // Seen: from a listed program's start to the follower's report of it.
    std::vector<DWORD> seen;
    for (int i = 0; i < starts; ++i) {
        const DWORD start = GetTickCount();
        HANDLE process = start_copy(listed, CREATE_NO_WINDOW);
        if (!process) break;
        while (InterlockedCompareExchange(&running, 0, 0) < 1 && GetTickCount() - start < 10000)
            WaitForSingleObject(reported, 10000);
        seen.push_back(GetTickCount() - start);
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
        while (InterlockedCompareExchange(&running, 0, 0) > 0 && GetTickCount() - start < 20000)
            WaitForSingleObject(reported, 10000);
        Sleep(static_cast<DWORD>(rand() % 500)); // the starts fall anywhere between two looks
    }
    std::sort(seen.begin(), seen.end());
    if (!seen.empty())
        printf("a listed console program's start seen after: min %lu ms, median %lu ms, max %lu ms over %u starts "
               "(goal: within 1000 ms)\n",
               seen.front(), seen[seen.size() / 2], seen.back(), static_cast<unsigned>(seen.size()));
    Qel_FollowStop();
    follow_list_remove(L"bench-\u30B2\u30FC\u30E0.exe", &outcome);
    end_all(&others);
    DeleteFileW(listed);
    return 0;
}
