// The status window's words, from the facts it was given.
#include "app/status_words.h"
#include "notice/notice.h"

#include <stdio.h>
#include <string.h>

namespace {

// Appends printf-style text at the end of buffer (size bytes, always ended).
template <class... Args>
void add(char* buffer, int size, const char* format, Args... args)
{
    const int used = static_cast<int>(strlen(buffer));
    if (used >= size - 1) return;
    _snprintf(buffer + used, static_cast<size_t>(size - used - 1), format, args...);
    buffer[size - 1] = '\0';
}

const char* driver_words(driver_state state)
{
    switch (state) {
    case driver_state::absent: return "not installed";
    case driver_state::refusing: return "installed, but not answering";
    case driver_state::found_bit_set:
    case driver_state::found_bit_clear: return "installed and answering";
    }
    return "";
}

// Whether a check shows the clocks apart, or cannot tell.
bool apart(const sync_check_facts& check) { return check.checked && !check.in_step; }
bool cannot_tell(const sync_check_facts& check)
{
    return check.checked && check.in_step && check.uncertainty_ns > sync_tolerance_ns;
}

// The clocks as a check found them: the tooltip's words, then the figures with ±.
void clocks_words(const sync_check_facts& check, char* buffer, int size)
{
    if (!check.checked) {
        _snprintf(buffer, static_cast<size_t>(size - 1), "not measured (%s)",
                  check.why_not && *check.why_not ? check.why_not : "no sync ran");
        buffer[size - 1] = '\0';
        return;
    }
    int unmeasured = 0;
    for (DWORD_PTR m = check.unmeasured; m; m &= m - 1) ++unmeasured;
    char missing[32] = "";
    if (unmeasured) _snprintf(missing, sizeof missing - 1, ", %d not measured", unmeasured);
    // The verdict as the tooltip's line gives it (the bound rounded up), then the figures.
    const double bound = check.bound_ns > 0 ? check.bound_ns : check.offset_ns + check.uncertainty_ns;
    char line[96], words[96];
    sync_tip_line(check.in_step, check.in_step ? bound : check.offset_ns, check.uncertainty_ns, 0, line, sizeof line);
    if (cannot_tell(check))
        lstrcpynA(words, "not measured closely enough to tell (the PC was busy)", sizeof words);
    else
        lstrcpynA(words, line + (strncmp(line, "counters ", 9) == 0 ? 9 : 0), sizeof words);
    char offset[24], uncertainty[24];
    duration_words(check.offset_ns, offset, sizeof offset, text_for::shell);
    duration_words(check.uncertainty_ns, uncertainty, sizeof uncertainty, text_for::shell);
    _snprintf(buffer, static_cast<size_t>(size - 1), "%s%s (%s processor %d: %s \xC2\xB1 %s)", words, missing,
              check.in_step ? "the widest," : "furthest out,", check.cpu, offset, uncertainty);
    buffer[size - 1] = '\0';
}

sync_check_facts facts_of(const last_on_record& on)
{
    sync_check_facts facts = {};
    facts.checked = on.checked != 0;
    facts.why_not = on.why_not;
    facts.in_step = on.in_step != 0;
    facts.cpu = static_cast<int>(on.cpu);
    facts.node = static_cast<int>(on.node);
    facts.core = static_cast<int>(on.core);
    facts.offset_ns = on.offset_ns;
    facts.uncertainty_ns = on.uncertainty_ns;
    facts.bound_ns = on.bound_ns;
    facts.unmeasured = on.unmeasured;
    return facts;
}

} // namespace

namespace app {

void local_time_words(ULONGLONG written, char* buffer, int size)
{
    FILETIME utc = {static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    FILETIME local;
    SYSTEMTIME t;
    if (!written || !FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) {
        lstrcpynA(buffer, "at a time not recorded", size);
        return;
    }
    char text[32];
    wsprintfA(text, "%04u-%02u-%02u %02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    lstrcpynA(buffer, text, size);
}

const char* status_next_step(const status_facts& facts)
{
    switch (facts.answer) {
    case pc_answer::nodes_needs_driver:
    case pc_answer::one_node_needs_driver:
        return "Add the TSC driver: run the setup again (Change, in Add or Remove Programs) with 'TSC driver' "
               "ticked, then switch Gaming Mode off and on again.";
    case pc_answer::nodes_driver_refusing:
    case pc_answer::one_node_driver_refusing:
        return "Update or reinstall the TSC driver: run the setup again (Change, in Add or Remove Programs) with "
               "'TSC driver' ticked.";
    default: break;
    }
    static char first[256];
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        if (!(facts.notices & (1u << id))) continue;
        notice_text(static_cast<notice_id>(id), first, sizeof first);
        return first;
    }
    const sync_check_facts last = facts.on_recorded ? facts_of(facts.on) : sync_check_facts{};
    const sync_check_facts& check = facts.measured ? facts.measured_now : last;
    if (apart(check))
        return "Switch Gaming Mode off and on again to bring the clocks together; if they stay apart, update or "
               "reinstall the TSC driver.";
    if (cannot_tell(check)) return "Click Measure again when the PC is idle: it was too busy to measure closely.";
    if (!facts.game_mode_on) return "Switch Gaming Mode on before you play: double-click the icon.";
    return "Nothing: Gaming Mode does all it can on this PC.";
}

void status_text(const status_facts& facts, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    add(buffer, size, "%s\r\n\r\n", pc_answer_words(facts.answer));
    add(buffer, size, "TSC driver: %s.\r\n", driver_words(facts.driver));
    add(buffer, size, "Gaming Mode: %s%s%s.\r\n\r\n", facts.game_mode_on ? "on" : "off",
        facts.followed && *facts.followed ? " for " : "", facts.followed ? facts.followed : "");

    char line[160];
    if (facts.on_recorded) {
        local_time_words(facts.on.written, line, sizeof line);
        add(buffer, size, "Last Gaming Mode on (%s):\r\n", line);
        add(buffer, size, "- power plan %s\r\n", facts.on.plan);
        add(buffer, size, "- northbridge %s\r\n", facts.on.northbridge);
        add(buffer, size, "- TSC driver %s\r\n", facts.on.driver);
        clocks_words(facts_of(facts.on), line, sizeof line);
        add(buffer, size, "- clocks after the sync: %s\r\n", line);
        int left_out = 0;
        for (int id = 0; id < NOTICE_COUNT; ++id) {
            if (!(facts.notices & (1u << id))) continue;
            add(buffer, size, "%s%s", left_out++ ? ", " : "- left out: ", notice_short(static_cast<notice_id>(id)));
        }
        add(buffer, size, "%s\r\n\r\n", left_out ? "" : "- left out: nothing");
    } else {
        add(buffer, size, "Last Gaming Mode on: none recorded yet.\r\n\r\n");
    }
    if (facts.measured) {
        clocks_words(facts.measured_now, line, sizeof line);
        add(buffer, size, "Measured just now: clocks %s\r\n\r\n", line);
    }
    add(buffer, size, "Next: %s", status_next_step(facts));
}

} // namespace app
