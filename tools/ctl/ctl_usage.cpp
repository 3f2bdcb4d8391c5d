// tickmend-ctl's usage text and its usage errors.
#include "ctl_usage.h"
#include "client_machine.h"
#include "console.h"
#include "common/wide_text.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

namespace {

// Every command with its options, in the order the help tells them: the usage line and
// every usage error list them all from here.
const char* const commands[] = {"status",        "on [--strict]",    "off [--strict]",
                                "topology [--csv]", "skew [OPTIONS]", "auto list",
                                "auto add PROGRAM", "auto remove PROGRAM", "path add",
                                "path remove",   "version",          "help"};

// The commands after first_prefix, separated by separator, wrapped within console_columns;
// each further line starts with next_prefix.
void print_commands(void (*print)(const char*), const char* first_prefix, const char* next_prefix,
                    const char* separator)
{
    char line[160];
    lstrcpynA(line, first_prefix, sizeof line);
    bool first = true;
    for (const char* command : commands) {
        const int used = lstrlenA(line), more = (first ? 0 : lstrlenA(separator)) + lstrlenA(command);
        if (!first && used + more + 1 > console_columns) {
            lstrcatA(line, separator[0] == ',' ? ",\n" : "\n");
            print(line);
            lstrcpynA(line, next_prefix, sizeof line);
            lstrcatA(line, command);
        } else {
            if (!first) lstrcatA(line, separator);
            lstrcatA(line, command);
        }
        first = false;
    }
    lstrcatA(line, "\n");
    print(line);
}

const char usage_body[] =
    "\n"
    "  status    print whether Gaming Mode is on\n"
    "  on        turn Gaming Mode on, then print the state; what it left out (no\n"
    "            TSC driver, driver refused, power plan unchanged) goes to stderr\n"
    "            --strict: exit 5 when anything was left out, else 9 when it\n"
    "            cannot tell whether the sync brought the counters into step (a\n"
    "            user other than the one tickmend runs as is told that it cannot\n"
    "            know: no exit 5 or 9)\n"
    "  off       turn Gaming Mode off, then print the state; what it did not\n"
    "            give back (the power plan, the northbridge bit) goes to stderr\n"
    "            --strict: exit 5 when anything was not given back\n"
    "            (status, on and off send only to tickmend: a server whose\n"
    "            executable is not the installed tickmend.exe nor one beside this\n"
    "            client, or that shows no tickmend window within the bound of\n"
    "            one switch, 25 s, gets nothing)\n"
    "  topology  print the processors, nodes and cores as tickmend sees them,\n"
    "            what tickmend does on this machine and what its last start\n"
    "            did, whether the TSC driver is found, absent or refusing, and\n"
    "            what the last Gaming Mode on left out\n"
    "            --csv: every fact as one CSV table on stdout, a row each:\n"
    "            fact,processor,node,core,apic,value\n"
    "  skew      measure the TSC offset of every processor against the first\n"
    "            one, and say whether they are in step (needs no tickmend\n"
    "            running and no driver):\n"
    "            skew [--rounds N] [--drift SECONDS] [--tolerance NS]\n"
    "                 [--wide | --csv]\n"
    "            skew --warp SECONDS [--csv]: does time go backwards?\n"
    "  auto      the programs Gaming Mode follows: on when one starts, off when\n"
    "            the last one ends (a running tickmend takes a change at once):\n"
    "            auto list: one program a line\n"
    "            auto add PROGRAM: a program's file name (game.exe) or the full\n"
    "            path of its .exe, any case; prints what it stored\n"
    "            auto remove PROGRAM: read by the same rule\n"
    "  path      path add: put this client's folder on your PATH (a new command\n"
    "            prompt then finds tickmend-ctl); path remove: take off exactly\n"
    "            what path add put there\n"
    "  version   print the version of QEL Pacemill this client belongs to\n"
    "            (also --version)\n"
    "  help      this text (also --help, -h, -? and /?)\n"
    "\n"
    "Commands and options are taken in any case.\n"
    "\n";

const char exit_codes_text[] =
    "Exit codes: 0 done (skew: in step), 1 bad reply or failure, 2 tickmend not\n"
    "running, 3 skew: out of step, 4 the pipe is served by a program that is not\n"
    "tickmend, 5 on/off --strict: something was left out or not given back, 6 busy:\n"
    "Gaming Mode still switching past its bound, or tickmend runs without its pipe\n"
    "(another program holds its name), 8 refused: this process went beyond its\n"
    "share of the pipe (try again in a second), 9 skew and on --strict: cannot tell\n"
    "(measured too loosely: the machine was busy), 64 usage.\n"
    "auto: 0 done (also when listed already), 1 the list could not be read or\n"
    "written, 7 remove: the program was not in the list, 64 not a program's file\n"
    "name or the full path of an .exe.\n";

} // namespace

bool same(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

bool is_help(const char* word)
{
    return same(word, "help") || same(word, "--help") || same(word, "-h") || same(word, "-?") || same(word, "/?");
}

void print_help()
{
    print_commands(console_out, "usage: tickmend-ctl ", "       tickmend-ctl ", " | ");
    console_out(usage_body);
    console_out(client_machine_help());
    console_out(exit_codes_text);
}

int usage_error(const char* format, const char* first, const char* second)
{
    // The words typed are shown by their start; a sentence given whole ("%s") is the caller's.
    char first_shown[64], second_shown[64];
    if (lstrcmpA(format, "%s") != 0) first = console_word(first, first_shown);
    second = console_word(second, second_shown);
    char line[1000]; // a refusal with a name in UTF-8 fits whole
    _snprintf(line, sizeof line - 1, format, first, second);
    line[sizeof line - 1] = '\0';
    line[utf8_whole_length(line, static_cast<int>(strlen(line)))] = '\0'; // a long name cut at a whole character
    console_errf("tickmend-ctl: %s\n", line);
    print_commands(console_err, "tickmend-ctl: commands: ", "tickmend-ctl:   ", ", ");
    console_err("tickmend-ctl: \"tickmend-ctl help\" tells more.\n");
    return exit_usage;
}
