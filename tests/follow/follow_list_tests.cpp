// The list's entry rule and its values in the registry: names in any language, paths of any
// length Windows runs a program from, and the refusal that names the real reason.
#include "follow/follow_list.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

follow_outcome outcome; // 64 KB: not on a test's stack

std::wstring entry_of(const std::wstring& typed, follow_verdict* verdict)
{
    std::vector<wchar_t> entry(follow_entry_size);
    *verdict = follow_entry_from(typed.c_str(), entry.data(), false);
    return entry.data();
}

// A full path of exactly length characters: C:\ then folders of 200 characters, then the
// file's name (at most 255 characters with its .exe).
std::wstring path_of_length(size_t length, const wchar_t* extension = L".exe")
{
    std::wstring path = L"C:";
    const size_t ext = wcslen(extension);
    while (length - path.size() > 201) path += L"\\" + std::wstring(100, L'd');
    path += L"\\" + std::wstring(length - path.size() - 1 - ext, L'g') + extension;
    return path;
}

const wchar_t cyrillic[] = L"\u0418\u0433\u0440\u0430";          // Игра
const wchar_t japanese[] = L"\u30B2\u30FC\u30E0.exe";            // ゲーム.exe
const wchar_t zoe[] = L"Zo\u00EB.exe";                           // Zoë.exe

TEST(FollowEntryRule, NamesInAnyLanguageAreTakenAndOnlyStarAndQuestionMarkAreWildcards)
{
    const struct {
        std::wstring typed;
        follow_verdict verdict;
        std::wstring entry;
    } rows[] = {
        {cyrillic, follow_verdict::accepted, std::wstring(cyrillic) + L".exe"},
        {japanese, follow_verdict::accepted, japanese},
        {zoe, follow_verdict::accepted, zoe},
        {L" \"\U0001F3AE.exe\" ", follow_verdict::accepted, L"\U0001F3AE.exe"}, // a pair of surrogates
        {std::wstring(cyrillic) + L".EXE", follow_verdict::accepted, std::wstring(cyrillic) + L".EXE"},
        {std::wstring(cyrillic) + L"*.exe", follow_verdict::wildcard, std::wstring(cyrillic) + L"*.exe"},
        {L"\u30B2?.exe", follow_verdict::wildcard, L"\u30B2?.exe"},
        {std::wstring(cyrillic) + L".bat", follow_verdict::not_exe, std::wstring(cyrillic) + L".bat"},
        {L"\u0418\\\u0418.exe", follow_verdict::relative, L"\u0418\\\u0418.exe"},
        {L"C:\\\u30B2\u30FC\u30E0\\..\\\u30B2.exe", follow_verdict::accepted, L"C:\\\u30B2.exe"},
    };
    for (const auto& row : rows) {
        follow_verdict verdict;
        EXPECT_EQ(row.entry, entry_of(row.typed, &verdict));
        EXPECT_EQ(static_cast<int>(row.verdict), static_cast<int>(verdict)) << row.entry.size();
    }
}

TEST(FollowEntryRule, PathsAreTakenUpToWhatWindowsTakesAndNamesUpToWhatAFileSystemTakes)
{
    const std::wstring name251(251, L'n');
    const struct {
        std::wstring typed;
        follow_verdict verdict;
        size_t length; // of the entry made
    } rows[] = {
        {path_of_length(259), follow_verdict::accepted, 259},
        {path_of_length(260), follow_verdict::accepted, 260},
        {path_of_length(313), follow_verdict::accepted, 313},
        {path_of_length(32767), follow_verdict::accepted, 32767},
        {path_of_length(32768), follow_verdict::too_long, 32767},          // kept cut, for remove
        {path_of_length(32763, L""), follow_verdict::accepted, 32767},     // .exe added: the limit
        {path_of_length(32764, L""), follow_verdict::too_long, 32764},
        {L"\\\\?\\" + path_of_length(313), follow_verdict::accepted, 317},  // taken as it is
        {L"\\\\?\\UNC\\server\\share\\g.exe", follow_verdict::accepted, 26},
        {name251 + L".exe", follow_verdict::accepted, 255},
        {name251 + L"n.exe", follow_verdict::name_too_long, 256},
        {name251, follow_verdict::accepted, 255},                           // .exe added: the limit
        {name251 + L"n", follow_verdict::name_too_long, 252},
        {L"C:\\" + std::wstring(256, L'd') + L"\\g.exe", follow_verdict::name_too_long, 265},
        {L"C:\\" + std::wstring(255, L'd') + L"\\g.exe", follow_verdict::accepted, 264},
    };
    for (const auto& row : rows) {
        follow_verdict verdict;
        const std::wstring entry = entry_of(row.typed, &verdict);
        EXPECT_EQ(static_cast<int>(row.verdict), static_cast<int>(verdict)) << row.typed.size();
        EXPECT_EQ(row.length, entry.size()) << row.typed.size();
    }
}

