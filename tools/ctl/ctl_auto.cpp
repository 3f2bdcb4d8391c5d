// tickmend-ctl auto: the list of programs Gaming Mode follows, by the list's one rule (a
// program's file name or the full path of its .exe). What is printed is what was stored.
#include "ctl_auto.h"
#include "ctl_usage.h"

#include "console.h"
#include "follow/follow_list.h"

#include <stdio.h>

namespace {

// An entry as the follower reads it, one a line and never broken (a path may be longer than
// the console: a script reads it whole); one the rule refuses says why it is never followed.
void print_entry(const char* entry, follow_verdict verdict, void*)
{
    char line[1024];
    if (verdict == follow_verdict::accepted) _snprintf(line, sizeof line, "%s\n", entry);
    else _snprintf(line, sizeof line, "%s  (never followed: it %s)\n", entry, follow_refusal_words(verdict));
    line[sizeof line - 2] = '\n'; // a line cut short still ends
    line[sizeof line - 1] = '\0';
    console_data(line);
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
    const follow_outcome outcome = add ? follow_list_add(argv[1]) : follow_list_remove(argv[1]);
    switch (outcome.change) {
    case follow_change::done:
        console_outf("%s: %s\n", add ? "added" : "removed", outcome.entry);
        return exit_ok;
    case follow_change::already:
        console_outf("already listed: %s\n", outcome.entry);
        return exit_ok;
    case follow_change::not_listed:
        console_errf("tickmend-ctl: not in the list: %s (tickmend-ctl auto list shows it)\n", outcome.entry);
        return exit_not_listed;
    case follow_change::refused: {
        char sentence[400];
        follow_refusal_sentence(argv[1], outcome.verdict, sentence, sizeof sentence);
        return usage_error("%s", sentence);
    }
    case follow_change::failed:
        break;
    }
    console_errf("tickmend-ctl: the list of programs could not be %s.\n", add ? "written" : "changed");
    return exit_failed;
}
