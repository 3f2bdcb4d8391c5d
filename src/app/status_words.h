// The status window's words: the PC's answer, the driver's state, the Gaming Mode state, the
// last Gaming Mode on (when, power plan, the clocks, what was left out), the clocks measured
// just now, and the next step, in that order: what the user gains or must do first, the
// figures after. Composed from facts, so that tests give the facts and read the words.
#pragma once
#include "answer/answer.h"
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>

namespace app {

struct status_facts {
    pc_answer answer;
    driver_state driver;
    int game_mode_on;
    const char* followed;         // the listed program Gaming Mode is on for ("" when none)
    bool on_recorded;             // a last Gaming Mode on is recorded
    last_on_record on;            // it
    unsigned notices;             // the notices that hold now (notices_holding)
    bool measured;                // the clocks were measured just now
    sync_check_facts measured_now; // what that found (checked false: why_not says why not)
};

// The window's text (UTF-8, lines ended by "\r\n"), into buffer (size bytes, always ended).
void status_text(const status_facts& facts, char* buffer, int size);
// The next step alone (the text's last paragraph): what the user should do now.
const char* status_next_step(const status_facts& facts);
// A record's time (UTC, FILETIME units) in this machine's local time ("2026-12-08 14:05").
void local_time_words(ULONGLONG written, char* buffer, int size);

} // namespace app
