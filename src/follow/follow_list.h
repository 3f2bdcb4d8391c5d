// The user's list of programs that Gaming Mode follows: kept under the user's settings key
// (follow_list_key), one value a program, named by its entry. One rule for every entry,
// whoever gives it (tickmend-ctl auto, the dialog, a hand edit read by the follower): a
// program's file name (game.exe) or the absolute path of its .exe, in any language and of
// any length Windows runs a program from (\\?\ forms too). Names compare without regard to
// case, as Windows' do; two paths are one entry when they name one file. Every text here is
// UTF-16 as the registry keeps it; none passes through the ANSI code page.
#pragma once
#include <windows.h>

// The list's key below HKEY_CURRENT_USER, and the key that holds it (watched for its deletion).
constexpr char follow_list_key[] = "Software\\QEL\\qel_pacemill\\auto";
constexpr char follow_list_parent_key[] = "Software\\QEL\\qel_pacemill";
// The longest entry, its end included: the longest path Windows takes (32,767 characters).
constexpr int follow_entry_size = 32768;
// The longest file name, and the longest part of a path, that a file system takes.
constexpr int follow_name_limit = 255;
// The longest value name the registry takes. A longer entry is stored under its first part,
// a '|' and eight hexadecimal digits of its whole text, with the whole text as the value's
// data (a '|' is in no file name: a reader before long entries says it is never followed).
constexpr int follow_value_name_limit = 16383;

// What the rule says of a text given as an entry.
enum class follow_verdict {
    accepted,
    empty,          // nothing but spaces and quotes
    too_long,       // longer than follow_entry_size - 1 with ".exe"
    name_too_long,  // a file name, or a part of the path, longer than follow_name_limit
    wildcard,       // * or ? (but the ? of a \\?\ prefix)
    bad_character,  // < > | " a control character, or a colon that is no drive's
    relative,       // a path relative to the current folder (a\b.exe, ..\b.exe)
    drive_relative, // C:b.exe, \Games\b.exe: relative to a drive's current folder
    folder,         // a folder (C:\Windows, C:\Games\, .)
    not_exe,        // another extension (racer.bat)
};
// The entry that typed stands for, into entry (follow_entry_size characters): spaces and
// quotes around it dropped, ".exe" added to a file name without an extension, a path made
// whole (C:/Games/../x.exe is C:\x.exe; a \\?\ path is taken as it is); and the rule's
// verdict. A refused text still leaves its trimmed form in entry (for remove), cut to fit.
// look_at_disk: a path naming an existing folder is refused as one (the follower's reads
// leave the disk alone: a folder never matches).
follow_verdict follow_entry_from(const wchar_t* typed, wchar_t* entry, bool look_at_disk);
// Why a text was refused, as the end of a sentence ("has a wildcard (* or ?)").
const char* follow_refusal_words(follow_verdict verdict);
// What the rule accepts, for the sentence that refuses.
extern const char follow_accepted_words[];
// The sentence that refuses typed, into buffer (count characters, always ended): "\"*.exe\"
// has a wildcard (* or ?): each program is listed by itself; give a program's file name
// (game.exe) or the full path of its .exe (C:\Games\game.exe)." A long text is cut.
void follow_refusal_sentence(const wchar_t* typed, follow_verdict verdict, wchar_t* buffer, int count);
// Whether an accepted entry is a path (else a file name).
bool follow_entry_is_path(const wchar_t* entry);
// Whether two entries name one program: the same text in any case (a path's \\?\ prefix
// aside), or two paths of one file.
bool follow_same_entry(const wchar_t* a, const wchar_t* b);
// Whether two paths read as one text, case and a \\?\ or \\?\UNC\ prefix aside.
bool follow_same_path_text(const wchar_t* a, const wchar_t* b);

enum class follow_change { done, already, not_listed, refused, failed };
struct follow_outcome {
    follow_change change;
    follow_verdict verdict;            // refused: why
    wchar_t entry[follow_entry_size];  // what was stored, found listed, or removed
};
// Adds typed by the rule into *outcome: done (entry stored), already (entry: the one
// listed), refused or failed (the registry refused, or memory ran out). No limit on the
// entries but the registry's.
void follow_list_add(const wchar_t* typed, follow_outcome* outcome);
// Removes every value that reads as the entry typed stands for (a hand-edited " Game " is
// game.exe): done, not_listed, refused (listed nowhere, and not an entry the rule takes) or
// failed.
void follow_list_remove(const wchar_t* typed, follow_outcome* outcome);
// Calls each(entry, verdict, context) for every value, each read as follow_entry_from reads
// it (the disk left alone), in the registry's order; the number of values, or -1 when the
// list cannot be read, with the registry's error in *error when given (no key reads as an
// empty list).
int follow_list_each(void (*each)(const wchar_t* entry, follow_verdict verdict, void* context), void* context,
                     LONG* error = nullptr);
