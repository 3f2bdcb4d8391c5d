// The user's list of programs that Gaming Mode follows: kept under the user's settings key
// (follow_list_key), one value a program, named by the program as the user gave it: a file
// name (game.exe) or a full path. Names compare without regard to case, as Windows' do.
#pragma once
#include <windows.h>

// The list's key below HKEY_CURRENT_USER.
constexpr char follow_list_key[] = "Software\\QEL\\qel_pacemill\\auto";
// The longest entry, its end included.
constexpr int follow_entry_size = MAX_PATH;

enum class follow_change { done, already, not_listed, invalid, failed };

// Adds program (surrounding spaces and quotes dropped; a name without an extension gets
// ".exe"): done, already (listed in any case), invalid (empty, too long, a folder path
// without a file name) or failed (the registry refused).
follow_change follow_list_add(const char* program);
// Removes program, in any case: done, not_listed, invalid or failed.
follow_change follow_list_remove(const char* program);
// Calls each(entry, context) for every entry, in the registry's order; the number of
// entries, or -1 when the list cannot be read (no list reads as 0).
int follow_list_each(void (*each)(const char* entry, void* context), void* context);
// The file name part of a path (what follows its last \ or /).
const char* follow_file_part(const char* path);
// Whether the process image at path (a full path) is what entry names: the same full path,
// or for an entry without a folder, the same file name; case is not looked at.
bool follow_entry_matches(const char* entry, const char* path);
// Opens process id to read its image and wait for its end; null when it cannot (another
// user's, or gone). The caller closes it.
HANDLE follow_open_process(DWORD id);
// The full path of a process's image: QueryFullProcessImageNameA where Windows has it
// (Vista on), GetModuleFileNameExA on XP; both looked up at run time.
bool follow_image_path(HANDLE process, char* path, DWORD size);
