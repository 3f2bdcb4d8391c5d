// tickmend-ctl auto: the list of programs Gaming Mode follows, by the list's one rule (a
// program's file name or the full path of its .exe). What is printed is what was stored, in
// the user's own characters (UTF-8 through console.h).
#include "ctl_auto.h"
#include "ctl_usage.h"

#include "common/wide_text.h"
#include "console.h"
#include "follow/follow_list.h"

#include <stdio.h>

namespace {

// The longest entry in UTF-8, its end included (three bytes a UTF-16 character at most).
constexpr int entry_utf8_size = follow_entry_size * 3;
char shown[entry_utf8_size];
follow_outcome outcome;

// An entry as the follower reads it, one a line and never broken (a path may be longer than
// the console: a script reads it whole); one the rule refuses says why it is never followed.
void print_entry(const wchar_t* entry, follow_verdict verdict, void*)
{
    utf8_from_wide(entry, shown, sizeof shown);
    console_data(shown);
    if (verdict != follow_verdict::accepted) {
        console_data("  (never followed: it ");
        console_data(follow_refusal_words(verdict));
        console_data(")");
    }
    console_data("\n");
}

// What a change did, and the entry, on one line never broken: a path may hold spaces and be
// longer than the console, and it is read (or copied) whole, as the list's lines are.
void say(const char* done)
{
    console_data(done);
    console_data(shown);
    console_data("\n");
}

} // namespace

// auto list|add PROGRAM|remove PROGRAM: the list of programs Gaming Mode follows.
int auto_command(int argc, char** argv)
{
    if (argc == 1 && same(argv[0], "list")) {
        if (follow_list_each(print_entry, nullptr) >= 0) return exit_ok;
        console_err("tickmend-ctl: the list of programs could not be read.\n");
        return exit_failed;
    }
    if (argc > 1 && same(argv[0], "list"))
        return usage_error("auto list takes no argument, not \"%s\"", argv[1]);
    const bool add = argc >= 1 && same(argv[0], "add");
    if (!add && !(argc >= 1 && same(argv[0], "remove")))
        return usage_error("auto takes list, add PROGRAM or remove PROGRAM, not \"%s\"", argc ? argv[0] : "");
    if (argc != 2) return usage_error("auto %s takes one PROGRAM (quote a path with spaces)", argv[0]);
    // The argument came in UTF-8 from UTF-16: back to UTF-16 whole.
    wide_buffer typed(follow_entry_size * 2);
    if (!typed) return exit_failed;
    wide_from_utf8(argv[1], typed.get(), typed.count());
    if (add) follow_list_add(typed.get(), &outcome);
    else follow_list_remove(typed.get(), &outcome);
    utf8_from_wide(outcome.entry, shown, sizeof shown);
    switch (outcome.change) {
    case follow_change::done:
        say(add ? "added: " : "removed: ");
        return exit_ok;
    case follow_change::already:
        say("already listed: ");
        return exit_ok;
    case follow_change::not_listed:
        console_err("tickmend-ctl: not in the list: ");
        console_err(shown);
        console_err(" (tickmend-ctl auto list shows it)\n");
        return exit_not_listed;
    case follow_change::refused: {
        wchar_t sentence[400];
        follow_refusal_sentence(typed.get(), outcome.verdict, sentence, ARRAYSIZE(sentence));
        char said[sizeof sentence * 3 / 2];
        utf8_from_wide(sentence, said, sizeof said);
        return usage_error("%s", said);
    }
    case follow_change::failed:
        break;
    }
    console_errf("tickmend-ctl: the list of programs could not be %s.\n", add ? "written" : "changed");
    return exit_failed;
}
