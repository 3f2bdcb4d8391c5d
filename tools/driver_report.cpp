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
        last_on_lines(last.plan, last.northbridge, last.driver, lines, sizeof lines);
        write(lines);
        sync_check_line(last.checked != 0, last.why_not, last.in_step != 0, static_cast<int>(last.cpu),
                        static_cast<int>(last.node), static_cast<int>(last.core), last.offset_ns,
                        last.uncertainty_ns, lines, sizeof lines);
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
int print_left_out()
{
    last_on_record last;
    memset(&last, 0, sizeof last);
    if (!last_on_read(&last)) {
        console_err("tickmend-ctl: left out: unknown (what the on sequence did was not recorded)\n");
        return 1;
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
    driver_outcome_words(driver_outcome::synchronized, false, 0, 0, synchronized, sizeof synchronized);
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
    return left_out;
}

// What the last off left owed is what the record still holds once the off has answered.
int print_not_given_back()
{
    restore_record owed;
    memset(&owed, 0, sizeof owed);
    journal_read(&owed);
    if (!owed.open) return 0;
    int lines = 0;
    if (owed.plan.kind != plan_none) {
        char words[64];
        power_plan_words(owed.plan, words, sizeof words);
        char name[64];
        if (PowerPlanName(&owed.plan, name, sizeof name))
            console_errf("tickmend-ctl: not given back: power plan %s (%s): it is picked again at the next off "
                         "or start, or pick it in Control Panel, Power Options\n", name, words);
        else
            console_errf("tickmend-ctl: not given back: power plan %s: it is picked again at the next off or "
                         "start, or pick it in Control Panel, Power Options\n", words);
        ++lines;
    }
    for (int node = 0; node < 8; ++node) {
        if (!(owed.nb_nodes & (1u << node))) continue;
        console_errf("tickmend-ctl: not given back: the northbridge power-management bit of node %d stays "
                     "cleared until the TSC driver answers again\n", node);
        ++lines;
    }
    return lines;
}
