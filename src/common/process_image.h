// Which file a process runs, and whether two paths name one file: what the follower asks of
// every process that may be a listed program, and the client of the pipe of its server.
#pragma once
#include <windows.h>

// The file name part of a path (what follows its last \ or /; the whole text without one).
const char* path_file_part(const char* path);
const wchar_t* path_file_part(const wchar_t* path);
// Opens process id to read its image, with the rights in extra too (SYNCHRONIZE to wait for
// its end): PROCESS_QUERY_LIMITED_INFORMATION where Windows has it (Vista on), else the
// rights XP's GetModuleFileNameEx needs. Null when it cannot (another user's, or gone).
HANDLE open_process_image(DWORD id, DWORD extra);
// The full path of a process's image: QueryFullProcessImageNameA (Vista on), else
// GetModuleFileNameExA (XP), both looked up at run time; false when neither tells.
bool process_image_path(HANDLE process, char* path, DWORD size);
// The same in UTF-16, of any length Windows runs a program from (count characters).
bool process_image_path(HANDLE process, wchar_t* path, DWORD count);
// The longest path Windows takes, its end included (32,767 characters).
constexpr int long_path_size = 32768;
// path as the file functions take it at any length: a full path longer than MAX_PATH - 1
// (C:\..., \\server\...) in its \\?\ form (\\?\C:\..., \\?\UNC\server\...), any other as it
// is; into buffer (count characters). False when it does not fit.
bool long_path_form(const wchar_t* path, wchar_t* buffer, int count);

// A file as its volume knows it: hard links, 8.3 names, subst drives and junctions of one
// file all have the same.
struct file_identity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
};
// The identity of the file at path; false when it cannot be opened.
bool file_identity_of(const char* path, file_identity* identity);
bool file_identity_of(const wchar_t* path, file_identity* identity); // any length
// Whether two identities are one file.
bool same_identity(const file_identity& a, const file_identity& b);
// Whether two paths name one file (false when either cannot be opened).
bool same_file(const char* a, const char* b);
bool same_file(const wchar_t* a, const wchar_t* b);
