// tickmend-ctl's rules as tables: the exit code of an on, an off or a state asked once the
// server answered, and the PATH edit on texts as a hand edit leaves them.
#include "ctl_pipe.h"
#include "ctl_usage.h"
#include "user_path.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

namespace {

TEST(CtlExitTable, EveryExitCodeKeepsItsNumber)
{
    // Scripts test these numbers: the README's table.
    EXPECT_EQ(0, exit_ok);
    EXPECT_EQ(1, exit_failed);
    EXPECT_EQ(2, exit_not_running);
    EXPECT_EQ(4, exit_not_tickmend);
    EXPECT_EQ(5, exit_left_out);
    EXPECT_EQ(6, exit_busy);
    EXPECT_EQ(7, exit_not_listed);
    EXPECT_EQ(8, exit_refused);
    EXPECT_EQ(64, exit_usage);
}

// Without --strict an answered on or off exits 0, whatever it left; with it, 5 when the switch
// did not happen or the server's record names something left out or not given back.
TEST(CtlExitTable, OnlyStrictMakesAnAnsweredSwitchThatLeftSomethingAFailure)
{
    struct Row {
        char request, state;
        int told;
        bool strict;
        int code;
    } rows[] = {
        {'1', '1', 0, false, exit_ok}, {'1', '1', 0, true, exit_ok},
        {'1', '1', 1, false, exit_ok}, {'1', '1', 1, true, exit_left_out}, {'1', '1', 3, true, exit_left_out},
        {'1', '0', 0, false, exit_ok}, {'1', '0', 0, true, exit_left_out},
        {'0', '0', 0, false, exit_ok}, {'0', '0', 0, true, exit_ok},
        {'0', '0', 1, false, exit_ok}, {'0', '0', 1, true, exit_left_out}, {'0', '0', 2, true, exit_left_out},
        {'0', '1', 0, false, exit_ok}, {'0', '1', 0, true, exit_left_out},
        {'?', '1', 0, true, exit_ok},  {'?', '0', 4, true, exit_ok},   {'?', '0', 4, false, exit_ok},
        {'1', '1', -1, true, exit_ok}, // the record could not be read: nothing told
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.code, answered_exit_code(r.request, r.state, r.told, r.strict))
            << "request " << r.request << ", state " << r.state << ", told " << r.told << (r.strict ? ", strict" : "");
}

std::string narrow(const wchar_t* w)
{
    std::string s;
    for (; *w; ++w) s += static_cast<char>(*w);
    return s;
}

// What add appends to a Path as the user left it.
TEST(PathEditTable, AddPutsOneSeparatorBeforeTheFolderAndNeverTwo)
{
    struct Row {
        const wchar_t* path;
        const wchar_t* added;
    } rows[] = {
        {L"", L"C:\\T"},
        {L"C:\\A", L";C:\\T"},
        {L"C:\\A;", L"C:\\T"},   // a Path edited by hand ends with the separator already
        {L"C:\\A;;", L"C:\\T"},
        {L";", L"C:\\T"},
        {L"C:\\A; ", L";C:\\T"},  // a blank is an entry's, not a separator
    };
    for (const Row& r : rows) {
        wchar_t added[MAX_PATH + 2];
        path_addition(r.path, L"C:\\T", added);
        EXPECT_EQ(narrow(r.added), narrow(added)) << narrow(r.path);
    }
}

// A Path edited since add: remove finds the folder's entry wherever it is now, and takes it
// with one separator beside it (a Path add left as it was is cut back to its old text).
TEST(PathEditTable, RemoveTakesTheEntryAndOneSeparatorBesideIt)
{
    struct Row {
        const wchar_t* path;
        const wchar_t* after; // nullptr: not found
    } rows[] = {
        {L"C:\\T", L""},
        {L"C:\\T;C:\\B", L"C:\\B"},         // first: the separator after it
        {L"C:\\A;C:\\T", L"C:\\A"},         // last: the one before it
        {L"C:\\A;C:\\T;C:\\B", L"C:\\A;C:\\B"},
        {L"C:\\A;c:\\t\\;C:\\B", L"C:\\A;C:\\B"}, // case and a trailing backslash
        {L"C:\\A;C:\\T;", L"C:\\A;"},       // a hand edit's trailing separator stays
        {L"C:\\A;;C:\\T", L"C:\\A;"},       // an empty entry before it stays
        {L";C:\\T", L""},
        {L"C:\\T;;C:\\B", L";C:\\B"},
        {L"C:\\Tools;C:\\A", nullptr},      // a longer folder is another
        {L"C:\\A;C:\\T\\x", nullptr},
        {L"", nullptr},
        {L";;", nullptr},
    };
    for (const Row& r : rows) {
        wchar_t text[128];
        lstrcpyW(text, r.path);
        int at = -1, length = -1;
        const bool found = path_find_entry(text, L"C:\\T", &at, &length);
        EXPECT_EQ(r.after != nullptr, found) << narrow(r.path);
        if (!found || !r.after) continue;
        path_cut_entry(text, at, length);
        EXPECT_EQ(narrow(r.after), narrow(text)) << narrow(r.path);
    }
}

// The whole path command on this user's Path (this prefix's registry), as a hand edit leaves
// it between add and remove: the folder moved to the front. remove finds it there from the
// record add kept (";FOLDER" when add put a separator before it) and takes it with one
// separator, leaving the rest as the user left it.
class PathCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0,
                                                 KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &environment_, nullptr));
        DWORD size = sizeof saved_;
        had_path_ = RegQueryValueExW(environment_, L"Path", nullptr, &saved_type_, reinterpret_cast<BYTE*>(saved_),
                                     &size) == ERROR_SUCCESS;
    }
    void TearDown() override
    {
        if (had_path_) RegSetValueExW(environment_, L"Path", 0, saved_type_, reinterpret_cast<const BYTE*>(saved_),
                                      static_cast<DWORD>((lstrlenW(saved_) + 1) * sizeof(wchar_t)));
        else RegDeleteValueW(environment_, L"Path");
        RegCloseKey(environment_);
    }
    static int path(const char* verb)
    {
        char copy[16];
        lstrcpynA(copy, verb, sizeof copy);
        char* argv[] = {copy};
        return path_command(1, argv);
    }
    void set_path(const std::wstring& text)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(environment_, L"Path", 0, REG_EXPAND_SZ,
                                                reinterpret_cast<const BYTE*>(text.c_str()),
                                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    }
    std::wstring get_path()
    {
        wchar_t text[2048] = L"";
        DWORD size = sizeof text - sizeof(wchar_t);
        if (RegQueryValueExW(environment_, L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS)
            return L"(none)";
        return text;
    }
    static std::wstring own_folder()
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring folder = self;
        return folder.substr(0, folder.find_last_of(L'\\'));
    }
    HKEY environment_ = nullptr;
    bool had_path_ = false;
    DWORD saved_type_ = REG_EXPAND_SZ;
    wchar_t saved_[2048] = L"";
};

