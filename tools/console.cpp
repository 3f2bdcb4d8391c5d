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

void write_formatted(DWORD which, const char* format, va_list args)
{
    char line[512];
    _vsnprintf(line, sizeof line - 1, format, args);
    line[sizeof line - 1] = '\0';
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
