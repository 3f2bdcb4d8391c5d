// The list of followed programs in the registry: one REG_SZ value a program, named by its
// entry (the data holds the same text), read and written in UTF-16.
#include "follow/follow_list.h"
#include "common/handle.h"
#include "common/process_image.h"
#include "common/wide_text.h"

#include <string.h>
#include <wchar.h>

const char follow_accepted_words[] = "a program's file name (game.exe) or the full path of its .exe "
                                     "(C:\\Games\\game.exe)";

namespace {

// The long form of a value's name: the entry's first part, '|', eight hexadecimal digits.
constexpr int long_name_head = follow_value_name_limit - 9;

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

DWORD text_hash(const wchar_t* text)
{
    DWORD hash = 2166136261u; // FNV-1a over the UTF-16 units
    for (; *text; ++text) hash = (hash ^ static_cast<DWORD>(*text)) * 16777619u;
    return hash;
}

// The value's name for entry: the entry itself, or its long form.
void value_name_of(const wchar_t* entry, wchar_t* name)
{
    if (wcslen(entry) <= static_cast<size_t>(follow_value_name_limit)) {
        wcscpy(name, entry);
        return;
    }
    wmemcpy(name, entry, long_name_head);
    name[long_name_head] = L'|';
    const DWORD hash = text_hash(entry);
    for (int i = 0; i < 8; ++i) name[long_name_head + 1 + i] = L"0123456789abcdef"[(hash >> (28 - 4 * i)) & 15];
    name[follow_value_name_limit] = L'\0';
}

// The list's values one by one, each read as the rule reads it; its buffers on the heap.
class list_reader {
public:
    list_reader() : name_(follow_value_name_limit + 1), raw_(follow_entry_size + 1), entry_(follow_entry_size) {}
    bool ready() const { return name_ && raw_ && entry_; }
    // The value at index: ERROR_SUCCESS (name(), entry() and verdict() tell it),
    // ERROR_NO_MORE_ITEMS, or the registry's error.
    LONG read(HKEY key, DWORD index)
    {
        DWORD name_size = name_.count();
        LONG status = RegEnumValueW(key, index, name_.get(), &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return status;
        // A long entry's text is its data, when the data is the text its name stands for.
        const wchar_t* text = name_.get();
        if (name_size == static_cast<DWORD>(follow_value_name_limit) && name_.get()[long_name_head] == L'|') {
            // The longest entry with its end, and room for an end the data may lack.
            DWORD type = 0, size = static_cast<DWORD>(raw_.count() - 1) * sizeof(wchar_t);
            if (RegQueryValueExW(key, name_.get(), nullptr, &type, reinterpret_cast<BYTE*>(raw_.get()), &size) ==
                    ERROR_SUCCESS &&
                type == REG_SZ) {
                raw_.get()[size / sizeof(wchar_t)] = L'\0';
                wide_buffer named(follow_value_name_limit + 1);
                if (named) value_name_of(raw_.get(), named.get());
                if (named && wcscmp(named.get(), name_.get()) == 0) text = raw_.get();
            }
        }
        verdict_ = follow_entry_from(text, entry_.get(), false);
        return ERROR_SUCCESS;
    }
    const wchar_t* name() const { return name_.get(); }
    const wchar_t* entry() const { return entry_.get(); }
    follow_verdict verdict() const { return verdict_; }

private:
    wide_buffer name_, raw_, entry_;
    follow_verdict verdict_ = follow_verdict::empty;
};

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

void follow_list_add(const wchar_t* typed, follow_outcome* outcome)
{
    outcome->change = follow_change::refused;
    outcome->verdict = follow_entry_from(typed, outcome->entry, true);
    if (outcome->verdict != follow_verdict::accepted) return;
    outcome->change = follow_change::failed;
    list_reader reader;
    if (!reader.ready()) return;
    tk::unique_hkey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    // Listed already as it reads, also when hand-edited (" Game.EXE ") or as another path of
    // the same file.
    for (DWORD index = 0;; ++index) {
        const LONG status = reader.read(key.get(), index);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return;
        if (reader.verdict() == follow_verdict::accepted && follow_same_entry(reader.entry(), outcome->entry)) {
            wcscpy(outcome->entry, reader.entry());
            outcome->change = follow_change::already;
            return;
        }
    }
    wide_buffer name(follow_value_name_limit + 1);
    if (!name) return;
    value_name_of(outcome->entry, name.get());
    const DWORD bytes = static_cast<DWORD>((wcslen(outcome->entry) + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name.get(), 0, REG_SZ, reinterpret_cast<const BYTE*>(outcome->entry), bytes) ==
        ERROR_SUCCESS)
        outcome->change = follow_change::done;
}

void follow_list_remove(const wchar_t* typed, follow_outcome* outcome)
{
    outcome->change = follow_change::not_listed;
    outcome->verdict = follow_entry_from(typed, outcome->entry, false);
    if (outcome->verdict == follow_verdict::empty) {
        outcome->change = follow_change::refused;
        return;
    }
    list_reader reader;
    if (!reader.ready()) {
        outcome->change = follow_change::failed;
        return;
    }
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) outcome->change = follow_change::failed;
    // Every value that reads as this entry goes; the enumeration starts again after each, as
    // a deletion moves the values after it.
    for (DWORD index = 0; status == ERROR_SUCCESS;) {
        const LONG read = reader.read(key.get(), index);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) {
            outcome->change = follow_change::failed;
            return;
        }
        const follow_verdict verdict = reader.verdict();
        // A refused entry is matched by its text alone (a hand-edited *.exe goes by *.exe).
        const bool same = verdict == follow_verdict::accepted && outcome->verdict == follow_verdict::accepted
                              ? follow_same_entry(reader.entry(), outcome->entry)
                              : verdict != follow_verdict::empty && same_name(reader.entry(), outcome->entry);
        if (!same) {
            ++index;
            continue;
        }
        if (RegDeleteValueW(key.get(), reader.name()) != ERROR_SUCCESS) {
            outcome->change = follow_change::failed;
            return;
        }
        wcscpy(outcome->entry, reader.entry());
        outcome->change = follow_change::done;
        index = 0;
    }
    if (outcome->change == follow_change::not_listed && outcome->verdict != follow_verdict::accepted)
        outcome->change = follow_change::refused;
}

int follow_list_each(void (*each)(const wchar_t* entry, follow_verdict verdict, void* context), void* context,
                     LONG* error)
{
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE, key.put());
    if (error) *error = status;
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    list_reader reader;
    if (!reader.ready()) {
        if (error) *error = ERROR_OUTOFMEMORY;
        return -1;
    }
    int count = 0;
    for (DWORD index = 0;; ++index) {
        status = reader.read(key.get(), index);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (error) *error = status;
        if (status != ERROR_SUCCESS) return -1;
        if (!reader.name()[0]) continue; // the key's default value
        if (each) each(reader.entry(), reader.verdict(), context);
        ++count;
    }
    return count;
}
