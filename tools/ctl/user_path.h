// tickmend-ctl path: this client's folder on the user's PATH (HKEY_CURRENT_USER\Environment,
// value Path), put there and taken off again exactly: what was appended is recorded under
// the settings key (path_added, and path_created when there was no Path value), and taking
// it off restores the Path as it was. Any length Windows allows: the value is read and
// written whole, in UTF-16.
#pragma once

// The path command with the arguments after "path" ("add" or "remove"); the exit code: 0
// done (also when there was nothing to do), 1 the registry could not be read or written,
// 64 a usage error.
int path_command(int argc, char** argv);

// The edit's rules on a Path's text (UTF-16, ended), whoever wrote it:
// The entry of path that names folder (case and a trailing backslash ignored): its start and
// length, or false. An empty entry (";;") names nothing.
bool path_find_entry(const wchar_t* path, const wchar_t* folder, int* at, int* length);
// What add appends to path for folder, into added (room for folder and one more character):
// folder, after a ';' unless path is empty or ends with one already.
void path_addition(const wchar_t* path, const wchar_t* folder, wchar_t* added);
// Takes the entry at (length characters, as path_find_entry found it) out of path, in place,
// with one separator beside it: the one before it, or for the first entry the one after.
void path_cut_entry(wchar_t* path, int at, int length);
