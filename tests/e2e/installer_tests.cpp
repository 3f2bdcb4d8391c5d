// tickmend-setup.exe as an administrator's script runs it.
#include "e2e.h"

namespace e2e {
namespace {

// tickmend-setup.exe as an administrator's script runs it: silent, into a folder of the
// test's own, with the instance and the power plan of the other tests.
class Installer : public Program {
protected:
    void SetUp() override
    {
        Program::SetUp();
        if (!TICKMEND_HAVE_MAKENSIS)
            GTEST_SKIP() << "makensis is not installed (scripts/setup installs nsis): no tickmend-setup.exe to test";
        remove_installation();
    }
    void TearDown() override
    {
        Program::TearDown();
        remove_installation();
    }

    static constexpr const char* dir = "C:\\tickmend-installer-test\\QEL Pacemill";
    static constexpr const char* other_dir = "C:\\tickmend-installer-test\\Elsewhere";
    static constexpr const char* run_key = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* uninstall_key =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QEL Pacemill";
    static std::string installed(const char* name, const char* folder = dir) { return std::string(folder) + "\\" + name; }
    static std::string menu_folder()
    {
        char programs[MAX_PATH] = "";
        SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, programs);
        return std::string(programs) + "\\QEL Pacemill";
    }
    static bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
    static int install(const char* folder = dir)
    {
        return run_process("\"" + product_path("tickmend-setup.exe") + "\" /S /D=" + folder, "", 120000);
    }
    // Runs a setup or uninstaller as a user at its pages; returns its exit code, and in *said
    // what its message boxes said.
    static int run_at_pages(const std::string& command_line, std::string* said, const std::string& extra_env = "")
    {
        HANDLE process = start_process(command_line, extra_env);
        if (!process) return -1;
        *said = click_through(process, 120000);
        if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 255);
        DWORD code = 99;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        return static_cast<int>(code);
    }
    static void delete_value(HKEY root, const char* key, const char* name)
    {
        HKEY opened;
        if (RegOpenKeyExA(root, key, 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS) return;
        RegDeleteValueA(opened, name);
        RegCloseKey(opened);
    }
    // True once a tickmend has started (its record of the start is written) within 20 s.
    static bool started_within_20_s()
    {
        for (int i = 0; i < 200; ++i, Sleep(100))
            if (registry_text(HKEY_CURRENT_USER, user_key, "last_start_time") != "") return true;
        return false;
    }
    // Whatever a failed run left behind goes, so that no other test meets it.
    static void remove_installation()
    {
        for (const char* folder : {dir, other_dir}) {
            for (const char* f : {"tickmend.exe", "tickmend-ctl.exe", "uninstall.exe"})
                DeleteFileA(installed(f, folder).c_str());
            RemoveDirectoryA(folder);
        }
        RemoveDirectoryA("C:\\tickmend-installer-test");
        for (const char* f : {"\\QEL Pacemill.lnk", "\\Uninstall QEL Pacemill.lnk"})
            DeleteFileA((menu_folder() + f).c_str());
        RemoveDirectoryA(menu_folder().c_str());
        delete_value(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill");
        delete_tree(HKEY_LOCAL_MACHINE, uninstall_key);
    }
    // This user's Path (HKEY_CURRENT_USER\Environment) whole, "\x01" when there is none; and
    // set (or, for "\x01", deleted).
    static std::wstring user_path()
    {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return L"\x01";
        DWORD size = 0, type = 0;
        std::wstring text = L"\x01";
        if (RegQueryValueExW(key, L"Path", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<wchar_t> read(size / sizeof(wchar_t) + 1);
            if (RegQueryValueExW(key, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(read.data()), &size) ==
                ERROR_SUCCESS)
                text = read.data();
        }
        RegCloseKey(key);
        return text;
    }
    static void set_user_path(const std::wstring& text)
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, &key, nullptr));
        if (text == L"\x01") RegDeleteValueW(key, L"Path");
        else RegSetValueExW(key, L"Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    // "major.minor.patch" of a file's fixed version block, "" without one.
    static std::string file_version(const std::string& path)
    {
        DWORD handle = 0, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        std::vector<BYTE> block(size ? size : 1);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!size || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
            !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length))
            return "";
        char text[32];
        snprintf(text, sizeof text, "%lu.%lu.%lu", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                 fixed->dwFileVersionLS >> 16);
        return text;
    }
};