TEST_F(PathCommand, RemoveFindsTheFolderAHandEditMovedAndTakesItWithOneSeparator)
{
    const std::wstring folder = own_folder();
    struct Row {
        const wchar_t* before;      // the Path add found
        std::wstring edited;        // the Path as the user left it after add
        const wchar_t* after;       // the Path remove leaves
    } rows[] = {
        {L"C:\\A", folder + L";C:\\A;C:\\B", L"C:\\A;C:\\B"},        // recorded as ";FOLDER"
        {L"C:\\A;", L"C:\\B;" + folder + L"\\;C:\\A;", L"C:\\B;C:\\A;"}, // recorded as "FOLDER"
    };
    for (const Row& r : rows) {
        set_path(r.before);
        ASSERT_EQ(0, path("add"));
        ASSERT_NE(std::wstring(r.before), get_path()) << "add put nothing on " << narrow(r.before);
        set_path(r.edited);
        EXPECT_EQ(0, path("remove")) << narrow(r.before);
        EXPECT_EQ(narrow(r.after), narrow(get_path().c_str())) << narrow(r.before);
        EXPECT_EQ(0, path("remove")) << "nothing is left to take off";
        EXPECT_EQ(narrow(r.after), narrow(get_path().c_str())) << narrow(r.before);
    }
}

} // namespace
