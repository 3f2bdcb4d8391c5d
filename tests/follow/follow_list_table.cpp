// The list's entry rule and its edits, as tables: each row a text as a user or a hand edit
// gives it, and what the rule makes of it; the edits on the list key of this test's prefix.
#include "follow/follow_list.h"
#include "common/handle.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const char* verdict_words(follow_verdict v)
{
    switch (v) {
    case follow_verdict::accepted: return "accepted";
    case follow_verdict::empty: return "empty";
    case follow_verdict::too_long: return "too_long";
    case follow_verdict::name_too_long: return "name_too_long";
    case follow_verdict::wildcard: return "wildcard";
    case follow_verdict::bad_character: return "bad_character";
    case follow_verdict::relative: return "relative";
    case follow_verdict::drive_relative: return "drive_relative";
    case follow_verdict::folder: return "folder";
    case follow_verdict::not_exe: return "not_exe";
    }
    return "?";
}

// The rows are ASCII: a text as the API takes it, and back.
std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string narrow(const wchar_t* text)
{
    std::string s;
    for (; *text; ++text) s += static_cast<char>(*text);
    return s;
}
// An outcome is large (an entry of the longest path): one for every row.
follow_outcome outcome;

TEST(FollowEntryTable, EachTextIsReadByTheOneRule)
{
    struct Row {
        const char* typed;
        follow_verdict verdict;
        const char* entry; // what is stored (accepted) or kept trimmed
    } rows[] = {
        {"game.exe", follow_verdict::accepted, "game.exe"},
        {"game", follow_verdict::accepted, "game.exe"},
        {"  \"Game.EXE\"\t", follow_verdict::accepted, "Game.EXE"},
        {"C:\\Games\\game.exe", follow_verdict::accepted, "C:\\Games\\game.exe"},
        {"C:/Games/../x.exe", follow_verdict::accepted, "C:\\x.exe"},
        {"C:\\Games\\racer", follow_verdict::accepted, "C:\\Games\\racer.exe"},
        {"\\\\server\\share\\g.exe", follow_verdict::accepted, "\\\\server\\share\\g.exe"},
        {"", follow_verdict::empty, ""},
        {" \" \" ", follow_verdict::empty, ""},
        {"*.exe", follow_verdict::wildcard, "*.exe"},
        {"C:\\Games\\ga?e.exe", follow_verdict::wildcard, "C:\\Games\\ga?e.exe"},
        {"a<b.exe", follow_verdict::bad_character, "a<b.exe"},
        {"a|b.exe", follow_verdict::bad_character, "a|b.exe"},
        {"a\x01" "b.exe", follow_verdict::bad_character, "a\x01" "b.exe"},
        // A colon is a drive's, and only right after its letter: anything else names a stream.
        {"C:\\Games\\game.exe:hidden", follow_verdict::bad_character, "C:\\Games\\game.exe:hidden"},
        {"game.exe:zone", follow_verdict::bad_character, "game.exe:zone"},
        {"C:\\Games:x\\game.exe", follow_verdict::bad_character, "C:\\Games:x\\game.exe"},
        {"C::\\game.exe", follow_verdict::bad_character, "C::\\game.exe"},
        {"1:\\game.exe", follow_verdict::bad_character, "1:\\game.exe"},
        {":game.exe", follow_verdict::bad_character, ":game.exe"},
        {"C:game.exe", follow_verdict::drive_relative, "C:game.exe"},
        {"\\Games\\game.exe", follow_verdict::drive_relative, "\\Games\\game.exe"},
        {"Games\\game.exe", follow_verdict::relative, "Games\\game.exe"},
        {"..\\game.exe", follow_verdict::relative, "..\\game.exe"},
        {"C:\\Games\\", follow_verdict::folder, "C:\\Games\\"},
        {".", follow_verdict::folder, "."},
        {"C:\\Games\\..", follow_verdict::folder, "C:\\Games\\.."},
        {"racer.bat", follow_verdict::not_exe, "racer.bat"},
        {"C:\\Games\\racer.exe.lnk", follow_verdict::not_exe, "C:\\Games\\racer.exe.lnk"},
    };
    static wchar_t entry[follow_entry_size];
    for (const Row& r : rows) {
        wmemset(entry, L'x', follow_entry_size);
        EXPECT_STREQ(verdict_words(r.verdict), verdict_words(follow_entry_from(wide(r.typed).c_str(), entry, false)))
            << r.typed;
        EXPECT_EQ(std::string(r.entry), narrow(entry)) << r.typed;
    }
}

