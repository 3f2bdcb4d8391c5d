// The client's console output. Every line goes out through one layout (console_layout), so
// that each fits a console of 80 columns and a script can tell whose it is:
// - a line longer than console_columns breaks at its last space that fits and goes on, on
//   the next line, indented two more than it began (a word longer than a line stays whole; a
//   tab counts as the 8 columns it may take, a carriage return as none);
// - on standard error every line starts with console_error_prefix ("tickmend-ctl: "): a line
//   written without it gets it, and a line that goes on starts with it and two blanks more.
// A text may end in the middle of a line: the line goes out once its end comes (or at exit).
// CSV rows and the --wide table go out as they are (console_data): a script reads them whole.
// Texts are UTF-8: a console gets them in its own characters (WriteConsoleW, whatever its
// code page), a file or a pipe as UTF-8. Columns are counted in bytes, so a line with
// characters beyond ASCII breaks early, never late.
#pragma once
#include <stddef.h>

constexpr int console_columns = 79;
constexpr char console_error_prefix[] = "tickmend-ctl: ";

void console_out(const char* text);                                             // to standard output
void console_err(const char* text);                                             // to standard error
void console_outf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard output
void console_errf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard error
// The same as console_outf and console_errf (the names of a time when only some texts were
// laid out).
void console_outw(const char* format, ...) __attribute__((format(printf, 1, 2)));
void console_errw(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Lines for scripts, to standard output as they are, never broken.
void console_data(const char* text);
// A word the user typed, as a message quotes it: whole up to 60 characters, else its first 60
// and "..." (enough to know it again; the message stays within a line and its quote closes).
// Returns word itself or buffer.
const char* console_word(const char* word, char (&buffer)[64]);

// The layout itself: whole lines of text (a last line without its end is taken as ended), for
// standard error (error true) or standard output, handed to emit a line at a time, each with
// its line end.
void console_layout(const char* text, size_t length, bool error,
                    void (*emit)(const char* line, size_t length, void* context), void* context);
