// The follower's set as tables: which entries the list read keeps, and which running
// program an entry lists, by its name, or by the file a path names (on real files of this
// test's prefix: a hard link is the same program under another name).
#include "follow/follow_set.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The rows are ASCII paths: as the set takes them.
std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class FollowSetTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        dir_ = std::string(temp) + "tickmend-follow-set-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir_.c_str(), nullptr);
        write(dir_ + "\\a.exe");
        write(dir_ + "\\c.exe");
        ASSERT_TRUE(CreateHardLinkA((dir_ + "\\b.exe").c_str(), (dir_ + "\\a.exe").c_str(), nullptr));
        // What the list read gives: each value with its verdict.
        keep("game.exe", follow_verdict::accepted);
        keep(dir_ + "\\a.exe", follow_verdict::accepted);
        keep("C:\\nowhere\\z.exe", follow_verdict::accepted);
        keep("*.exe", follow_verdict::wildcard);
        keep("racer.bat", follow_verdict::not_exe);
    }
    void TearDown() override
    {
        for (const char* name : {"a.exe", "b.exe", "c.exe"}) DeleteFileA((dir_ + "\\" + name).c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    static void write(const std::string& path)
    {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << path;
        DWORD written = 0;
        WriteFile(file, path.c_str(), static_cast<DWORD>(path.size()), &written, nullptr);
        CloseHandle(file);
    }
    void keep(const std::string& entry, follow_verdict verdict)
    {
        follow_entries::keep(wide(entry).c_str(), verdict, &entries_);
    }
    bool lists(const std::string& image)
    {
        std::wstring text = wide(image);
        follow_member member = {};
        member.image = &text[0];
        return entries_.lists(&member);
    }
    std::string dir_;
    follow_entries entries_;
};

TEST_F(FollowSetTable, OnlyAcceptedEntriesAreKept)
{
    EXPECT_EQ(3, entries_.count());
    EXPECT_FALSE(entries_.failed());
    EXPECT_TRUE(entries_.has_paths());
    follow_entries names;
    follow_entries::keep(L"game.exe", follow_verdict::accepted, &names);
    EXPECT_FALSE(names.has_paths());
    follow_entries fresh;
    fresh.take(&names);
    EXPECT_EQ(1, fresh.count());
    EXPECT_EQ(0, names.count()) << "taken, not copied";
}

TEST_F(FollowSetTable, AProcessNameMayBeListedByANameOrAPathOfThatName)
{
    struct Row {
        const char* name;
        bool may;
    } rows[] = {{"game.exe", true}, {"GAME.EXE", true}, {"a.exe", true}, {"z.exe", true},
                {"b.exe", false}, {"game", false}, {"*.exe", false}, {"racer.bat", false}, {"other.exe", false}};
    for (const Row& r : rows) EXPECT_EQ(r.may, entries_.may_list(wide(r.name).c_str())) << r.name;
}

TEST_F(FollowSetTable, AnEntryListsItsNameAnywhereAndAPathItsFileUnderAnyName)
{
    struct Row {
        std::string image;
        bool listed;
    } rows[] = {
        {"D:\\elsewhere\\Game.EXE", true}, // a name entry: any folder
        {"game.exe", true},                // an image known by its name alone
        {dir_ + "\\a.exe", true},
        {dir_ + "\\B.EXE", true},          // a hard link of the listed file
        {dir_ + "\\c.exe", false},         // another file in the same folder
        {"a.exe", true},                   // name alone: taken for what its name says
        {"b.exe", false},
        {"C:\\elsewhere\\a.exe", false},   // a path entry: not its name elsewhere
        {"C:\\NOWHERE\\Z.EXE", true},      // neither file there: the path's text
        {"C:\\nowhere\\y.exe", false},
        {"C:\\other\\z.exe", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.listed, lists(r.image)) << r.image;
}

} // namespace
