// What several tests share: scratch registry keys, child processes, paths of the build.
#pragma once
#include <windows.h>
#include <string>

namespace testing_support {

// A key under HKEY_CURRENT_USER\Software\tickmend-tests\<name>, removed (with its
// subkeys) when the object goes and when it is made.
class ScratchKey {
public:
    explicit ScratchKey(const char* name);
    ~ScratchKey();
    const char* path() const { return path_.c_str(); } // relative to HKEY_CURRENT_USER
private:
    std::string path_;
};

// Deletes a key and everything below it; true when it is gone afterwards.
bool delete_tree(HKEY root, const char* subkey);
// Everyone may only read the key (made if missing), or (read_only false) do anything.
bool key_read_only(HKEY root, const char* key, bool read_only);
// Gives everyone only access to the key (made when missing); 0 gives it back all (no DACL).
// false when it could not be set.
bool key_access_for_everyone(HKEY root, const char* key, DWORD access);

// The Windows path of a product executable in the build folder (build/NAME).
std::string product_path(const char* name);

// Runs a command line with extra environment entries ("NAME=value", separated by '\n'),
// waits at most timeout_ms; returns the exit code, or -1 when it could not start or
// did not end in time (then it is terminated).
int run_process(const std::string& command_line, const std::string& extra_env = "",
                DWORD timeout_ms = 30000);

// As run_process, with the process's standard output and error collected into *output; with
// errors given, standard error goes there apart.
int run_capture(const std::string& command_line, std::string* output, const std::string& extra_env = "",
                DWORD timeout_ms = 30000, std::string* errors = nullptr);

// As run_capture, with a command line in UTF-16 (names in any language reach the process).
int run_capture_wide(const std::wstring& command_line, std::string* output, const std::string& extra_env = "",
                     DWORD timeout_ms = 30000, std::string* errors = nullptr);

// Starts a process without waiting; the caller owns the returned process handle.
HANDLE start_process(const std::string& command_line, const std::string& extra_env = "");

// The whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

// A fresh, empty file path in the temporary folder, named after tag.
std::string temp_path(const char* tag);
// Writes text to temp_path(tag) and returns the path; "" when it cannot. The caller deletes it.
std::string write_temp(const char* tag, const std::string& text);

} // namespace testing_support
