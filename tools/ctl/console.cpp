#include "console.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

void write_to(DWORD which, const char* text)
{
    DWORD written;
    WriteFile(GetStdHandle(which), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

void write_formatted(DWORD which, const char* format, va_list args, bool wrap = false)
{
    char line[1024];
    _vsnprintf(line, sizeof line - 1, format, args);
    line[sizeof line - 1] = '\0';
    // Each line longer than the columns breaks at its last space that fits (a word longer
    // than a line stays whole).
    for (char* start = line; wrap && *start;) {
        char* end = start;
        while (*end && *end != '\n') ++end;
        if (end - start <= console_columns) {
            start = *end ? end + 1 : end;
            continue;
        }
        char* cut = start + console_columns;
        while (cut > start && *cut != ' ') --cut;
        if (cut == start) {
            cut = start + console_columns;
            while (*cut && *cut != ' ' && *cut != '\n') ++cut;
            if (*cut != ' ') {
                start = *cut ? cut + 1 : cut;
                continue;
            }
        }
        *cut = '\n';
        start = cut + 1;
    }
    write_to(which, line);
}

} // namespace

void console_out(const char* text) { write_to(STD_OUTPUT_HANDLE, text); }
void console_err(const char* text) { write_to(STD_ERROR_HANDLE, text); }

void console_outf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void console_errf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(STD_ERROR_HANDLE, format, args);
    va_end(args);
}

void console_outw(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(STD_OUTPUT_HANDLE, format, args, true);
    va_end(args);
}

void console_errw(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(STD_ERROR_HANDLE, format, args, true);
    va_end(args);
}
