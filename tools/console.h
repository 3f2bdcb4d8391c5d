// The client's console output: texts and formatted lines (at most 512 characters each)
// written to standard output or standard error as they are.
#pragma once

void console_out(const char* text);                                             // to standard output
void console_err(const char* text);                                             // to standard error
void console_outf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard output
void console_errf(const char* format, ...) __attribute__((format(printf, 1, 2))); // printf to standard error
