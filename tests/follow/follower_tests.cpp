// The follower's thread against console programs that show no window: each start is seen
// (by the look at the ids: no window is ever made), and the set holds while any runs.
// Gaming Mode's owner is this file's own: it records every report.
#include "follow/follower.h"
#include "follow/follow_list.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

CRITICAL_SECTION reports_lock;
std::vector<int> reports; // every count the follower reported, in order
HANDLE reported;          // set at each report

struct Lock {
    Lock() { EnterCriticalSection(&reports_lock); }
    ~Lock() { LeaveCriticalSection(&reports_lock); }
};

} // namespace

void Qel_DaemonSetFollowed(int running, const char*)
{
    {
        Lock lock;
        reports.push_back(running);
    }
    SetEvent(reported);
}

namespace {

follow_outcome outcome;

class Follower : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&reports_lock);
        reported = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void SetUp() override
    {
        testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key);
        std::string self(MAX_PATH, '\0');
        self.resize(GetModuleFileNameA(nullptr, &self[0], MAX_PATH));
        const std::wstring source(self.begin(), self.begin() + self.find_last_of('\\') + 1);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        // A name outside every ANSI code page.
        copy_ = std::wstring(temp) + L"tickmend-\u30B2\u30FC\u30E0.exe";
        ASSERT_TRUE(CopyFileW((source + L"console_target.exe").c_str(), copy_.c_str(), FALSE));
        follow_list_add(L"TICKMEND-\u30B2\u30FC\u30E0", &outcome);
        ASSERT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
        ASSERT_EQ(1, Qel_FollowStart());
    }
    void TearDown() override
    {
        for (HANDLE process : running_) end(process);
        Qel_FollowStop();
        testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key);
        DeleteFileW(copy_.c_str());
    }
    void start(int count)
    {
        for (int i = 0; i < count; ++i) {
            std::wstring command = L"\"" + copy_ + L"\"";
            STARTUPINFOW si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &si, &pi));
            CloseHandle(pi.hThread);
            running_.push_back(pi.hProcess);
        }
    }
    static void end(HANDLE process)
    {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    // Waits, report by report, until the follower reports count: 60 s at most (a loaded machine).
    static bool reports_reach(int count)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            {
                Lock lock;
                if (!reports.empty() && reports.back() == count) return true;
            }
            const DWORD waited = GetTickCount() - start;
            if (waited >= 60000) return false;
            WaitForSingleObject(reported, 60000 - waited);
        }
    }
    std::wstring copy_;
    std::vector<HANDLE> running_;
};

// 30 and 30 more, console programs all: the set counts each, and reaches none only after the
// last of the 60 has ended.
TEST_F(Follower, ConsoleProgramsStartedInTwoBatchesAreEachFollowedUntilTheLastEnds)
{
    {
        Lock lock;
        reports.clear();
    }
    start(30);
    ASSERT_TRUE(reports_reach(30));
    start(30);
    ASSERT_TRUE(reports_reach(60));
    // The first batch ends: the second still runs, and is still followed.
    for (int i = 0; i < 30; ++i) end(running_[i]);
    running_.erase(running_.begin(), running_.begin() + 30);
    ASSERT_TRUE(reports_reach(30));
    for (HANDLE process : running_) end(process);
    running_.clear();
    ASSERT_TRUE(reports_reach(0));
    Lock lock;
    // None was reported before the last ended: the one 0 is the last report.
    const auto first_zero = std::find(reports.begin(), reports.end(), 0);
    EXPECT_EQ(reports.end() - 1, first_zero);
    EXPECT_EQ(60, *std::max_element(reports.begin(), reports.end()));
}

} // namespace
