#include "driver_report.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"

#include <windows.h>

namespace {

// The driver asked for something that changes nothing: the northbridge register.
int report_driver()
{
    if (!unique_device(open_tsc_device())) {
        console_out(driver_state_line(driver_state::absent));
        return 0;
    }
    DWORD value = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) {
        console_out(driver_state_line(driver_state::refusing));
        return 0;
    }
    console_out(driver_state_line(value & NB_BIT ? driver_state::found_bit_set : driver_state::found_bit_clear));
    return 1;
}

} // namespace

int print_driver_report()
{
    int found = report_driver();
    char lines[512];
    last_on_record last;
    if (last_on_read(&last)) {
        last_on_lines(last.plan, last.northbridge, last.driver, lines, sizeof lines);
        console_out(lines);
        sync_check_line(last.checked != 0, last.why_not, last.in_step != 0, static_cast<int>(last.cpu),
                        static_cast<int>(last.node), static_cast<int>(last.core), last.offset_ns,
                        last.uncertainty_ns, lines, sizeof lines);
        console_out(lines);
    }
    restore_record owed;
    journal_read(&owed);
    if (owed.open) {
        still_owed_line(owed.plan, owed.nb_nodes, lines, sizeof lines);
        console_out(lines);
    }
    return found;
}