TEST(FollowEntryRule, TheQuestionMarkOfAPrefixIsNoWildcardButOneAfterItIs)
{
    const struct {
        const wchar_t* typed;
        follow_verdict verdict;
    } rows[] = {
        {L"\\\\?\\C:\\Games\\g.exe", follow_verdict::accepted},
        {L"\\\\?\\C:\\Games\\g?.exe", follow_verdict::wildcard},
        {L"\\\\?\\C:\\Games/g.exe", follow_verdict::bad_character}, // no separator there
        {L"\\\\?\\C:\\Games\\g.exe:stream", follow_verdict::bad_character},
        {L"\\\\?\\C:\\Games\\", follow_verdict::folder},
        {L"\\?\\C:\\g.exe", follow_verdict::wildcard},
    };
    for (const auto& row : rows) {
        follow_verdict verdict;
        entry_of(row.typed, &verdict);
        EXPECT_EQ(static_cast<int>(row.verdict), static_cast<int>(verdict)) << static_cast<const void*>(row.typed);
    }
}

TEST(FollowEntryRule, EachRefusalSaysItsOwnReason)
{
    const struct {
        std::wstring typed;
        const char* said;
    } rows[] = {
        {path_of_length(32768), "is longer than any path a program runs from (32,767 characters)"},
        {std::wstring(300, L'x') + L".exe", "has a name longer than any file's (255 characters)"},
        {std::wstring(cyrillic) + L"*", "has a wildcard (* or ?)"},
    };
    for (const auto& row : rows) {
        follow_verdict verdict;
        entry_of(row.typed, &verdict);
        wchar_t sentence[400];
        follow_refusal_sentence(row.typed.c_str(), verdict, sentence, 400);
        std::wstring said(row.said, row.said + strlen(row.said));
        EXPECT_NE(std::wstring::npos, std::wstring(sentence).find(said)) << row.said;
    }
    // The typed text is shown in its own characters, cut after 60, never in a pair's middle.
    wchar_t sentence[400];
    std::wstring typed = std::wstring(59, L'a') + L"\U0001F3AE" + L"*.exe";
    follow_refusal_sentence(typed.c_str(), follow_verdict::wildcard, sentence, 400);
    EXPECT_EQ(L"\"" + std::wstring(59, L'a') + L"...\" has", std::wstring(sentence).substr(0, 68));
    follow_refusal_sentence((std::wstring(cyrillic) + L"*").c_str(), follow_verdict::wildcard, sentence, 400);
    EXPECT_EQ(L"\"" + std::wstring(cyrillic) + L"*\" has", std::wstring(sentence).substr(0, 11));
}

// The list in the registry: read and written in UTF-16, values as older versions wrote them
// read as they were meant, an entry longer than a value's name kept whole in the data.
class FollowListValues : public ::testing::Test {
protected:
    void SetUp() override { testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key); }
    void TearDown() override { testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key); }
    static std::vector<std::wstring> listed()
    {
        std::vector<std::wstring> entries;
        EXPECT_GE(follow_list_each(
                      [](const wchar_t* entry, follow_verdict, void* context) {
                          static_cast<std::vector<std::wstring>*>(context)->push_back(entry);
                      },
                      &entries),
                  0);
        return entries;
    }
    static HKEY list_key()
    {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        return key;
    }
};

