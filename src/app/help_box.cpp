// The program's switches and the boxes that explain it.
#include "app/help_box.h"
#include "answer/answer.h"
#include "journal/journal.h"
#include "notice/wording.h"
#include "smp_enum/smp_enum.h"
#include "tickmend_version.h"

#include <stdio.h>
#include <string.h>

namespace {

// What the last start did, as the daemon recorded it: "Last start (when): what."; with advice,
// what to do about it follows in sentences.
void last_start_text(char* buffer, int size, bool advice = false)
{
    last_start_record start;
    if (!last_start_read(&start)) {
        _snprintf(buffer, size - 1, "Last start: not recorded.");
    } else {
        const char* next = advice ? start_advice(start.what) : "";
        _snprintf(buffer, size - 1, "Last start%s%s%s: %s.%s%s", start.when[0] ? " (" : "", start.when,
                  start.when[0] ? ")" : "", start.what, next[0] ? "\n\n" : "", next);
    }
    buffer[size - 1] = '\0';
}

} // namespace

namespace app {

bool started_by_user_shortcut()
{
    STARTUPINFOA info = {};
    info.cb = sizeof info;
    GetStartupInfoA(&info);
    if (!(info.dwFlags & STARTF_TITLEISLINKNAME) || !info.lpTitle) return false;
    char link[MAX_PATH];
    lstrcpynA(link, info.lpTitle, sizeof link);
    CharLowerA(link);
    return strstr(link, "\\startup\\") == nullptr;
}

bool started_by_hand(program_switch given)
{
    if (given == program_switch::logon) return false;
    STARTUPINFOA info = {};
    info.cb = sizeof info;
    GetStartupInfoA(&info);
    if (!(info.dwFlags & STARTF_TITLEISLINKNAME) || !info.lpTitle) return true;
    char link[MAX_PATH];
    lstrcpynA(link, info.lpTitle, sizeof link);
    CharLowerA(link);
    return strstr(link, "\\startup\\") == nullptr;
}

program_switch switch_of(const char* command_line)
{
    if (!command_line) return program_switch::none;
    while (*command_line == ' ' || *command_line == '\t') ++command_line;
    int length = lstrlenA(command_line);
    while (length > 0 && (command_line[length - 1] == ' ' || command_line[length - 1] == '\t')) --length;
    if (length == 0) return program_switch::none;
    if (command_line[0] != '/' && command_line[0] != '-') return program_switch::unknown;
    if (length == 2 && (command_line[1] == 'k' || command_line[1] == 'K')) return program_switch::close;
    if (length == 2 && command_line[1] == '?') return program_switch::help;
    if (length == 6 && _strnicmp(command_line + 1, "logon", 5) == 0) return program_switch::logon;
    return program_switch::unknown;
}

// The version, then the switches, a paragraph each: sentences flow (the box wraps them) and no
// tabs, so that every message box (Windows' and Wine's) shows it whole. unknown: the text
// that was not a switch, or null.
void show_help_box(const char* command_line, bool unknown)
{
    char last[256];
    last_start_text(last, sizeof last);
    char wrong[96] = "";
    if (unknown) {
        while (*command_line == ' ' || *command_line == '\t') ++command_line;
        _snprintf(wrong, sizeof wrong - 1, "tickmend.exe does not take \"%.40s\": it started nothing.\n\n",
                  command_line);
    }
    char text[1024];
    _snprintf(text, sizeof text - 1,
              "%s"
              "QEL Pacemill " TICKMEND_VERSION "\n\n"
              "tickmend.exe [/k | /logon | /?]\n\n"
              "Without a switch, QEL Pacemill starts in the notification area. One instance runs per "
              "session: a second start says so and ends.\n\n"
              "/k (also /K or -k) ends the running instance: Gaming Mode goes off and your power plan is "
              "given back. Exit code 1: no instance runs afterwards; 2: one still runs.\n\n"
              "/logon is the start at logon, for the autostart entry: it starts QEL Pacemill only while "
              "\"Start at logon\" is ticked in its tray menu, and never shows a box.\n\n"
              "/? shows this message.\n\n%s",
              wrong, last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | (unknown ? MB_ICONWARNING : MB_ICONINFORMATION));
}

// A start by hand that leaves nothing resident says why.
void explain_start_without_instance(program_switch given)
{
    if (!started_by_hand(given)) return;
    // What this PC is, first: the PC's answer, where the start got as far as the processors.
    last_start_record start;
    const bool recorded = last_start_read(&start) != 0;
    const char* headline = "QEL Pacemill does not stay in the notification area on this PC.";
    const bool answered = recorded && cpu_count > 0 &&
                          (strncmp(start.what, "one node", 8) == 0 || strncmp(start.what, "single processor", 16) == 0);
    if (answered) headline = pc_answer_words(pc_answer_of(pc_facts_now()));
    // The answer says what to do already; the record's own advice only for a start that failed.
    char last[512];
    last_start_text(last, sizeof last, !answered || strstr(start.what, "could not be") != nullptr);
    char text[768];
    _snprintf(text, sizeof text - 1, "%s\n\n%s", headline, last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONINFORMATION);
}

} // namespace app
