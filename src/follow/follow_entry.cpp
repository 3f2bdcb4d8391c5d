// The rule of an entry of the list of followed programs: a program's file name or the
// absolute path of its .exe, in any language and of any length Windows runs a program from;
// how a refused text is told, and when two entries name one program.
#include "follow/follow_list.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"

#include <string.h>
#include <wchar.h>

const char follow_accepted_words[] = "a program's file name (game.exe) or the full path of its .exe "
                                     "(C:\\Games\\game.exe)";

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool is_blank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'"'; }
bool is_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// \\?\ or \\.\ at the start: a path Windows takes as it is written (the ? is no wildcard).
bool is_prefixed(const wchar_t* text)
{
    return text[0] == L'\\' && text[1] == L'\\' && (text[2] == L'?' || text[2] == L'.') && text[3] == L'\\';
}

// X:\ or X:/ at the start, or \\server\share: a path that needs no current folder.
bool is_absolute(const wchar_t* text)
{
    return (is_letter(text[0]) && text[1] == L':' && is_separator(text[2])) ||
           (is_separator(text[0]) && is_separator(text[1]));
}

// What kind of name or path text is, before its file part is looked at.
follow_verdict shape_of(const wchar_t* text)
{
    const bool prefixed = is_prefixed(text);
    const wchar_t* body = prefixed ? text + 4 : text;
    bool separator = false;
    for (const wchar_t* at = body; *at; ++at) {
        const wchar_t c = *at;
        if (c == L'*' || c == L'?') return follow_verdict::wildcard;
        if (c < 32 || c == L'<' || c == L'>' || c == L'|' || c == L'"') return follow_verdict::bad_character;
        if (prefixed && c == L'/') return follow_verdict::bad_character; // no separator there
        separator = separator || is_separator(c);
    }
    const wchar_t* colon = wcschr(body, L':');
    const bool drive = is_letter(body[0]) && body[1] == L':';
    if (colon && (!drive || wcschr(body + 2, L':'))) return follow_verdict::bad_character; // a stream, not a drive
    if (prefixed || is_absolute(text)) return follow_verdict::accepted;
    if (drive || is_separator(text[0])) return follow_verdict::drive_relative;
    return separator ? follow_verdict::relative : follow_verdict::accepted;
}

// Whether a file name is nothing but dots (".", ".."): a folder.
bool only_dots(const wchar_t* name)
{
    for (; *name; ++name)
        if (*name != L'.') return false;
    return true;
}

// Whether a part of path (a folder's name, or the file's) is longer than a file system takes.
bool has_long_part(const wchar_t* path)
{
    int part = 0;
    for (const wchar_t* at = is_prefixed(path) ? path + 4 : path; *at; ++at) {
        part = is_separator(*at) ? 0 : part + 1;
        if (part > follow_name_limit) return true;
    }
    return false;
}

// The part of a path after its root's marker: "C:\x" of \\?\C:\x, "s\x" of \\?\UNC\s\x and
// of \\s\x (*unc set then).
const wchar_t* path_body(const wchar_t* path, bool* unc)
{
    *unc = false;
    if (path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\') {
        const wchar_t* rest = path + 4;
        if ((rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
            (rest[2] == L'C' || rest[2] == L'c') && rest[3] == L'\\') {
            *unc = true;
            return rest + 4;
        }
        return rest;
    }
    if (is_separator(path[0]) && is_separator(path[1]) && path[2] != L'.') {
        *unc = true;
        return path + 2;
    }
    return path;
}

void append(wchar_t* buffer, int count, int* used, const wchar_t* text, int length)
{
    for (int i = 0; i < length && *used < count - 1; ++i) buffer[(*used)++] = text[i];
    buffer[*used] = L'\0';
}

void append_ascii(wchar_t* buffer, int count, int* used, const char* text)
{
    for (; *text && *used < count - 1; ++text) buffer[(*used)++] = static_cast<unsigned char>(*text);
    buffer[*used] = L'\0';
}


} // namespace

