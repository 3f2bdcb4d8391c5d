#include "common/trace.h"

#ifdef TICKMEND_DIAGNOSTIC
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

void trace_printf(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    _vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    line[sizeof line - 1] = '\0';
    OutputDebugStringA(line);
}
#endif
