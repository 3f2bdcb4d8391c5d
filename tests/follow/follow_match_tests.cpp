// Which process is a listed program: its image matched against the entries (names in any
// language, case aside as Windows' file names; paths by their file, of any length, or by
// their text, \\?\ prefixes aside), and the look at the ids that finds the processes
// started since the last.
#include "follow/follow_set.h"
#include "follow/started.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

bool lists(const std::vector<std::wstring>& listed, const std::wstring& image)
{
    follow_entries entries;
    for (const std::wstring& entry : listed) follow_entries::keep(entry.c_str(), follow_verdict::accepted, &entries);
    follow_member member = {};
    std::wstring copy = image;
    member.image = &copy[0];
    return entries.lists(&member);
}

TEST(FollowMatch, ANameInAnyLanguageMatchesItsFileAnywhereInAnyCase)
{
    const std::wstring igra = L"\u0418\u0433\u0440\u0430.exe"; // Игра.exe
    const struct {
        std::wstring listed;
        std::wstring image;
        bool match;
    } rows[] = {
        {igra, L"C:\\Games\\\u0418\u0413\u0420\u0410.EXE", true},   // ИГРА.EXE
        {igra, L"C:\\Games\\\u0438\u0433\u0440\u0430.exe", true},   // игра.exe
        {igra, L"C:\\Games\\\u0418\u0433\u0440\u04302.exe", false}, // Игра2.exe
        {igra, L"C:\\\u0418\u0433\u0440\u0430.exe\\x.exe", false},  // a folder of that name
        {L"\u30B2\u30FC\u30E0.exe", L"D:\\x\\\u30B2\u30FC\u30E0.exe", true},
        {L"\u30B2\u30FC\u30E0.exe", L"D:\\x\\\u30B1\u30FC\u30E0.exe", false},
        {L"Zo\u00EB.exe", L"C:\\ZO\u00CB.EXE", true},
        {L"Zo\u00EB.exe", L"C:\\Zoe.exe", false}, // no accent folded away
        {L"Zoe.exe", L"C:\\Zo\u00EB.exe", false},
        {L"\U0001F3AE.exe", L"C:\\\U0001F3AE.exe", true},
        {L"\U0001F3AE.exe", L"C:\\\U0001F3AF.exe", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.match, lists({row.listed}, row.image)) << row.image.size();
}

TEST(FollowMatch, APathWhoseFileIsNotThereMatchesByItsTextPrefixAndCaseAside)
{
    const struct {
        std::wstring listed;
        std::wstring image;
        bool match;
    } rows[] = {
        {L"\\\\?\\C:\\nowhere\\\u0418.exe", L"C:\\NOWHERE\\\u0438.exe", true},
        {L"C:\\nowhere\\\u0418.exe", L"\\\\?\\c:\\nowhere\\\u0438.EXE", true},
        {L"\\\\?\\C:\\nowhere\\\u0418.exe", L"C:\\elsewhere\\\u0418.exe", false},
        {L"\\\\?\\UNC\\srv\\sh\\g.exe", L"\\\\SRV\\sh\\G.exe", true},
        {L"\\\\?\\UNC\\srv\\sh\\g.exe", L"C:\\srv\\sh\\g.exe", false},
        {L"\\\\?\\C:\\nowhere\\g.exe", L"\\\\C:\\nowhere\\g.exe", false},
        // A process whose image could not be read goes by its file name.
        {L"C:\\nowhere\\\u30B2.exe", L"\u30B2.EXE", true},
        {L"C:\\nowhere\\\u30B2.exe", L"g.exe", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.match, lists({row.listed}, row.image)) << row.image.size();
}

// A file at a path of 313 characters and a hard link to it under another name: the path
// listed matches the link, by the file's identity (the \\?\ form opens it).
TEST(FollowMatch, ALongPathMatchesAnotherNameOfItsFile)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(L"\\\\?\\") + temp + L"tickmend-long-\u30B2";
    std::vector<std::wstring> made;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    made.push_back(folder);
    while (folder.size() < 4 + 313 - 20) {
        folder += L"\\" + std::wstring(std::min<size_t>(100, 4 + 313 - 20 - folder.size()), L'd');
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        made.push_back(folder);
    }
    const std::wstring file = folder + L"\\\u0418\u0433\u0440\u0430.exe";
    const std::wstring link = folder + L"\\other.exe";
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, created);
    CloseHandle(created);
    DeleteFileW(link.c_str());
    ASSERT_TRUE(CreateHardLinkW(link.c_str(), file.c_str(), nullptr));
    const std::wstring listed = file.substr(4), image = link.substr(4); // the plain forms
    ASSERT_GT(listed.size(), 300u);
    EXPECT_TRUE(lists({listed}, image));
    EXPECT_TRUE(lists({file}, image));
    EXPECT_FALSE(lists({listed}, folder.substr(4) + L"\\third.exe"));
    DeleteFileW(link.c_str());
    DeleteFileW(file.c_str());
    for (auto at = made.rbegin(); at != made.rend(); ++at) RemoveDirectoryW(at->c_str());
}

