// The programs Gaming Mode follows that show no window (console programs, by the batch), and
// programs named in any language or run from a long path: listed, followed and removed
// through tickmend-ctl.
#include "following.h"

#include <thread>

namespace e2e {
namespace {

std::wstring wide_of(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    return wide;
}

std::string utf8_of(const std::wstring& text)
{
    std::string utf8(text.size() * 3 + 1, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0],
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
    return utf8;
}

// Console programs (console_target.exe copied under the names a test lists), started without
// a window of any kind.
class ConsoleFollowing : public Following {
protected:
    void TearDown() override
    {
        for (HANDLE process : consoles_) end_console(process);
        consoles_.clear();
        Following::TearDown();
        for (const std::wstring& copy : console_copies_) DeleteFileW(copy.c_str());
        for (auto at = folders_.rbegin(); at != folders_.rend(); ++at) RemoveDirectoryW(at->c_str());
    }
    // console_target.exe copied to path (a full path of any length); false when it could not be.
    bool console_copy(const std::wstring& path)
    {
        char own[MAX_PATH];
        GetModuleFileNameA(nullptr, own, sizeof own);
        std::string source(own);
        source = source.substr(0, source.find_last_of('\\') + 1) + "console_target.exe";
        const std::wstring long_form = path.size() >= MAX_PATH ? L"\\\\?\\" + path : path;
        if (!CopyFileW(wide_of(source).c_str(), long_form.c_str(), FALSE)) return false;
        console_copies_.push_back(long_form);
        return true;
    }
    // A copy in the temporary folder under name; its full path ("" when it could not be made).
    std::wstring console_copy_named(const std::wstring& name)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const std::wstring path = temp + name;
        return console_copy(path) ? path : L"";
    }
    // A folder below the temporary one whose path makes a file name of name_length characters
    // in it a path of exactly length characters; made, and removed at the end.
    std::wstring long_folder(size_t length, size_t name_length)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring folder = std::wstring(temp) + L"tickmend-long";
        CreateDirectoryW(folder.c_str(), nullptr);
        folders_.push_back(folder);
        while (folder.size() + 1 + name_length < length) {
            const size_t part = std::min<size_t>(100, length - folder.size() - 2 - name_length);
            folder += L"\\" + std::wstring(part, L'd');
            CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
            folders_.push_back(L"\\\\?\\" + folder);
        }
        return folder;
    }
    // Starts a copy of path; its process, or null. Wine starts no program from a path longer
    // than MAX_PATH - 1 (nor from its short form): such a copy is started through a hard link
    // beside the temporary files, another name of the listed file, as a launcher's own copy
    // would be.
    HANDLE start_console(const std::wstring& path)
    {
        std::wstring program = path;
        if (path.size() >= MAX_PATH) {
            wchar_t temp[MAX_PATH];
            GetTempPathW(MAX_PATH, temp);
            program = std::wstring(temp) + L"tickmend-long-link.exe";
            if (!CreateHardLinkW(program.c_str(), (L"\\\\?\\" + path).c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                return nullptr;
            console_copies_.push_back(program);
        }
        std::wstring command = L"\"" + program + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                            &pi))
            return nullptr;
        CloseHandle(pi.hThread);
        return pi.hProcess;
    }
    // Starts count copies of path. With on_ms given, the state is asked for from the first
    // start while the others start: the milliseconds from it to Gaming Mode on, -1 when not
    // within 20 s.
    void start_consoles(const std::wstring& path, int count, long* on_ms = nullptr)
    {
        HANDLE first = start_console(path);
        ASSERT_TRUE(first) << "error " << GetLastError();
        const DWORD first_at = GetTickCount();
        consoles_.push_back(first);
        std::vector<HANDLE> others;
        std::thread starting([&] {
            for (int i = 1; i < count; ++i)
                if (HANDLE process = start_console(path)) others.push_back(process);
        });
        if (on_ms) {
            *on_ms = state_becomes("on", 20000);
            if (*on_ms >= 0) *on_ms = static_cast<long>(GetTickCount() - first_at);
        }
        starting.join();
        consoles_.insert(consoles_.end(), others.begin(), others.end());
        ASSERT_EQ(static_cast<size_t>(count - 1), others.size()) << "not every copy started";
    }
    static void end_console(HANDLE process)
    {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    // Ends the first count consoles started, and returns once the follower has let go of them.
    void end_consoles(size_t count)
    {
        std::vector<DWORD> ids;
        for (size_t i = 0; i < count && i < consoles_.size(); ++i) {
            ids.push_back(GetProcessId(consoles_[i]));
            end_console(consoles_[i]);
        }
        consoles_.erase(consoles_.begin(), consoles_.begin() + std::min(count, consoles_.size()));
        await_let_go(ids);
    }
    // tickmend-ctl-sim with arguments in UTF-16; its exit code, its output (UTF-8) kept.
    int ctl_wide(const std::wstring& args)
    {
        return run_capture_wide(L"\"" + wide_of(product_path("tickmend-ctl-sim.exe")) + L"\" " + args, &ctl_output_,
                                env());
    }

    std::vector<HANDLE> consoles_;
    std::vector<std::wstring> console_copies_, folders_;
};

// 30 console programs, then 30 more: on for the first, held while any of the 60 runs, off
// only once the last has ended.
TEST_F(ConsoleFollowing, ThirtyAndThirtyConsoleProgramsHoldGamingModeUntilTheLastEnds)
{
    ASSERT_TRUE(power_plans_start_at(power_saver));
    start_instance();
    const std::wstring path = console_copy_named(L"tickmend-console.exe");
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(0, ctl("auto add tickmend-console.exe")) << ctl_output_;
    ASSERT_TRUE(stays("off"));
    long on_ms = -1;
    start_consoles(path, 30, &on_ms);
    ASSERT_GE(on_ms, 0) << "Gaming Mode did not go on for console programs";
    printf("on %ld ms after the first of 30 console programs started\n", on_ms);
    start_consoles(path, 30);
    end_consoles(30);
    EXPECT_EQ(1, pipe_state()) << "off while 30 listed programs still run";
    end_consoles(29);
    EXPECT_EQ(1, pipe_state()) << "off while a listed program still runs";
    const DWORD last_end = GetTickCount();
    end_consoles(1);
    EXPECT_GE(state_becomes("off"), 0) << "Gaming Mode stayed on after the last ended";
    printf("off %lu ms after the last of 60 was ended\n", GetTickCount() - last_end);
    close_instance();
}

// 200 console programs started at once: the same.
TEST_F(ConsoleFollowing, TwoHundredConsoleProgramsAtOnceHoldGamingModeUntilTheLastEnds)
{
    ASSERT_TRUE(power_plans_start_at(power_saver));
    start_instance();
    const std::wstring path = console_copy_named(L"tickmend-console.exe");
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(0, ctl("auto add tickmend-console.exe")) << ctl_output_;
    ASSERT_TRUE(stays("off"));
    long on_ms = -1;
    start_consoles(path, 200, &on_ms);
    ASSERT_GE(on_ms, 0) << "Gaming Mode did not go on for 200 console programs";
    printf("on %ld ms after the first of 200 console programs started\n", on_ms);
    end_consoles(199);
    EXPECT_EQ(1, pipe_state()) << "off while a listed program still runs";
    end_consoles(1);
    EXPECT_GE(state_becomes("off"), 0) << "Gaming Mode stayed on after the last ended";
    close_instance();
}

// Игра.exe, ゲーム.exe, Zoë.exe and a 313-character path: listed through tickmend-ctl as
// typed, shown as stored, followed, and removed.
TEST_F(ConsoleFollowing, ProgramsNamedInAnyLanguageOrListedByALongPathAreListedFollowedAndRemoved)
{
    ASSERT_TRUE(power_plans_start_at(power_saver));
    start_instance();
    const std::wstring names[] = {L"\u0418\u0433\u0440\u0430.exe", L"\u30B2\u30FC\u30E0.exe", L"Zo\u00EB.exe"};
    std::vector<std::wstring> listed, paths;
    for (const std::wstring& name : names) {
        paths.push_back(console_copy_named(name));
        ASSERT_FALSE(paths.back().empty());
        listed.push_back(name);
    }
    const std::wstring long_name = L"\u30B2\u30FC\u30E0-long.exe";
    const std::wstring long_path = long_folder(313, long_name.size()) + L"\\" + long_name;
    ASSERT_EQ(313u, long_path.size());
    ASSERT_TRUE(console_copy(long_path));
    paths.push_back(long_path);
    listed.push_back(long_path);

    for (const std::wstring& entry : listed) {
        EXPECT_EQ(0, ctl_wide(L"auto add \"" + entry + L"\"")) << ctl_output_;
        EXPECT_EQ(squeezed("added: " + utf8_of(entry) + "\n"), squeezed(ctl_output_)); // a long path goes on a line of its own
    }
    EXPECT_EQ(0, ctl_wide(L"auto add \u0418\u0413\u0420\u0410")) << ctl_output_; // ИГРА
    EXPECT_EQ(squeezed("already listed: " + utf8_of(names[0]) + "\n"), squeezed(ctl_output_));
    ASSERT_EQ(0, ctl("auto list"));
    for (const std::wstring& entry : listed)
        EXPECT_NE(std::string::npos, ctl_output_.find(utf8_of(entry) + "\n")) << ctl_output_;
    ASSERT_TRUE(stays("off"));

    for (const std::wstring& path : paths) {
        long on_ms = -1;
        start_consoles(path, 1, &on_ms);
        EXPECT_GE(on_ms, 0) << utf8_of(path);
        end_consoles(1);
        EXPECT_GE(state_becomes("off"), 0) << utf8_of(path);
    }
    for (const std::wstring& entry : listed) {
        EXPECT_EQ(0, ctl_wide(L"auto remove \"" + entry + L"\"")) << ctl_output_;
        EXPECT_EQ(squeezed("removed: " + utf8_of(entry) + "\n"), squeezed(ctl_output_)); // a long path goes on a line of its own
    }
    ASSERT_EQ(0, ctl("auto list"));
    EXPECT_EQ("", ctl_output_);
    // Removed: a start switches nothing.
    start_consoles(paths[0], 1);
    EXPECT_TRUE(stays("off"));
    close_instance();
}

} // namespace
} // namespace e2e
