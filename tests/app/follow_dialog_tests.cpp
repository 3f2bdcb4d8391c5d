// The dialog of the programs Gaming Mode follows, with names in any language and a long
// path: shown as they are stored, a running program of such a name added, each removed.
#include "app_test_support.h"
#include "app/follow_dialog.h"
#include "app/program_module.h"
#include "app/resource.h"
#include "follow/follow_list.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

using app_testing::WindowWatcher;

follow_outcome outcome;

std::vector<std::wstring> list_box_items(HWND list)
{
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring text(SendMessageW(list, LB_GETTEXTLEN, i, 0) + 1, L'\0');
        text.resize(SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0])));
        items.push_back(text);
    }
    std::sort(items.begin(), items.end());
    return items;
}

std::vector<std::wstring> stored()
{
    std::vector<std::wstring> entries;
    follow_list_each(
        [](const wchar_t* entry, follow_verdict, void* context) {
            static_cast<std::vector<std::wstring>*>(context)->push_back(entry);
        },
        &entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Selects text in the list and presses Remove.
void remove_in(HWND dialog, const std::wstring& text)
{
    HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST);
    const LRESULT at = SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
    ASSERT_NE(LB_ERR, at);
    SendMessageW(list, LB_SETCURSEL, at, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_FOLLOW_REMOVE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_FOLLOW_REMOVE)));
}

TEST(FollowDialog, NamesInAnyLanguageAndALongPathShowAsStoredAndAreAddedAndRemoved)
{
    testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key);
    app::app_instance = app_testing::instance();
    const std::wstring igra = L"\u0418\u0433\u0440\u0430.exe", game = L"\u30B2\u30FC\u30E0.exe", zoe = L"Zo\u00EB.exe";
    std::wstring long_path = L"C:\\";
    while (long_path.size() < 300) long_path += std::wstring(99, L'd') + L"\\";
    long_path += std::wstring(313 - long_path.size() - 4, L'g') + L".exe";
    ASSERT_EQ(313u, long_path.size());
    for (const std::wstring& entry : {igra, zoe, long_path}) {
        follow_list_add(entry.c_str(), &outcome);
        ASSERT_EQ(static_cast<int>(follow_change::done), static_cast<int>(outcome.change));
    }

    // A program named ゲーム.exe with a window the user sees: the dialog offers it to add.
    wchar_t temp[MAX_PATH], own[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring source(own);
    source = source.substr(0, source.find_last_of(L'\\') + 1) + L"follow_target.exe";
    const std::wstring copy = temp + game;
    ASSERT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE));
    std::wstring command = L"\"" + copy + L"\" tickmend-dialog-game";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    HWND shown = nullptr;
    for (int i = 0; i < 400 && !shown; ++i, Sleep(25)) shown = FindWindowA("tickmend_follow_target", "tickmend-dialog-game");
    ASSERT_TRUE(shown);
    ShowWindow(shown, SW_SHOWNOACTIVATE);

    HWND owner = app_testing::make_window("tickmend_follow_dialog_owner", DefWindowProcA);
    ASSERT_TRUE(owner);
    std::vector<std::wstring> at_open, after_add, after_remove;
    std::vector<std::wstring> stored_after_add;
    WindowWatcher watcher(
        "#32770", owner,
        [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, IDC_FOLLOW_LIST), box = GetDlgItem(dialog, IDC_FOLLOW_RUNNING);
            at_open = list_box_items(list);
            const LRESULT at = SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                            reinterpret_cast<LPARAM>(game.c_str()));
            EXPECT_NE(CB_ERR, at) << "the running program is not offered";
            SendMessageW(box, CB_SETCURSEL, at, 0);
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_FOLLOW_ADD, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_FOLLOW_ADD)));
            after_add = list_box_items(list);
            stored_after_add = stored();
            for (const std::wstring& entry : {igra, game, zoe, long_path}) remove_in(dialog, entry);
            after_remove = list_box_items(list);
            EndDialog(dialog, IDCANCEL);
        },
        [&](HWND dialog) { EndDialog(dialog, IDCANCEL); });
    app::show_follow_dialog(owner);
    watcher.stop();
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    DeleteFileW(copy.c_str());
    DestroyWindow(owner);

    EXPECT_TRUE(watcher.found());
    EXPECT_FALSE(watcher.guard_fired());
    std::vector<std::wstring> first = {igra, zoe, long_path}, all = {igra, game, zoe, long_path};
    std::sort(first.begin(), first.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(first, at_open);
    EXPECT_EQ(all, after_add);
    EXPECT_EQ(all, stored_after_add);
    EXPECT_TRUE(after_remove.empty());
    EXPECT_TRUE(stored().empty());
    testing_support::delete_tree(HKEY_CURRENT_USER, follow_list_key);
}

} // namespace