void collect(DWORD id, void* context)
{
    static_cast<std::vector<DWORD>*>(context)->push_back(id);
}

TEST(StartedProcesses, ANewIdOrAnIdReusedByANewerProcessIsTold)
{
    using seen = started_processes::seen;
    const seen known[] = {{4, 100}, {8, 200}, {20, 300}};
    const struct {
        std::vector<seen> now;
        std::vector<DWORD> told;
    } rows[] = {
        {{{4, 100}, {8, 200}, {20, 300}}, {}},
        {{{4, 100}, {8, 201}, {20, 300}}, {8}},          // 8 ended, and its id went to a newer process
        {{{0, 0}, {4, 100}, {12, 250}, {24, 400}}, {0, 12, 24}},
        {{{8, 200}}, {}},                                // ends are not told
        {{}, {}},
    };
    for (const auto& row : rows) {
        std::vector<DWORD> told;
        started_processes::tell_new(known, 3, row.now.data(), static_cast<int>(row.now.size()), collect, &told);
        EXPECT_EQ(row.told, told) << row.now.size();
    }
}

TEST(StartedProcesses, OnlyIdsNewSinceTheLastLookAreTold)
{
    started_processes started;
    std::vector<DWORD> told;
    EXPECT_FALSE(started.noted());
    ASSERT_TRUE(started.look(collect, &told));
    EXPECT_TRUE(told.empty()); // the first look notes what runs
    EXPECT_TRUE(started.noted());
    std::string self(MAX_PATH, '\0');
    self.resize(GetModuleFileNameA(nullptr, &self[0], MAX_PATH));
    const std::string target = "\"" + self.substr(0, self.find_last_of('\\') + 1) + "console_target.exe\"";
    HANDLE first = testing_support::start_process(target);
    ASSERT_TRUE(first);
    ASSERT_TRUE(started.look(collect, &told));
    EXPECT_NE(told.end(), std::find(told.begin(), told.end(), GetProcessId(first)));
    EXPECT_EQ(told.end(), std::find(told.begin(), told.end(), GetCurrentProcessId()));
    told.clear();
    HANDLE second = testing_support::start_process(target);
    ASSERT_TRUE(second);
    ASSERT_TRUE(started.look(collect, &told));
    EXPECT_EQ(told.end(), std::find(told.begin(), told.end(), GetProcessId(first))); // told once
    EXPECT_NE(told.end(), std::find(told.begin(), told.end(), GetProcessId(second)));
    // Forgotten: the next look notes afresh and tells none.
    started.forget();
    told.clear();
    ASSERT_TRUE(started.look(collect, &told));
    EXPECT_TRUE(told.empty());
    for (HANDLE process : {first, second}) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

} // namespace
