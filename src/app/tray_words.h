// The tray's words: the tooltip, the balloon's text and its explanation, which notices hold
// now, and the icon that goes with them.
#pragma once
#include <windows.h>

namespace app {

constexpr char tray_title[] = "QEL Pacemill";
// A notice that matters now: those about the on sequence only while Gaming Mode is on.
bool notice_matters(int id, int game_mode_on);
// The notices that hold now: raised, and mattering in this state.
unsigned notices_holding(int game_mode_on, unsigned raised);
// UTF-8 text into a wide field of count characters, always ended (cut where it must).
void put_wide(const char* text, wchar_t* field, int count);
// The balloon's text: the notices in order, a paragraph each, as many whole ones as the
// shell shows (255 characters); a click on the balloon tells them all.
void compose_balloon(unsigned notices, char* text, int size);
// A balloon was clicked: what it told, in full, with what to do, in a box of its own.
void explain_balloon(HWND window, unsigned notices);
// The first time ever that a listed program switches Gaming Mode on, the balloon says so
// (stored as follow_told); true when this is that time.
bool first_follow_balloon(const char* program);

} // namespace app

// The tooltip (UTF-8): "QEL Pacemill: Gaming Mode on" (or off), then a line for each raised
// notice that matters now (those about the on sequence only while it is on), then the PC's
// answer's few words where it has some and no notice says the same ("no TSC driver: power
// plan only"); cut to size bytes.
void format_tray_tip(char* buffer, int size, int game_mode_on, unsigned raised_notices);
// The PC's answer's few words for the tooltip (pc_answer_brief; "" for none).
void set_tray_answer_brief(const char* brief);
// The tray icon's resource: off, on, or one of the two with the warning mark while a notice
// that matters now is raised.
int tray_icon_id(int game_mode_on, unsigned raised_notices);
