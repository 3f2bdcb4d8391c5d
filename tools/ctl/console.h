// The client's console output: texts and formatted lines (at most 1023 characters each)
// written to standard output or standard error as they are.
#pragma once

void console_out(const char* text);                                             // to standard output
void console_err(const char* text);                                             // to standard error
void console_outf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard output
void console_errf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard error
// A sentence for the reader: printf, each line broken at spaces to at most console_columns.
constexpr int console_columns = 79;
void console_outw(const char* format, ...) __attribute__((format(printf, 1, 2))); // wrapped, to standard output
void console_errw(const char* format, ...) __attribute__((format(printf, 1, 2))); // wrapped, to standard error
