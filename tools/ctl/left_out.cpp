// tickmend-ctl on and off: what the server's own record says was left out or not given back,
// each with the step the user can take.
#include "driver_report.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

namespace {

// Whether the record read here is the server's: see record_witness.
bool written_by_server(const last_on_record& last, const record_witness& witness)
{
    if (!last.process_id || !last.written) return false;
    if (witness.server_process)
        return last.process_id == witness.server_process && last.written >= witness.server_started;
    return last.written >= witness.asked_at;
}

} // namespace

// The record holds the words of each outcome: what the sequence does when all goes well is
// compared with them, so that the words stay in one place.
int print_left_out(const record_witness& witness, bool* unverified)
{
    *unverified = false;
    last_on_record last;
    memset(&last, 0, sizeof last);
    if (!last_on_read(&last) || !written_by_server(last, witness)) {
        // Not a failure of the on: its record is kept where this user cannot read it.
        console_errw("tickmend-ctl: what this on achieved cannot be known here: the running tickmend keeps that "
                    "record for the user it runs as, and this user has none from it (not a failure; "
                    "\"tickmend-ctl topology\" run as that user shows it)\n");
        return -1;
    }
    int left_out = 0;
    char again_with_driver[128];
    _snprintf(again_with_driver, sizeof again_with_driver, "%s, then switch Gaming Mode off and on again.",
              install_driver_step());
    again_with_driver[sizeof again_with_driver - 1] = '\0';
    bool told_install = false;
    if (strcmp(last.plan, plan_outcome_words(plan_outcome::switched)) != 0) {
        console_errw("tickmend-ctl: left out: power plan %s. To have it, pick High performance in Control Panel, "
                     "Power Options.\n", last.plan);
        ++left_out;
    }
    if (strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::cleared)) != 0 &&
        strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::already_clear)) != 0) {
        const char* step = "Switch Gaming Mode off and on again; if this comes back, restart Windows first.";
        if (strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::no_driver)) == 0)
            step = again_with_driver;
        else if (strcmp(last.northbridge, northbridge_outcome_words(northbridge_outcome::unread)) == 0)
            step = "Update or reinstall the TSC driver, then switch Gaming Mode off and on again.";
        console_errw("tickmend-ctl: left out: northbridge %s. %s\n", last.northbridge, step);
        told_install = step == again_with_driver;
        ++left_out;
    }
    char synchronized[96];
    driver_outcome_words(driver_outcome::synchronized, false, 0, 0, 0, 0, synchronized, sizeof synchronized);
    if (strcmp(last.driver, synchronized) != 0) {
        // Where the driver left the counters alone on purpose, nothing is to be done.
        const char* step = "Update or reinstall the TSC driver, then switch Gaming Mode off and on again.";
        char missing[96];
        driver_outcome_words(driver_outcome::absent, false, 0, 0, 0, 0, missing, sizeof missing);
        // Every line says what to do, if only that there is nothing to do or that it was said
        // (a busy driver's words say when to try again).
        if (strstr(last.driver, "left alone"))
            step = "Nothing to do: the TSC driver leaves the counters alone on purpose.";
        else if (strstr(last.driver, "try again"))
            step = "";
        else if (strcmp(last.driver, missing) == 0 || strstr(last.driver, "absent"))
            step = told_install ? "The step above brings this too." : again_with_driver;
        console_errw("tickmend-ctl: left out: TSC driver %s%s%s\n", last.driver, *step ? ". " : "", step);
        ++left_out;
    }
    // A sync the driver accepted but that did not hold is as much left out as a refused one.
    if (last.checked && !last.in_step) {
        console_errw("tickmend-ctl: left out: counters in step (processor %lu is %lu ns apart after the sync). Switch "
                     "Gaming Mode off and on again; if they stay apart, update or reinstall the TSC driver.\n",
                     static_cast<unsigned long>(last.cpu), static_cast<unsigned long>(last.offset_ns));
        ++left_out;
    }
    // Not measured is not left out: the sync went to them, the check could not look.
    if (last.checked && last.unmeasured) {
        char named[96];
        processor_list_words(last.unmeasured, named, sizeof named);
        console_errw("tickmend-ctl: not measured after the sync: %s (no answer, or could not be bound). Measure "
                     "them with \"tickmend-ctl skew\".\n", named);
        *unverified = true;
    }
    // Nor is a check too loose to judge: it says so, and how to look again.
    if (last.checked && last.in_step && last.uncertainty_ns > sync_tolerance_ns)
        console_errw("tickmend-ctl: cannot tell whether the counters are in step after the sync: processor %lu was "
                     "measured only to +-%lu ns. Measure them with \"tickmend-ctl skew\".\n",
                     static_cast<unsigned long>(last.cpu), static_cast<unsigned long>(last.uncertainty_ns));
    if (last.checked && last.in_step && last.uncertainty_ns > sync_tolerance_ns) *unverified = true;
    // A sync the driver took whose check could not run at all is as unverified; where none
    // was needed (one processor) or none went (no driver), there is nothing to verify.
    for (sync_unchecked why : {sync_unchecked::reference_unbound, sync_unchecked::no_answer, sync_unchecked::no_rate}) {
        if (last.checked || strcmp(last.why_not, sync_unchecked_words(why)) != 0) continue;
        console_errw("tickmend-ctl: cannot tell whether the counters are in step after the sync: they were not "
                     "measured (%s). Measure them with \"tickmend-ctl skew\".\n", last.why_not);
        *unverified = true;
    }
    return left_out;
}

// What the last off left owed is what the record still holds once the off has answered.
int print_not_given_back(const record_witness& witness)
{
    restore_record owed;
    memset(&owed, 0, sizeof owed);
    journal_read(&owed);
    if (!owed.open) return 0;
    last_on_record last;
    memset(&last, 0, sizeof last);
    if (!last_on_read(&last) || !written_by_server(last, witness)) {
        console_errw("tickmend-ctl: what this off gave back cannot be known here: the running tickmend keeps "
                    "that record for the user it runs as (not a failure; \"tickmend-ctl topology\" run as that "
                    "user shows what is still to give back)\n");
        return -1;
    }
    int lines = 0;
    if (owed.plan.kind != plan_none) {
        char words[64];
        power_plan_words(owed.plan, words, sizeof words);
        char name[64];
        if (PowerPlanName(&owed.plan, name, sizeof name))
            console_errw("tickmend-ctl: not given back: power plan %s (%s): it is picked again at the next off "
                         "or start, or pick it in Control Panel, Power Options\n", name, words);
        else
            console_errw("tickmend-ctl: not given back: power plan %s: it is picked again at the next off or "
                         "start, or pick it in Control Panel, Power Options\n", words);
        ++lines;
    }
    for (int node = 0; node < 8; ++node) {
        if (!(owed.nb_nodes & (1u << node))) continue;
        console_errw("tickmend-ctl: not given back: the northbridge power-management bit of node %d stays "
                     "cleared until the TSC driver answers again. Update or reinstall the TSC driver, then "
                     "switch Gaming Mode off again.\n", node);
        ++lines;
    }
    return lines;
}
