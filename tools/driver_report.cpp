#include "driver_report.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>
#include <string.h>

namespace {

// The driver asked for something that changes nothing: the northbridge register.
int report_driver(report_writer write)
{
    if (!unique_device(open_tsc_device())) {
        write(driver_state_line(driver_state::absent));
        return 0;
    }
    DWORD value = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) {
        write(driver_state_line(driver_state::refusing));
        return 0;
    }
    write(driver_state_line(value & NB_BIT ? driver_state::found_bit_set : driver_state::found_bit_clear));
    return 1;
}

// A record's time in the local time of this machine ("2026-12-08 01:40").
void utc_words(ULONGLONG written, char* buffer, int size)
{
    FILETIME utc = {static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    FILETIME local;
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) {
        lstrcpynA(buffer, "at an unknown time", size);
        return;
    }
    char text[32];
    wsprintfA(text, "%04u-%02u-%02u %02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    lstrcpynA(buffer, text, size);
}

sync_check_facts check_facts(const last_on_record& last)
{
    sync_check_facts facts = {};
    facts.checked = last.checked != 0;
    facts.why_not = last.why_not;
    facts.in_step = last.in_step != 0;
    facts.cpu = static_cast<int>(last.cpu);
    facts.node = static_cast<int>(last.node);
    facts.core = static_cast<int>(last.core);
    facts.offset_ns = last.offset_ns;
    facts.uncertainty_ns = last.uncertainty_ns;
    facts.bound_ns = last.bound_ns;
    facts.unmeasured = last.unmeasured;
    return facts;
}

// Whether the record read here is the server's: see record_witness.
bool written_by_server(const last_on_record& last, const record_witness& witness)
{
    if (!last.process_id || !last.written) return false;
    if (witness.server_process)
        return last.process_id == witness.server_process && last.written >= witness.server_started;
    return last.written >= witness.asked_at;
}

} // namespace

int print_driver_report(report_writer write)
{
    int found = report_driver(write);
    char lines[512];
    last_start_record start;
    if (last_start_read(&start)) {
        lstrcpynA(lines, "last start", sizeof lines);
        if (start.when[0]) {
            lstrcatA(lines, " (");
            lstrcatA(lines, start.when);
            lstrcatA(lines, ")");
        }
        write(lines);
        write(": ");
        write(start.what);
        write("\n");
    } else {
        write("last start: none recorded (tickmend has not started here since it records it)\n");
    }
    last_on_record last;
    if (last_on_read(&last)) {
        if (last.process_id) {
            // Kept under this user: another user's tickmend keeps its own.
            char when[32];
            utc_words(last.written, when, sizeof when);
            wsprintfA(lines, "last Gaming Mode on: recorded %s by process %lu of this user\n", when,
                      static_cast<unsigned long>(last.process_id));
            write(lines);
        }
        last_on_lines(last.plan, last.northbridge, last.driver, lines, sizeof lines);
        write(lines);
        sync_check_line(check_facts(last), lines, sizeof lines);
        write(lines);
    }
    restore_record owed;
    journal_read(&owed);
    if (owed.open) {
        still_owed_line(owed.plan, owed.nb_nodes, lines, sizeof lines);
        write(lines);
    }
    return found;
}

// The record holds the words of each outcome: what the sequence does when all goes well is
// compared with them, so that the words stay in one place.
int print_left_out(const record_witness& witness)
{
    last_on_record last;
    memset(&last, 0, sizeof last);
    if (!last_on_read(&last) || !written_by_server(last, witness)) {
        // Not a failure of the on: its record is kept where this user cannot read it.
        console_err("tickmend-ctl: what this on achieved cannot be known here: the running tickmend keeps that "
                    "record for the user it runs as, and this user has none from it (not a failure; "
                    "\"tickmend-ctl topology\" run as that user shows it)\n");
        return -1;
    }
    int left_out = 0;
    if (strcmp(last.plan, plan_outcome_words(plan_outcome::switched)) != 0) {
        console_errf("tickmend-ctl: left out: power plan %s\n", last.plan);
        ++left_out;
    }
    if (strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::cleared)) != 0 &&
        strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::already_clear)) != 0) {
        console_errf("tickmend-ctl: left out: northbridge %s\n", last.northbridge);
        ++left_out;
    }
    char synchronized[96];
    driver_outcome_words(driver_outcome::synchronized, false, 0, 0, 0, 0, synchronized, sizeof synchronized);
    if (strcmp(last.driver, synchronized) != 0) {
        console_errf("tickmend-ctl: left out: TSC driver %s\n", last.driver);
        ++left_out;
    }
    // A sync the driver accepted but that did not hold is as much left out as a refused one.
    if (last.checked && !last.in_step) {
        console_errf("tickmend-ctl: left out: counters in step (processor %lu is %lu ns apart after the sync)\n",
                     static_cast<unsigned long>(last.cpu), static_cast<unsigned long>(last.offset_ns));
        ++left_out;
    }
    // Not measured is not left out: the sync went to them, the check could not look.
    if (last.checked && last.unmeasured) {
        char named[96];
        processor_list_words(last.unmeasured, named, sizeof named);
        console_errf("tickmend-ctl: not measured after the sync: %s (no answer, or could not be bound)\n", named);
    }
    return left_out;
}
