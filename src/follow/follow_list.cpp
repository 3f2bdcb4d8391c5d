// The list of followed programs in the registry: one REG_SZ value a program, named by its
// entry (the data holds the same text).
#include "follow/follow_list.h"
#include "common/handle.h"
#include "common/process_image.h"

#include <stdio.h>
#include <string.h>

const char follow_accepted_words[] = "a program's file name (game.exe) or the full path of its .exe "
                                     "(C:\\Games\\game.exe)";

namespace {

// The longest value name the registry holds, its end included: every value is read whole.
constexpr DWORD value_name_size = 16384;

bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '"'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// X:\ or X:/ at the start, or \\server\share: a path that needs no current folder.
bool is_absolute(const char* text)
{
    return (is_letter(text[0]) && text[1] == ':' && is_separator(text[2])) ||
           (is_separator(text[0]) && is_separator(text[1]));
}

// What kind of name or path text is, before its file part is looked at.
follow_verdict shape_of(const char* text)
{
    bool separator = false;
    for (const char* at = text; *at; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c == '*' || c == '?') return follow_verdict::wildcard;
        if (c < 32 || c == '<' || c == '>' || c == '|' || c == '"') return follow_verdict::bad_character;
        separator = separator || is_separator(*at);
    }
    const char* colon = strchr(text, ':');
    const bool drive = is_letter(text[0]) && text[1] == ':';
    if (colon && (!drive || strchr(text + 2, ':'))) return follow_verdict::bad_character; // a stream, not a drive
    if (is_absolute(text)) return follow_verdict::accepted;
    if (drive || is_separator(text[0])) return follow_verdict::drive_relative;
    return separator ? follow_verdict::relative : follow_verdict::accepted;
}

// Whether a file name is nothing but dots (".", ".."): a folder.
bool only_dots(const char* name)
{
    for (; *name; ++name)
        if (*name != '.') return false;
    return true;
}

} // namespace

follow_verdict follow_entry_from(const char* typed, char* entry, bool look_at_disk)
{
    entry[0] = '\0';
    if (!typed) return follow_verdict::empty;
    while (is_blank(*typed)) ++typed;
    size_t length = strlen(typed);
    while (length > 0 && is_blank(typed[length - 1])) --length;
    if (length == 0) return follow_verdict::empty;
    const bool fits = length < static_cast<size_t>(follow_entry_size);
    const size_t kept = fits ? length : follow_entry_size - 1;
    memcpy(entry, typed, kept);
    entry[kept] = '\0';
    if (!fits) return follow_verdict::too_long;
    follow_verdict shape = shape_of(entry);
    if (shape != follow_verdict::accepted) return shape;
    const char* name = path_file_part(entry);
    if (!*name || only_dots(name)) return follow_verdict::folder;
    if (follow_entry_is_path(entry)) {
        // Made whole: / as \, . and .. gone; what is stored is what matches.
        char whole[follow_entry_size];
        DWORD made = GetFullPathNameA(entry, sizeof whole, whole, nullptr);
        if (made == 0 || made >= sizeof whole) return follow_verdict::too_long;
        strcpy(entry, whole);
        name = path_file_part(entry);
        if (!*name) return follow_verdict::folder;
        if (look_at_disk) {
            DWORD attributes = GetFileAttributesA(entry);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                return follow_verdict::folder;
        }
    }
    const char* dot = strrchr(name, '.');
    if (!dot) {
        if (strlen(entry) + 4 >= static_cast<size_t>(follow_entry_size)) return follow_verdict::too_long;
        strcat(entry, ".exe");
        return follow_verdict::accepted;
    }
    return lstrcmpiA(dot, ".exe") == 0 ? follow_verdict::accepted : follow_verdict::not_exe;
}

const char* follow_refusal_words(follow_verdict verdict)
{
    switch (verdict) {
    case follow_verdict::accepted: return "is accepted";
    case follow_verdict::empty: return "is empty";
    case follow_verdict::too_long: return "is longer than any path a program runs from (259 characters)";
    case follow_verdict::wildcard: return "has a wildcard (* or ?): each program is listed by itself";
    case follow_verdict::bad_character: return "has a character no file name has (< > | \" or a colon after the drive)";
    case follow_verdict::relative: return "is a relative path";
    case follow_verdict::drive_relative: return "is relative to a drive's current folder";
    case follow_verdict::folder: return "is a folder";
    case follow_verdict::not_exe: return "is not an .exe";
    }
    return "is not taken";
}

