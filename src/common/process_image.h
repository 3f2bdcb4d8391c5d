// Which file a process runs, and whether two paths name one file: what the follower asks of
// every process that may be a listed program, and the client of the pipe of its server.
#pragma once
#include <windows.h>

// The file name part of a path (what follows its last \ or /; the whole text without one).
const char* path_file_part(const char* path);
// Opens process id to read its image, with the rights in extra too (SYNCHRONIZE to wait for
// its end): PROCESS_QUERY_LIMITED_INFORMATION where Windows has it (Vista on), else the
// rights XP's GetModuleFileNameEx needs. Null when it cannot (another user's, or gone).
HANDLE open_process_image(DWORD id, DWORD extra);
// The full path of a process's image: QueryFullProcessImageNameA (Vista on), else
// GetModuleFileNameExA (XP), both looked up at run time; false when neither tells.
bool process_image_path(HANDLE process, char* path, DWORD size);

// A file as its volume knows it: hard links, 8.3 names, subst drives and junctions of one
// file all have the same.
struct file_identity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
};
// The identity of the file at path; false when it cannot be opened.
bool file_identity_of(const char* path, file_identity* identity);
// Whether two identities are one file.
bool same_identity(const file_identity& a, const file_identity& b);
// Whether two paths name one file (false when either cannot be opened).
bool same_file(const char* a, const char* b);
