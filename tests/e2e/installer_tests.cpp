// tickmend-setup.exe as an administrator's script runs it.
#include "installer.h"

namespace e2e {
namespace {

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
    // The setup's own copy too, which the uninstall entry's Change runs.
    EXPECT_EQ((std::set<std::string>{"setup.exe", "tickmend-ctl.exe", "tickmend.exe", "uninstall.exe"}), files);
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

    // At logon Windows runs the Run value's command line, registered only where something
    // runs then (the PC's answer, as the installed client gives it): here one node, where the
    // program ends at once with 1 and without a window.
    ASSERT_EQ(0, run_capture("\"" + installed("tickmend-ctl.exe") + "\" topology --csv", &ctl_output_));
    const std::string answer = csv_answer(ctl_output_);
    ASSERT_EQ(0u, answer.find("one_node")) << ctl_output_;
    std::string run = registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill");
    if (answer == "one_node_held") {
        ASSERT_EQ("\"" + installed("tickmend.exe") + "\" /logon", run);
        EXPECT_EQ(1, run_process(run));
    } else {
        EXPECT_EQ("", run) << answer << ": nothing runs at logon";
    }
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
    for (const char* f : {"tickmend.exe", "tickmend-ctl.exe", "uninstall.exe", "setup.exe"}) {
        EXPECT_TRUE(exists(installed(f, other_dir))) << f;
        EXPECT_FALSE(exists(installed(f))) << f << " stays in the old folder";
    }
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(other_dir, registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "InstallLocation"));
    // The entry's Change, and the start at logon where this PC has one, name the new folder.
    EXPECT_EQ("\"" + installed("setup.exe", other_dir) + "\"", registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "ModifyPath"));
    const std::string run = registry_text(HKEY_LOCAL_MACHINE, run_key, "QEL Pacemill");
    EXPECT_TRUE(run.empty() || run == "\"" + installed("tickmend.exe", other_dir) + "\" /logon") << run;
}

// A move checks the old folder's files as it checks the new one's: the client still running
// from the old folder fails the setup, which names it, and nothing moves.
TEST_F(Installer, MoveToAnotherFolderFailsWhileTheOldFoldersClientIsInUse)
{
    ASSERT_EQ(0, install());
    HANDLE held = CreateFileA(installed("tickmend-ctl.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::string said;
    EXPECT_EQ(2, run_at_pages("\"" + product_path("tickmend-setup.exe") + "\" /D=" + other_dir, &said));
    CloseHandle(held);
    EXPECT_NE(std::string::npos, said.find(installed("tickmend-ctl.exe") + " is in use: tickmend-ctl is running"))
        << said;
    for (const char* f : {"tickmend.exe", "tickmend-ctl.exe", "uninstall.exe"}) {
        EXPECT_TRUE(exists(installed(f))) << f << " left the old folder";
        EXPECT_FALSE(exists(installed(f, other_dir))) << f << " in the new folder";
    }
    EXPECT_EQ(std::string(dir), registry_text(HKEY_LOCAL_MACHINE, uninstall_key, "InstallLocation"));
}

} // namespace
} // namespace e2e