// The list key of this test's prefix, emptied before and after each row.
class FollowListTable : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteKeyA(HKEY_CURRENT_USER, follow_list_key); }
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, follow_list_key); }
    // Values as a hand edit writes them, in this order.
    static void list_by_hand(const std::vector<std::string>& names)
    {
        tk::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, key.put(), nullptr));
        for (const std::string& name : names)
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ,
                                                    reinterpret_cast<const BYTE*>(name.c_str()),
                                                    static_cast<DWORD>(name.size() + 1)));
    }
    // The values' names, in the registry's order.
    static std::vector<std::string> listed()
    {
        std::vector<std::string> names;
        tk::unique_hkey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return names;
        char name[1024];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name;
            if (RegEnumValueA(key.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.push_back(name);
        }
        return names;
    }
};

TEST_F(FollowListTable, RemoveTakesEveryValueThatReadsAsTheEntryAndNoOther)
{
    struct Row {
        std::vector<std::string> before;
        const char* typed;
        follow_change change;
        std::vector<std::string> after;
    } rows[] = {
        // Neighbours that both match: the second moves into the first's place.
        {{" Game ", "GAME.exe", "other.exe"}, "game.exe", follow_change::done, {"other.exe"}},
        {{"other.exe", "game", "\"game.exe\"", "game.EXE"}, "Game", follow_change::done, {"other.exe"}},
        {{"game.exe", "other.exe", "game.exe "}, "game.exe", follow_change::done, {"other.exe"}},
        {{"a.exe", "b.exe"}, "game.exe", follow_change::not_listed, {"a.exe", "b.exe"}},
        {{"*.exe", "a.exe"}, "*.exe", follow_change::done, {"a.exe"}},          // a refused entry, by its text
        {{"a.exe"}, "*.exe", follow_change::refused, {"a.exe"}},               // neither listed nor taken
        {{"a.exe"}, "  ", follow_change::refused, {"a.exe"}},
        {{}, "game.exe", follow_change::not_listed, {}},
    };
    for (const Row& r : rows) {
        TearDown();
        if (!r.before.empty()) list_by_hand(r.before);
        follow_list_remove(wide(r.typed).c_str(), &outcome);
        EXPECT_EQ(static_cast<int>(r.change), static_cast<int>(outcome.change)) << r.typed;
        EXPECT_EQ(r.after, listed()) << r.typed;
    }
}

TEST_F(FollowListTable, AddStoresTheEntryOnceHoweverItWasTypedOrEdited)
{
    struct Row {
        std::vector<std::string> before;
        const char* typed;
        follow_change change;
        const char* entry;
        size_t values_after;
    } rows[] = {
        {{}, "game", follow_change::done, "game.exe", 1},
        {{"game.exe"}, "GAME.EXE", follow_change::already, "game.exe", 1},
        {{" Game "}, "game.exe", follow_change::already, "Game.exe", 1},
        {{"*.exe"}, "game.exe", follow_change::done, "game.exe", 2},
        {{"game.exe"}, "game.exe:x", follow_change::refused, "game.exe:x", 1},
        {{}, "C:\\Games\\", follow_change::refused, "C:\\Games\\", 0},
    };
    for (const Row& r : rows) {
        TearDown();
        if (!r.before.empty()) list_by_hand(r.before);
        follow_list_add(wide(r.typed).c_str(), &outcome);
        EXPECT_EQ(static_cast<int>(r.change), static_cast<int>(outcome.change)) << r.typed;
        EXPECT_EQ(std::string(r.entry), narrow(outcome.entry)) << r.typed;
        EXPECT_EQ(r.values_after, listed().size()) << r.typed;
    }
}

} // namespace
