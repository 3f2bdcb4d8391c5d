#include "driver_report.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"

#include <windows.h>
#include <stdio.h>

namespace {

// The driver asked for something that changes nothing: the northbridge register.
int report_driver()
{
    HANDLE device = open_tsc_device();
    if (device == INVALID_HANDLE_VALUE) {
        console_out("driver: absent (no device of the TSC driver's class): Gaming Mode sets the power plan only\n");
        return 0;
    }
    close_tsc_device(device);
    DWORD value = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) {
        console_out("driver: refusing (it opens, but does not answer a read of the northbridge register)\n");
        return 0;
    }
    console_outf("driver: found (northbridge power management bit %s)\n", value & NB_BIT ? "set" : "clear");
    return 1;
}

} // namespace

int print_driver_report()
{
    int found = report_driver();
    last_on_record last;
    if (last_on_read(&last)) {
        console_outf("last Gaming Mode on: power plan %s\n", last.plan);
        console_outf("last Gaming Mode on: northbridge %s\n", last.northbridge);
        console_outf("last Gaming Mode on: TSC driver %s\n", last.driver);
    }
    restore_record owed;
    journal_read(&owed);
    if (owed.open) {
        char plan[64] = "none";
        if (owed.plan.kind == plan_index) _snprintf(plan, sizeof plan - 1, "scheme %u", owed.plan.index);
        else if (owed.plan.kind == plan_guid) _snprintf(plan, sizeof plan - 1, "%s", owed.plan.guid);
        console_outf("still to give back: power plan %s, northbridge bit of node mask 0x%02lX\n", plan,
             static_cast<unsigned long>(owed.nb_nodes));
    }
    return found;
}
