// Trace lines of the diagnostic build (printf-style, written with OutputDebugStringA).
// In the ordinary build TRACE compiles to nothing and evaluates none of its arguments.
#pragma once

#ifdef TICKMEND_DIAGNOSTIC
void trace_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
#define TRACE(...) trace_printf(__VA_ARGS__)
#else
#define TRACE(...) ((void)0)
#endif
