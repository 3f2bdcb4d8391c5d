// tickmend-ctl auto: the list of programs Gaming Mode follows.
#include "ctl_auto.h"
#include "ctl_usage.h"

#include "console.h"
#include "follow/follow_list.h"

namespace {

void print_entry(const char* entry, void*)
{
    console_outf("%s\n", entry);
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
    const bool add = argc >= 1 && same(argv[0], "add");
    if (!add && !(argc >= 1 && same(argv[0], "remove")))
        return usage_error("auto takes list, add PROGRAM or remove PROGRAM, not \"%s\"", argc ? argv[0] : "");
    if (argc != 2) return usage_error("auto %s takes one PROGRAM (quote a path with spaces)%s", argv[0]);
    switch (add ? follow_list_add(argv[1]) : follow_list_remove(argv[1])) {
    case follow_change::done:
        console_outf("%s: %s\n", add ? "added" : "removed", argv[1]);
        return exit_ok;
    case follow_change::already:
        console_outf("already listed: %s\n", argv[1]);
        return exit_ok;
    case follow_change::not_listed:
        console_errf("tickmend-ctl: not in the list: %s (tickmend-ctl auto list shows it)\n", argv[1]);
        return exit_not_listed;
    case follow_change::invalid:
        return usage_error("\"%s\" names no program (give game.exe or a full path)", argv[1]);
    case follow_change::failed:
        break;
    }
    console_err("tickmend-ctl: the list of programs could not be written.\n");
    return exit_failed;
}
