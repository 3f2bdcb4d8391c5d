// The program's switches and the boxes that explain it.
#include "app/help_box.h"
#include "journal/journal.h"
#include "notice/wording.h"

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

// The switches, a short paragraph each: no tabs and no long lines, so that every message box
// (Windows' and Wine's) shows it whole. unknown: the text that was not a switch, or null.
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
              "tickmend.exe [/k | /logon | /?]\n\n"
              "Without a switch: starts QEL Pacemill in the notification area.\n"
              "One instance runs per session; a second start ends at once.\n\n"
              "/k (also /K or -k): ends the running instance.\n"
              "Gaming Mode goes off and your power plan is given back.\n"
              "Exit code 1: no instance runs afterwards; 2: one still runs.\n\n"
              "/logon: the start at logon, for the autostart entry.\n"
              "It starts QEL Pacemill only while \"Start at logon\" is ticked\n"
              "in its tray menu for you.\n\n"
              "/?: this message.\n\n%s",
              wrong, last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | (unknown ? MB_ICONWARNING : MB_ICONINFORMATION));
}

// A start from the shortcut that leaves nothing resident says why.
void explain_start_without_instance()
{
    if (!started_by_user_shortcut()) return;
    char last[512];
    last_start_text(last, sizeof last, true);
    char text[640];
    _snprintf(text, sizeof text - 1, "QEL Pacemill does not stay in the notification area on this machine.\n\n%s",
              last);
    text[sizeof text - 1] = '\0';
    MessageBoxA(nullptr, text, box_title, MB_OK | MB_ICONINFORMATION);
}

} // namespace app