follow_verdict follow_entry_from(const wchar_t* typed, wchar_t* entry, bool look_at_disk)
{
    entry[0] = L'\0';
    if (!typed) return follow_verdict::empty;
    while (is_blank(*typed)) ++typed;
    size_t length = wcslen(typed);
    while (length > 0 && is_blank(typed[length - 1])) --length;
    if (length == 0) return follow_verdict::empty;
    const bool fits = length < static_cast<size_t>(follow_entry_size);
    const size_t kept = fits ? length : follow_entry_size - 1;
    wmemcpy(entry, typed, kept);
    entry[kept] = L'\0';
    if (!fits) return follow_verdict::too_long;
    follow_verdict shape = shape_of(entry);
    if (shape != follow_verdict::accepted) return shape;
    const wchar_t* name = path_file_part(entry);
    if (!*name || only_dots(name)) return follow_verdict::folder;
    if (follow_entry_is_path(entry)) {
        // Made whole: / as \, . and .. gone; what is stored is what matches.
        wide_buffer whole(follow_entry_size);
        if (!whole) return follow_verdict::too_long;
        const DWORD made = GetFullPathNameW(entry, follow_entry_size, whole.get(), nullptr);
        if (made == 0 || made >= static_cast<DWORD>(follow_entry_size)) return follow_verdict::too_long;
        wcscpy(entry, whole.get());
        name = path_file_part(entry);
        if (!*name) return follow_verdict::folder;
        if (look_at_disk && long_path_form(entry, whole.get(), whole.count())) {
            const DWORD attributes = GetFileAttributesW(whole.get());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                return follow_verdict::folder;
        }
    }
    if (has_long_part(entry)) return follow_verdict::name_too_long;
    const wchar_t* dot = wcsrchr(name, L'.');
    if (!dot) {
        if (wcslen(name) + 4 > static_cast<size_t>(follow_name_limit)) return follow_verdict::name_too_long;
        if (wcslen(entry) + 4 >= static_cast<size_t>(follow_entry_size)) return follow_verdict::too_long;
        wcscat(entry, L".exe");
        return follow_verdict::accepted;
    }
    return same_name(dot, L".exe") ? follow_verdict::accepted : follow_verdict::not_exe;
}

const char* follow_refusal_words(follow_verdict verdict)
{
    switch (verdict) {
    case follow_verdict::accepted: return "is accepted";
    case follow_verdict::empty: return "is empty";
    case follow_verdict::too_long: return "is longer than any path a program runs from (32,767 characters)";
    case follow_verdict::name_too_long: return "has a name longer than any file's (255 characters)";
    case follow_verdict::wildcard: return "has a wildcard (* or ?): each program is listed by itself";
    case follow_verdict::bad_character: return "has a character no file name has (< > | \" or a colon after the drive)";
    case follow_verdict::relative: return "is a relative path";
    case follow_verdict::drive_relative: return "is relative to a drive's current folder";
    case follow_verdict::folder: return "is a folder";
    case follow_verdict::not_exe: return "is not an .exe";
    }
    return "is not taken";
}

void follow_refusal_sentence(const wchar_t* typed, follow_verdict verdict, wchar_t* buffer, int count)
{
    if (count <= 0) return;
    int used = 0;
    buffer[0] = L'\0';
    // Of a long text, enough to know it again; a pair of surrogates is never cut in two.
    int shown = 60;
    const bool cut = wcslen(typed) > static_cast<size_t>(shown);
    if (cut && typed[shown - 1] >= 0xD800 && typed[shown - 1] <= 0xDBFF) --shown;
    append_ascii(buffer, count, &used, "\"");
    append(buffer, count, &used, typed, cut ? shown : static_cast<int>(wcslen(typed)));
    append_ascii(buffer, count, &used, cut ? "...\" " : "\" ");
    append_ascii(buffer, count, &used, follow_refusal_words(verdict));
    append_ascii(buffer, count, &used, "; give ");
    append_ascii(buffer, count, &used, follow_accepted_words);
    append_ascii(buffer, count, &used, ".");
}

bool follow_entry_is_path(const wchar_t* entry)
{
    return path_file_part(entry) != entry;
}

bool follow_same_path_text(const wchar_t* a, const wchar_t* b)
{
    bool unc_a, unc_b;
    const wchar_t* body_a = path_body(a, &unc_a);
    const wchar_t* body_b = path_body(b, &unc_b);
    return unc_a == unc_b && same_name(body_a, body_b);
}

bool follow_same_entry(const wchar_t* a, const wchar_t* b)
{
    if (same_name(a, b)) return true;
    return follow_entry_is_path(a) && follow_entry_is_path(b) && (follow_same_path_text(a, b) || same_file(a, b));
}
