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
