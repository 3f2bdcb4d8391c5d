// The program's switches and the boxes that explain it: which switch the command line gives,
// the "/?" box, and why a start from the user's shortcut leaves nothing resident.
#pragma once
#include <windows.h>

namespace app {

// The title of the program's message boxes.
constexpr char box_title[] = "QEL Pacemill";
// The switch on the command line, spaces around it ignored: "/k", "/K" or "-k" (end the
// running instance), "/?" or "-?" (what the program takes and what its last start did),
// "/logon" or "-logon" in any case (the start at logon); any other text is a switch the
// program does not take.
enum class program_switch { none, close, help, logon, unknown };
// The exit code after a switch the program does not take.
constexpr int exit_unknown_switch = 64;
// The switch command_line gives (null: none).
program_switch switch_of(const char* command_line);
// Started by the user from a shortcut (the Start Menu's), not by the autostart entry (the
// Run key) nor from a shortcut in a Startup folder: such a start may say why it ends.
bool started_by_user_shortcut();
// The switches, a short paragraph each, and what the last start did, in a message box.
// unknown: command_line is a text that was not a switch, and the box says so.
void show_help_box(const char* command_line, bool unknown);
// A start from the shortcut that leaves nothing resident says why (nothing otherwise).
void explain_start_without_instance();

} // namespace app