TEST_F(Installer, SilentInstallStartsAtLogonAndSilentUninstallLeavesNothing)
{
    // A PATH of 4000 characters, beyond any string NSIS holds (1024): tickmend-ctl's folder is
    // added at its end, and the uninstaller takes off exactly that.
    const std::wstring path_before = user_path();
    std::wstring long_path;
    for (int i = 0; long_path.size() < 4000; ++i) long_path += L"C:\\tools\\folder" + std::to_wstring(i % 10) + L";";
    long_path.resize(3999);
    long_path += L"x";
    ASSERT_EQ(4000u, long_path.size());
    set_user_path(long_path);
    ASSERT_EQ(0, install());
    std::wstring wide_dir(dir, dir + strlen(dir));
    EXPECT_EQ(long_path + L";" + wide_dir, user_path());
    EXPECT_EQ("", registry_text(HKEY_CURRENT_USER, user_key, "last_start_time")) << "nothing ran, yet tickmend was started";
    // The shipping executables and the uninstaller; no simulated machine, no stand-in.
    std::set<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(installed("*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.insert(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_EQ((std::set<std::string>{"tickmend-ctl.exe", "tickmend.exe", "uninstall.exe"}), files);
    EXPECT_TRUE(exists(menu_folder() + "\\QEL Pacemill.lnk"));
    EXPECT_TRUE(exists(menu_folder() + "\\Uninstall QEL Pacemill.lnk"));

    // One version everywhere: the client, both version blocks, the uninstall entry.
    ASSERT_EQ(0, run_capture("\"" + installed("tickmend-ctl.exe") + "\" --version", &ctl_output_));
    EXPECT_EQ(std::string("tickmend-ctl ") + TICKMEND_VERSION + "\n", ctl_output_);
    EXPECT_EQ(TICKMEND_VERSION, file_version(installed("tickmend.exe")));
    EXPECT_EQ(TICKMEND_VERSION, file_version(installed("tickmend-ctl.exe")));
    EXPECT_EQ(TICKMEND_VERSION, registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayVersion"));
    EXPECT_EQ(dir, registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "InstallLocation"));
    EXPECT_EQ("QEL Pacemill", registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName"));

    // At logon Windows runs the Run value's command line: here one node without a driver,
    // where the program ends at once with 1 and without a window.
    std::string run = registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill");
    ASSERT_EQ("\"" + installed("tickmend.exe") + "\" /logon", run);
    EXPECT_EQ(1, run_process(run));
    EXPECT_EQ(nullptr, FindWindowA("TICKMEND", nullptr));

    // The uninstaller takes the user's settings and leaves the administrator's.
    DWORD value = 1500;
    ASSERT_EQ(1, set_registry_value(HKEY_LOCAL_MACHINE, machine_key, "sync_interval", REG_DWORD, &value, 4));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_DWORD, &value, 4));
    std::string quiet = registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "QuietUninstallString");
    ASSERT_EQ(0, run_process(quiet)) << quiet;
    // It goes on from a copy of itself in the temporary folder; the entry goes last.
    for (int i = 0; i < 600 && exists(dir); ++i) Sleep(100);
    for (int i = 0; i < 100 && registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName") != ""; ++i) Sleep(100);
    EXPECT_FALSE(exists(dir));
    EXPECT_FALSE(exists(menu_folder()));
    EXPECT_EQ("", registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill"));
    EXPECT_EQ("", registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName"));
    EXPECT_EQ(0xDEADu, stored_start_mode());
    value = 0;
    EXPECT_TRUE(GetRegistryValue(HKEY_LOCAL_MACHINE, machine_key, "sync_interval", &value, 4));
    EXPECT_EQ(1500u, value);
    EXPECT_TRUE(user_path() == long_path) << "the PATH is not as it was: " << user_path().size() << " characters";
    set_user_path(path_before);
}

TEST_F(Installer, UninstallKeepsARecordWhoseRestoreFailedForTheNextStartAndTellsHowToPickThePlan)
{
    ASSERT_EQ(0, install());
    // An instance that did not end properly left Power saver owed; powercfg fails now.
    ASSERT_TRUE(power_plans_start_at(high_performance));
    DWORD one = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "SetFails", REG_DWORD, &one, 4));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "restore_pending", REG_DWORD, &one, 4));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "restore_scheme_guid", REG_SZ, power_saver, 37));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "restore_set_guid", REG_SZ, high_performance, 37));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, user_key, "start_mode", REG_DWORD, &one, 4));
    // At its pages, in place (_?=: no copy of itself), so that its message can be read.
    std::string said;
    EXPECT_EQ(0, run_at_pages("\"" + installed("uninstall.exe") + "\" _?=" + dir, &said));
    EXPECT_NE(std::string::npos, said.find("Your own plan is \"Power saver\"")) << said;
    EXPECT_NE(std::string::npos, said.find("Control Panel > Power Options")) << said;
    EXPECT_NE(std::string::npos, said.find(std::string("powercfg -setactive ") + power_saver)) << said;
    EXPECT_EQ(power_saver, registry_text(HKEY_CURRENT_USER, user_key, "restore_scheme_guid"))
        << "the record of a restore that failed was deleted";
    EXPECT_EQ(0xDEADu, stored_start_mode()) << "the rest of the settings stays";

    // A later "/k" (or start) gives the plan back.
    DWORD zero = 0;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, powercfg_state, "SetFails", REG_DWORD, &zero, 4));
    EXPECT_EQ(1, run_process(sim_command("/k"), env()));
    EXPECT_EQ(power_saver, registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"));
    EXPECT_EQ("", registry_text(HKEY_CURRENT_USER, user_key, "restore_scheme_guid"));
    delete_tree(HKEY_CURRENT_USER, powercfg_state);
}

