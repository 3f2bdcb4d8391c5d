// The user's texts in any language: UTF-16 as Windows keeps them, UTF-8 where a text goes
// through a char* (the tray's words, the client's console, the name the owner is told).
// Nothing passes through the ANSI code page, which cannot hold most of the world's names.
#pragma once
#include <windows.h>

// text (UTF-16) as UTF-8 into buffer (size bytes, always ended, cut at a whole character);
// false when it was cut.
bool utf8_from_wide(const wchar_t* text, char* buffer, int size);
// text (UTF-8) as UTF-16 into buffer (count characters, always ended, cut at a whole
// character); false when it was cut or was not UTF-8 (what could be read is kept).
bool wide_from_utf8(const char* text, wchar_t* buffer, int count);
// Whether two names are one as Windows' file names are: the same characters, case aside
// (each upper-cased by the invariant table, one for one; none ignored, none folded).
bool same_name(const wchar_t* a, const wchar_t* b);

// A wide text of count characters on the process heap (empty when memory ran out), for the
// long paths that no stack should hold.
class wide_buffer {
public:
    explicit wide_buffer(int count);
    wide_buffer(const wide_buffer&) = delete;
    wide_buffer& operator=(const wide_buffer&) = delete;
    ~wide_buffer();
    explicit operator bool() const { return text_ != nullptr; }
    wchar_t* get() const { return text_; }
    int count() const { return count_; }

private:
    wchar_t* text_;
    int count_;
};

// A copy of text on the process heap (null when memory ran out), freed with free_text.
wchar_t* copy_text(const wchar_t* text);
void free_text(wchar_t* text);
