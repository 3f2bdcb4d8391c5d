// What a refused or failed TSC request adds to its notice: tickmend.sys says why in its two
// reply words, each meaning named by the driver's contract; any other driver's words are
// shown as they came.
#include "notice/wording.h"
#include "protocol/tsc_protocol.h"

#include <stdio.h>

namespace {

struct reason {
    tkd::tsc_reply reply;
    const char* words;
};
const reason reasons[] = {
    {tkd::reply_invariant_in_step, "counters invariant and in step: left alone"},
    {tkd::reply_windows_keeps_time, "Windows keeps time by the TSC: left alone"},
    {tkd::reply_not_arrived, "a processor did not come in time"},
    {tkd::reply_out_of_tolerance, "a counter stayed out of tolerance"},
};

} // namespace

void driver_outcome_detail(driver_outcome outcome, LONG status, LONG ret_code, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    const tkd::tsc_reply reply = {status, ret_code};
    if (outcome == driver_outcome::refused) {
        for (const reason& r : reasons)
            if (r.reply == reply) {
                snprintf(buffer, static_cast<size_t>(size), "%s", r.words);
                return;
            }
        snprintf(buffer, static_cast<size_t>(size), "Status 0x%08lX, RetCode %ld", static_cast<unsigned long>(status),
                 static_cast<long>(ret_code));
    } else if (outcome == driver_outcome::undelivered) {
        snprintf(buffer, static_cast<size_t>(size), "%s", "a request was not delivered");
    }
}
