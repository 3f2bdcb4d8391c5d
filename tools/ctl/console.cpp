#include "console.h"
#include "common/wide_text.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t prefix_length = sizeof console_error_prefix - 1;
const char blanks[] = "                                        ";

// A stream and the start of a line that waits for its end.
struct Stream {
    DWORD which;
    bool error;
    char pending[1024];
    size_t used;
};
Stream streams[2] = {{STD_OUTPUT_HANDLE, false, {}, 0}, {STD_ERROR_HANDLE, true, {}, 0}};

// A console shows the user's characters as they are (WriteConsoleW, whatever its code
// page); a file or a pipe gets the UTF-8 as it is.
void write_raw(DWORD which, const char* text, size_t length)
{
    if (!length) return;
    HANDLE out = GetStdHandle(which);
    DWORD written, mode;
    if (GetConsoleMode(out, &mode)) {
        wide_buffer wide(static_cast<int>(length) + 1);
        if (wide) {
            const int count = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide.get(), wide.count());
            if (count > 0) {
                WriteConsoleW(out, wide.get(), static_cast<DWORD>(count), &written, nullptr);
                return;
            }
        }
    }
    WriteFile(out, text, static_cast<DWORD>(length), &written, nullptr);
}

void emit_to_stream(const char* line, size_t length, void* context)
{
    write_raw(static_cast<Stream*>(context)->which, line, length);
}

// One line out: the lead, blanks, the text, the line end; nothing at the end of a line blank.
void emit_line(const char* lead, size_t lead_length, size_t spaces, const char* text, size_t length,
               void (*emit)(const char*, size_t, void*), void* context)
{
    while (length && text[length - 1] == ' ') --length;
    if (!length) {
        while (lead_length && lead[lead_length - 1] == ' ') --lead_length;
        spaces = 0;
    }
    emit(lead, lead_length, context);
    for (; spaces; spaces -= spaces < sizeof blanks - 1 ? spaces : sizeof blanks - 1)
        emit(blanks, spaces < sizeof blanks - 1 ? spaces : sizeof blanks - 1, context);
    emit(text, length, context);
    emit("\n", 1, context);
}

// How many of text's first length bytes fit within room columns: a tab takes up to 8 (to its
// next stop), a carriage return none, every other byte one.
size_t fitting(const char* text, size_t length, size_t room)
{
    size_t n = 0;
    for (size_t used = 0; n < length; ++n) {
        used += text[n] == '\t' ? 8 : text[n] == '\r' ? 0 : 1;
        if (used > room) break;
    }
    return n;
}

// One line (without its end), broken where it is longer than the columns.
void layout_line(const char* line, size_t length, bool error, void (*emit)(const char*, size_t, void*),
                 void* context)
{
    const char* lead = "";
    size_t lead_length = 0;
    if (error) {
        lead = console_error_prefix;
        lead_length = prefix_length;
        if (length >= prefix_length && memcmp(line, console_error_prefix, prefix_length) == 0) {
            line += prefix_length;
            length -= prefix_length;
        }
    }
    size_t indent = 0;
    while (indent < length && line[indent] == ' ') ++indent;
    // A line that goes on starts two further in than its first, at most half the columns in.
    size_t going_on = lead_length + indent + 2;
    if (going_on > console_columns / 2) going_on = console_columns / 2;
    size_t at = 0, used = lead_length, earliest = indent + 1; // no break inside the indent
    for (;;) {
        const size_t room = fitting(line + at, length - at, console_columns > used ? console_columns - used : 0);
        if (length - at <= room) break;
        // The last space that leaves at most room before it; else the first after a longer word.
        size_t cut = 0;
        for (size_t k = room; k >= earliest && !cut; --k)
            if (line[at + k] == ' ') cut = at + k;
        for (size_t k = room + 1; !cut && at + k < length; ++k)
            if (line[at + k] == ' ') cut = at + k;
        if (!cut) break;
        emit_line(lead, lead_length, used - lead_length, line + at, cut - at, emit, context);
        at = cut;
        while (at < length && line[at] == ' ') ++at;
        used = going_on;
        earliest = 1;
    }
    emit_line(lead, lead_length, used - lead_length, line + at, length - at, emit, context);
}

void flush(Stream& stream)
{
    if (!stream.used) return;
    console_layout(stream.pending, stream.used, stream.error, emit_to_stream, &stream);
    stream.used = 0;
}

void flush_all() { flush(streams[0]), flush(streams[1]); }

// Whole lines go out at once; the start of one waits in pending for its end.
void put(Stream& stream, const char* text)
{
    static bool flushed_at_exit = (atexit(flush_all), true);
    (void)flushed_at_exit;
    while (*text) {
        const char* end = strchr(text, '\n');
        const size_t n = end ? static_cast<size_t>(end - text) + 1 : strlen(text);
        // A line too long to wait whole goes out in two.
        if (stream.used && stream.used + n > sizeof stream.pending) flush(stream);
        if (!stream.used && (end || n > sizeof stream.pending)) {
            console_layout(text, n, stream.error, emit_to_stream, &stream);
        } else {
            memcpy(stream.pending + stream.used, text, n);
            stream.used += n;
            if (end) flush(stream);
        }
        text += n;
    }
}

void put_formatted(Stream& stream, const char* format, va_list args)
{
    char text[1024];
    const int made = _vsnprintf(text, sizeof text - 1, format, args);
    text[sizeof text - 1] = '\0';
    if (made < 0 || made >= static_cast<int>(sizeof text - 1)) {
        // Too long: cut at a whole character, and a line keeps its end (the next is not joined to it).
        const size_t format_length = strlen(format);
        const bool line = format_length && format[format_length - 1] == '\n';
        const int kept = static_cast<int>(sizeof text - 1) - (line ? 1 : 0);
        size_t at = static_cast<size_t>(utf8_whole_length(text, kept));
        if (line) text[at++] = '\n';
        text[at] = '\0';
    }
    put(stream, text);
}

} // namespace

void console_layout(const char* text, size_t length, bool error,
                    void (*emit)(const char* line, size_t length, void* context), void* context)
{
    for (size_t at = 0; at < length;) {
        const char* end = static_cast<const char*>(memchr(text + at, '\n', length - at));
        const size_t line_end = end ? static_cast<size_t>(end - text) : length;
        layout_line(text + at, line_end - at, error, emit, context);
        at = line_end + 1;
    }
}

void console_out(const char* text) { put(streams[0], text); }
void console_err(const char* text) { put(streams[1], text); }

void console_data(const char* text)
{
    flush(streams[0]);
    write_raw(STD_OUTPUT_HANDLE, text, strlen(text));
}

const char* console_word(const char* word, char (&buffer)[64])
{
    const size_t shown = 60;
    if (strlen(word) <= shown) return word;
    memcpy(buffer, word, shown);
    memcpy(buffer + shown, "...", 4);
    return buffer;
}

void console_outf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    put_formatted(streams[0], format, args);
    va_end(args);
}

void console_errf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    put_formatted(streams[1], format, args);
    va_end(args);
}

void console_outw(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    put_formatted(streams[0], format, args);
    va_end(args);
}

void console_errw(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    put_formatted(streams[1], format, args);
    va_end(args);
}
