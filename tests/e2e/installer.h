// The fixture of the setup's tests (installer_tests.cpp, installer_answer_tests.cpp).
#pragma once
#include "e2e.h"

#include <vector>

namespace e2e {

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
        path_kept_ = read_value(HKEY_CURRENT_USER, "Environment", "Path", &path_type_, &path_bytes_);
    }
    void TearDown() override
    {
        Program::TearDown();
        remove_installation();
        // The setup puts its folder on this user's Path: the prefix's Path goes back as it was.
        if (!IsSkipped()) put_value_back(HKEY_CURRENT_USER, "Environment", "Path", path_kept_, path_type_, path_bytes_);
    }
    // A value's type and bytes; false when there is none.
    static bool read_value(HKEY root, const char* key, const char* name, DWORD* type, std::vector<BYTE>* bytes)
    {
        DWORD size = 0;
        if (RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, type, nullptr, &size) != ERROR_SUCCESS) return false;
        bytes->resize(size);
        return RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, type, bytes->data(), &size) == ERROR_SUCCESS;
    }
    static void put_value_back(HKEY root, const char* key, const char* name, bool had, DWORD type,
                               const std::vector<BYTE>& bytes)
    {
        HKEY opened;
        if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS) return;
        if (had) RegSetValueExA(opened, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        else RegDeleteValueA(opened, name);
        RegCloseKey(opened);
    }
    bool path_kept_ = false;
    DWORD path_type_ = 0;
    std::vector<BYTE> path_bytes_;

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
    // The answer's code in topology's CSV ("answer,,,,,one_node_steady"), "" without one.
    static std::string csv_answer(const std::string& csv)
    {
        const size_t at = csv.find("\nanswer,,,,,");
        if (at == std::string::npos) return "";
        const size_t from = at + 12;
        return csv.substr(from, csv.find_first_of("\r\n", from) - from);
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
            for (const char* f : {"tickmend.exe", "tickmend-ctl.exe", "uninstall.exe", "setup.exe"})
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

} // namespace e2e