TEST_F(FollowListValues, NamesInAnyLanguageAreStoredAsTheyAreAndValuesOfOlderVersionsReadAsMeant)
{
    HKEY key = list_key();
    ASSERT_TRUE(key);
    // As the versions before wrote it: through the ANSI code page, where it holds é.
    char acp_name[32];
    BOOL lossy = TRUE;
    const bool acp_holds = WideCharToMultiByte(CP_ACP, 0, L"Caf\u00E9.exe", -1, acp_name, sizeof acp_name, nullptr,
                                               &lossy) > 0 && !lossy;
    if (acp_holds) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, acp_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(acp_name),
                                                static_cast<DWORD>(strlen(acp_name) + 1)));
    }
    // By hand (regedit writes UTF-16).
    const std::wstring hand = std::wstring(cyrillic) + L".exe";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, hand.c_str(), 0, REG_SZ, nullptr, 0));
    RegCloseKey(key);

    follow_list_add(japanese, &outcome);
    EXPECT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
    EXPECT_EQ(std::wstring(japanese), outcome.entry);
    follow_list_add(L"ZO\u00CB.EXE", &outcome); // Zoë.exe in capitals: another text, not another program
    EXPECT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
    follow_list_add(zoe, &outcome);
    EXPECT_EQ(static_cast<int>(follow_change::already), static_cast<int>(outcome.change));
    EXPECT_EQ(std::wstring(L"ZO\u00CB.EXE"), outcome.entry);
    follow_list_add(L"\u0438\u0433\u0440\u0430", &outcome); // игра: the hand-written Игра.exe
    EXPECT_EQ(static_cast<int>(follow_change::already), static_cast<int>(outcome.change));
    EXPECT_EQ(hand, outcome.entry);

    std::vector<std::wstring> entries = listed();
    std::vector<std::wstring> expected = {hand, japanese, L"ZO\u00CB.EXE"};
    if (acp_holds) expected.insert(expected.begin(), L"Caf\u00E9.exe");
    std::sort(entries.begin(), entries.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, entries);

    // The data holds the same text, in UTF-16: what another reader of the value finds.
    wchar_t data[64] = L"";
    DWORD size = sizeof data - sizeof(wchar_t), type = 0;
    key = list_key();
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, japanese, nullptr, &type, reinterpret_cast<BYTE*>(data), &size));
    RegCloseKey(key);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::wstring(japanese), data);

    for (const wchar_t* gone : {L"\u0438\u0433\u0440\u0430.EXE", japanese, zoe}) {
        follow_list_remove(gone, &outcome);
        EXPECT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
    }
    EXPECT_EQ(acp_holds ? 1u : 0u, listed().size());
    EXPECT_TRUE(acp_holds) << "the ANSI code page here (" << GetACP() << ") holds no \u00E9: that row was not tried";
}

TEST_F(FollowListValues, AnEntryLongerThanAValuesNameIsKeptWholeInTheData)
{
    const std::wstring at_limit = path_of_length(follow_value_name_limit);
    const std::wstring over = path_of_length(follow_value_name_limit + 1);
    const std::wstring longest = path_of_length(32767);
    // Two long entries alike in their first 16,374 characters are two values.
    const std::wstring alike = longest.substr(0, longest.size() - 5) + L"h.exe";
    for (const std::wstring* entry : {&at_limit, &over, &longest, &alike}) {
        follow_list_add(entry->c_str(), &outcome);
        EXPECT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change)) << entry->size();
    }
    std::vector<std::wstring> entries = listed();
    std::vector<std::wstring> expected = {at_limit, over, longest, alike};
    std::sort(entries.begin(), entries.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, entries);
    // The entry at the limit is its value's name, as every version reads it.
    HKEY key = list_key();
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, at_limit.c_str(), nullptr, nullptr, nullptr, nullptr));
    // A long form whose data is another text is read by its name (a '|': never followed).
    std::wstring forged = over.substr(0, follow_value_name_limit - 9) + L"|00000000";
    RegSetValueExW(key, forged.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(over.c_str()),
                   static_cast<DWORD>((over.size() + 1) * 2));
    RegCloseKey(key);
    entries = listed();
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), forged));

    follow_list_add(longest.c_str(), &outcome);
    EXPECT_EQ(static_cast<int>(follow_change::already), static_cast<int>(outcome.change));
    follow_list_remove(longest.c_str(), &outcome);
    EXPECT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
    EXPECT_EQ(longest, outcome.entry);
    entries = listed();
    EXPECT_EQ(entries.end(), std::find(entries.begin(), entries.end(), longest));
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), alike));
}

} // namespace