void follow_refusal_sentence(const char* typed, follow_verdict verdict, char* buffer, int size)
{
    if (size <= 0) return;
    const int shown = 60; // of a long text, enough to know it again
    const bool cut = strlen(typed) > static_cast<size_t>(shown);
    _snprintf(buffer, size, "\"%.*s%s\" %s; give %s.", shown, typed, cut ? "..." : "", follow_refusal_words(verdict),
              follow_accepted_words);
    buffer[size - 1] = '\0';
}

bool follow_entry_is_path(const char* entry)
{
    return path_file_part(entry) != entry;
}

bool follow_same_entry(const char* a, const char* b)
{
    if (lstrcmpiA(a, b) == 0) return true;
    return follow_entry_is_path(a) && follow_entry_is_path(b) && same_file(a, b);
}

follow_outcome follow_list_add(const char* typed)
{
    follow_outcome outcome = {follow_change::refused, follow_verdict::accepted, ""};
    outcome.verdict = follow_entry_from(typed, outcome.entry, true);
    if (outcome.verdict != follow_verdict::accepted) return outcome;
    outcome.change = follow_change::failed;
    tk::unique_hkey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return outcome;
    // Listed already as it reads, also when hand-edited (" Game.EXE ") or as another path of
    // the same file.
    char name[value_name_size], listed[follow_entry_size];
    for (DWORD index = 0;; ++index) {
        DWORD name_size = value_name_size;
        LONG status = RegEnumValueA(key.get(), index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return outcome;
        if (follow_entry_from(name, listed, false) == follow_verdict::accepted && follow_same_entry(listed, outcome.entry)) {
            strcpy(outcome.entry, listed);
            outcome.change = follow_change::already;
            return outcome;
        }
    }
    LONG status = RegSetValueExA(key.get(), outcome.entry, 0, REG_SZ, reinterpret_cast<const BYTE*>(outcome.entry),
                                 static_cast<DWORD>(strlen(outcome.entry) + 1));
    if (status == ERROR_SUCCESS) outcome.change = follow_change::done;
    return outcome;
}

follow_outcome follow_list_remove(const char* typed)
{
    follow_outcome outcome = {follow_change::not_listed, follow_verdict::accepted, ""};
    outcome.verdict = follow_entry_from(typed, outcome.entry, false);
    if (outcome.verdict == follow_verdict::empty) {
        outcome.change = follow_change::refused;
        return outcome;
    }
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) outcome.change = follow_change::failed;
    // Every value that reads as this entry goes; the enumeration starts again after each, as
    // a deletion moves the values after it.
    char name[value_name_size], listed[follow_entry_size];
    for (DWORD index = 0; status == ERROR_SUCCESS;) {
        DWORD name_size = value_name_size;
        LONG read = RegEnumValueA(key.get(), index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) {
            outcome.change = follow_change::failed;
            return outcome;
        }
        const follow_verdict verdict = follow_entry_from(name, listed, false);
        // A refused entry is matched by its text alone (a hand-edited *.exe goes by *.exe).
        const bool same = verdict == follow_verdict::accepted && outcome.verdict == follow_verdict::accepted
                              ? follow_same_entry(listed, outcome.entry)
                              : verdict != follow_verdict::empty && lstrcmpiA(listed, outcome.entry) == 0;
        if (!same) {
            ++index;
            continue;
        }
        if (RegDeleteValueA(key.get(), name) != ERROR_SUCCESS) {
            outcome.change = follow_change::failed;
            return outcome;
        }
        strcpy(outcome.entry, listed);
        outcome.change = follow_change::done;
        index = 0;
    }
    if (outcome.change == follow_change::not_listed && outcome.verdict != follow_verdict::accepted)
        outcome.change = follow_change::refused;
    return outcome;
}

int follow_list_each(void (*each)(const char* entry, follow_verdict verdict, void* context), void* context,
                     LONG* error)
{
    tk::unique_hkey key;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, follow_list_key, 0, KEY_QUERY_VALUE, key.put());
    if (error) *error = status;
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;
    int count = 0;
    char name[value_name_size], entry[follow_entry_size];
    for (DWORD index = 0;; ++index) {
        DWORD name_size = value_name_size;
        status = RegEnumValueA(key.get(), index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (error) *error = status;
        if (status != ERROR_SUCCESS) return -1;
        if (!name[0]) continue; // the key's default value
        const follow_verdict verdict = follow_entry_from(name, entry, false);
        if (each) each(entry, verdict, context);
        ++count;
    }
    return count;
}
