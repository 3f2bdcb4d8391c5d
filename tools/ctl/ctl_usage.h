// tickmend-ctl's exit codes, its usage text and its usage errors, shared by its commands.
#pragma once

// The exit codes (see the help text): 0 done, 1 failed, 2 no instance serves the pipe, 4 another
// program serves it, 5 left out or not given back (--strict), 6 busy, 7 not in the list, 8
// refused, 9 cannot tell (on --strict: the sync's check), 64 usage error. 3 (skew: out of
// step) is the skew command's own.
constexpr int exit_ok = 0, exit_failed = 1, exit_not_running = 2, exit_not_tickmend = 4, exit_left_out = 5,
              exit_busy = 6, exit_not_listed = 7, exit_refused = 8, exit_cannot_tell = 9, exit_usage = 64;

// Whether two words are the same in any case.
bool same(const char* a, const char* b);
// Whether word asks for the help: help, --help, -h, -? or /?.
bool is_help(const char* word);
// Prints the help: the usage, the commands, the machine read and the exit codes.
void print_help();
// A usage error: what was wrong, in one line that names the word (format takes first and
// second), then the usage line, on stderr; returns exit_usage.
int usage_error(const char* format, const char* first, const char* second = "");