TEST_F(Installer, InstallOverARunningInstanceEndsItRestoresThePlanAndStartsItAgain)
{
    ASSERT_TRUE(power_plans_start_at(power_saver));
    start_instance();
    ASSERT_EQ(0, ctl("on"));
    ASSERT_EQ(high_performance, registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"));
    delete_value(HKEY_CURRENT_USER, user_key, "last_start_time");

    ASSERT_EQ(0, install());
    instance_ends_well();
    EXPECT_EQ(power_saver, registry_text(HKEY_CURRENT_USER, powercfg_state, "Active"));
    EXPECT_EQ(1u, stored_start_mode()) << "Gaming Mode is not remembered for the new version";
    // Silent too, the new version is started again (here one node: it ends at once, and, not
    // started at logon, says why in a box, closed here).
    EXPECT_TRUE(started_within_20_s()) << "the upgrade did not start again what ran";
    HWND box = nullptr;
    for (int i = 0; i < 250 && !box; ++i, Sleep(20)) box = FindWindowA("#32770", "QEL Pacemill");
    if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
    delete_tree(HKEY_CURRENT_USER, powercfg_state);
}

// A file in use fails the setup with its name. The client is checked before anything is
// ended, so the instance runs on; the program can only be checked once the instance has
// ended, which is then started again from where it ran (here tickmend-sim.exe, on the
// machine the setup passes on), with Gaming Mode on again.
TEST_F(Installer, FailedSetupNamesTheFileInUseAndLeavesRunningWhatRan)
{
    ASSERT_EQ(0, install());
    const struct {
        const char* file;
        const char* holder; // what the message says holds it
        bool ended;
    } rows[] = {{"tickmend-ctl.exe", "tickmend-ctl is running", false},
                {"tickmend.exe", "QEL Pacemill still runs, most likely in another user's session", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        start_instance();
        ASSERT_EQ(0, ctl("on"));
        delete_value(HKEY_CURRENT_USER, user_key, "last_start_time");
        HANDLE held = CreateFileA(installed(row.file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        std::string said;
        EXPECT_EQ(2, run_at_pages("\"" + product_path("tickmend-setup.exe") + "\" /D=" + dir, &said, env()));
        CloseHandle(held);
        EXPECT_NE(std::string::npos, said.find(installed(row.file) + " is in use: " + row.holder)) << said;
        if (row.ended) {
            instance_ends_well();
            EXPECT_NE(std::string::npos, said.find("was started again")) << said;
            bool resident = false;
            for (int i = 0; i < 200 && !resident; ++i, Sleep(100))
                resident = FindWindowA("TICKMEND", nullptr) && WaitNamedPipeA(pipe_name, 50);
            ASSERT_TRUE(resident) << "what ran was not started again";
            EXPECT_EQ(0, ctl("status"));
            EXPECT_EQ("Gaming Mode: on", ctl_output_.substr(0, ctl_output_.find_first_of("\r\n")));
            EXPECT_EQ(1, run_process(sim_command("/k"), env()));
        } else {
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(instance_, 0)) << "the instance was ended";
            EXPECT_EQ(0, ctl("status"));
            EXPECT_EQ("Gaming Mode: on", ctl_output_.substr(0, ctl_output_.find_first_of("\r\n")));
            close_instance();
        }
    }
}

// /D= names another folder than the installed one: the installation moves there.
TEST_F(Installer, InstallIntoAnotherFolderMovesTheInstallation)
{
    ASSERT_EQ(0, install());
    ASSERT_EQ(0, install(other_dir));
    for (const char* f : {"tickmend.exe", "tickmend-ctl.exe", "uninstall.exe"}) {
        EXPECT_TRUE(exists(installed(f, other_dir))) << f;
        EXPECT_FALSE(exists(installed(f))) << f << " stays in the old folder";
    }
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(other_dir, registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "InstallLocation"));
    EXPECT_EQ("\"" + installed("tickmend.exe", other_dir) + "\" /logon",
              registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill"));
}

} // namespace
} // namespace e2e
