#include "notice/wording.h"
#include "notice/notice.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace {

struct notice_words {
    const char* text;  // the balloon
    const char* brief; // the tooltip
};

// Each balloon says what happened and what to do, in sentences; " (%s)" marks where a detail
// goes (left out with its brackets when there is none). The shell shows at most 255
// characters: every text fits with its longest detail.
const notice_words words[NOTICE_COUNT] = {
    {"The TSC driver is not installed, so Gaming Mode switched the power plan only: the counters are not "
     "synchronized. Install the TSC driver (the setup's component \"TSC driver\"), then switch Gaming Mode off "
     "and on again.",
     "no TSC driver"},
    {"The TSC driver refused a request (%s), so the time-stamp counters may not be in step. Update or "
     "reinstall the TSC driver, then switch Gaming Mode off and on again.",
     "TSC sync failed"},
    {"The active power plan could not be read, so Gaming Mode left the power plan as it is. If you want High "
     "performance, pick it in the Control Panel's Power Options.",
     "power plan unchanged"},
    {"The High performance power plan could not be activated, so Gaming Mode left the power plan as it is. "
     "Check that the plan exists in the Control Panel's Power Options, then switch Gaming Mode off and on again.",
     "power plan unchanged"},
    {"Your power plan or northbridge setting could not be given back yet. QEL Pacemill tries again at the next "
     "switch and start; switch Gaming Mode on and off to try now.",
     "power plan not restored"},
    {"Another program (%s) holds the pipe \\\\.\\pipe\\QelTscPipe, so no program can switch Gaming Mode "
     "through it. QEL Pacemill takes it back once the other program lets it go: end that program.",
     "pipe taken by another program"},
    {"The restore record could not be saved in the registry, so Gaming Mode left the power plan and the "
     "northbridge setting as they are. Make sure you may write to your own registry, then switch Gaming Mode "
     "off and on again.",
     "restore record not saved"},
    {"Your power plan could not be given back (%s): it no longer exists, or its record is damaged. Pick the "
     "plan you want in the Control Panel's Power Options.",
     "power plan not given back"},
    {"The TSC sync left %s apart, although the driver accepted it. Gaming Mode stays on; measure the counters "
     "with tickmend-ctl skew, and update or reinstall the TSC driver if they stay apart.",
     "TSC sync did not hold"},
    {"The list of programs Gaming Mode follows could not be read (%s), so the list read before holds and "
     "nothing was switched off for it. Check that you may read HKEY_CURRENT_USER\\Software\\QEL\\qel_pacemill\\auto.",
     "list of programs unread"},
};

bool valid(int id) { return id >= 0 && id < NOTICE_COUNT; }

// snprintf into a buffer of size bytes, always ended.
template <class... Args>
void format(char* buffer, int size, const char* text, Args... args)
{
    if (size <= 0) return;
    snprintf(buffer, static_cast<size_t>(size), text, args...);
}

} // namespace

const char* notice_balloon_words(int id) { return valid(id) ? words[id].text : ""; }
const char* notice_brief_words(int id) { return valid(id) ? words[id].brief : ""; }

// What a user without the TSC driver can do: the one sentence every report ends with.
#define INSTALL_TSC_DRIVER "Install the TSC driver (the setup's component \"TSC driver\")"
const char* install_driver_step() { return INSTALL_TSC_DRIVER; }

const char* plan_outcome_words(plan_outcome outcome)
{
    switch (outcome) {
    case plan_outcome::switched: return "switched to a plan that does not throttle the processor";
    case plan_outcome::unknown: return "left alone: the active plan could not be read";
    case plan_outcome::not_switched: return "left alone: the plan that does not throttle could not be activated";
    case plan_outcome::not_recorded: return "left alone: the restore record could not be saved";
    }
    return "";
}

const char* plan_kept_words()
{
    return "kept as you chose it: a plan picked while Gaming Mode was on is not undone";
}

const char* northbridge_outcome_words(northbridge_outcome outcome)
{
    switch (outcome) {
    case northbridge_outcome::cleared: return "power management bit cleared";
    case northbridge_outcome::already_clear: return "power management bit already clear";
    case northbridge_outcome::unread: return "left alone: the TSC driver did not read the register";
    case northbridge_outcome::no_driver: return "left alone: the TSC driver is missing";
    case northbridge_outcome::not_recorded: return "left alone: the restore record could not be saved";
    }
    return "";
}

void processor_list_words(DWORD_PTR mask, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    const bool several = (mask & (mask - 1)) != 0;
    int used = 0;
    for (int bit = 0; bit < 32 && used < size; ++bit) {
        if (!(mask & (static_cast<DWORD_PTR>(1) << bit))) continue;
        const int more = snprintf(buffer + used, static_cast<size_t>(size - used),
                                  used ? ", %d" : several ? "processors %d" : "processor %d", bit);
        if (more < 0) break;
        used += more;
    }
}

void driver_outcome_words(driver_outcome outcome, bool cores_unbound, DWORD_PTR synced, DWORD_PTR unbound,
                          LONG status, LONG ret_code, char* buffer, int size)
{
    char detail[64];
    switch (outcome) {
    case driver_outcome::synchronized:
        if (cores_unbound) {
            format(buffer, size, "%s", "nodes synchronized, cores not: the processor affinity could not be read");
        } else if (unbound && !synced) {
            format(buffer, size, "%s", "nodes synchronized, cores not: no processor could be bound");
        } else if (unbound) {
            processor_list_words(unbound, detail, sizeof detail);
            format(buffer, size, "counters synchronized but for %s: %s could not be bound", detail,
                   (unbound & (unbound - 1)) ? "they" : "it");
        } else {
            format(buffer, size, "%s", "counters synchronized");
        }
        return;
    case driver_outcome::absent:
        format(buffer, size, "%s", "missing: counters not synchronized");
        return;
    case driver_outcome::refused:
        driver_outcome_detail(outcome, status, ret_code, detail, sizeof detail);
        format(buffer, size, "refused (%s): counters not synchronized", detail);
        return;
    case driver_outcome::undelivered:
        driver_outcome_detail(outcome, status, ret_code, detail, sizeof detail);
        format(buffer, size, "failed (%s): counters not synchronized", detail);
        return;
    }
    format(buffer, size, "%s", "");
}

const char* sync_unchecked_words(sync_unchecked why)
{
    switch (why) {
    case sync_unchecked::no_request: return "no sync request was sent";
    case sync_unchecked::no_core_request: return "no core sync request was sent";
    case sync_unchecked::one_processor: return "fewer than two processors were synchronized";
    case sync_unchecked::reference_unbound: return "the first processor could not be bound";
    case sync_unchecked::no_answer: return "no processor answered the measurement";
    case sync_unchecked::no_rate: return "the TSC rate could not be measured";
    }
    return "";
}

// The micro and plus-minus signs in UTF-8.
const char micro_sign[] = "\xC2\xB5";
const char plus_minus_sign[] = "\xC2\xB1";

void duration_words(double ns, char* buffer, int size, text_for where)
{
    if (ns < 0) ns = -ns;
    if (ns < 1000) format(buffer, size, "%.0f ns", ns);
    else if (ns < 1e6) format(buffer, size, "%.1f %ss", ns / 1e3, where == text_for::shell ? micro_sign : "u");
    else if (ns < 1e9) format(buffer, size, "%.1f ms", ns / 1e6);
    else format(buffer, size, "%.1f s", ns / 1e9);
}

void sync_tip_line(bool in_step, double figure_ns, double uncertainty_ns, int unmeasured, char* buffer, int size)
{
    char missing[24] = "";
    if (unmeasured > 0) format(missing, sizeof missing, ", %d not measured", unmeasured);
    if (in_step && uncertainty_ns > sync_tolerance_ns) {
        // Within a bound wider than the tolerance: shown neither in step nor apart.
        format(buffer, size, "counters: cannot tell, measured too loosely%s", missing);
        return;
    }
    if (in_step) {
        // A bound is rounded up, never down: to the next tenth of a microsecond.
        const double tenths = ceil((figure_ns < 0 ? -figure_ns : figure_ns) / 100 - 1e-9);
        format(buffer, size, "counters within %.1f %ss%s", tenths / 10, micro_sign, missing);
        return;
    }
    // Apart by more than the uncertainty and the tolerance: the distance alone says it.
    char apart[24];
    duration_words(figure_ns, apart, sizeof apart, text_for::shell);
    format(buffer, size, "counters %s apart%s", apart, missing);
}

void sync_apart_detail(int cpu, int node, int core, double offset_ns, char* buffer, int size)
{
    char apart[32];
    duration_words(offset_ns, apart, sizeof apart);
    format(buffer, size, "processor %d (node %d, core %d) %s", cpu, node, core, apart);
}

void sync_check_line(const sync_check_facts& facts, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    if (!facts.checked) {
        if (facts.why_not && *facts.why_not)
            format(buffer, size, "last Gaming Mode on: counters not checked after the sync: %s\n", facts.why_not);
        return;
    }
    char detail[64];
    int used = 0;
    if (facts.in_step && facts.uncertainty_ns > sync_tolerance_ns) {
        // An offset within a bound wider than the tolerance is shown neither small nor large.
        format(detail, sizeof detail, "processor %d (node %d, core %d)", facts.cpu, facts.node, facts.core);
        used = snprintf(buffer, static_cast<size_t>(size),
                        "last Gaming Mode on: cannot tell how close the counters were after the last sync: %s was "
                        "measured only to +-%.0f ns, more than the %.0f ns allowed. Measure them with "
                        "\"tickmend-ctl skew\".\n",
                        detail, facts.uncertainty_ns, sync_tolerance_ns);
    } else if (facts.in_step) {
        // A record from before the bound was kept: the widest processor's own figures make it.
        const double bound = facts.bound_ns > 0 ? facts.bound_ns : facts.offset_ns + facts.uncertainty_ns;
        used = snprintf(buffer, static_cast<size_t>(size),
                        "last Gaming Mode on: counters within %.0f ns after the last sync (every processor "
                        "measured; the widest: processor %d (node %d, core %d) %.0f ns +-%.0f ns)\n",
                        bound, facts.cpu, facts.node, facts.core, facts.offset_ns, facts.uncertainty_ns);
    } else {
        sync_apart_detail(facts.cpu, facts.node, facts.core, facts.offset_ns, detail, sizeof detail);
        used = snprintf(buffer, static_cast<size_t>(size),
                        "last Gaming Mode on: counters out of step after the last sync: %s apart (measured to "
                        "within %.0f ns), beyond the %.0f ns allowed. Switch Gaming Mode off and on again; if "
                        "they stay apart, update or reinstall the TSC driver.\n",
                        detail, facts.uncertainty_ns, sync_tolerance_ns);
    }
    if (!facts.unmeasured || used < 0 || used >= size) return;
    char named[96];
    processor_list_words(facts.unmeasured, named, sizeof named);
    format(buffer + used, size - used,
           "last Gaming Mode on: not measured after the last sync: %s (no answer, or could not be bound)\n", named);
}

const char* driver_state_line(driver_state state, machine_role role)
{
    switch (state) {
    case driver_state::absent:
        switch (role) {
        case machine_role::single_processor:
            return "driver: absent (no device of the TSC driver's class); one processor needs none.\n";
        case machine_role::one_node:
            return "driver: absent (no device of the TSC driver's class): no drift compensation is registered. "
                   INSTALL_TSC_DRIVER ", then start tickmend again.\n";
        case machine_role::nodes:
            return "driver: absent (no device of the TSC driver's class): Gaming Mode switches the power plan "
                   "only. " INSTALL_TSC_DRIVER " to have the counters "
                   "synchronized.\n";
        }
        return "";
    case driver_state::refusing:
        return "driver: refusing (it opens, but does not answer a read of the northbridge register). Update or "
               "reinstall the TSC driver.\n";
    case driver_state::found_bit_set: return "driver: found (northbridge power management bit set)\n";
    case driver_state::found_bit_clear: return "driver: found (northbridge power management bit clear)\n";
    }
    return "";
}

const char* start_advice(const char* what)
{
    struct advice {
        const char* found; // in the words the start recorded
        const char* text;
    };
    // The first that matches: the driver's troubles before the machine's.
    static const advice table[] = {
        {"TSC driver is absent",
         INSTALL_TSC_DRIVER ", then start QEL Pacemill again: it "
         "registers drift compensation with the driver and ends."},
        {"TSC driver refused", "Update or reinstall the TSC driver, then start QEL Pacemill again."},
        {"not delivered", "Update or reinstall the TSC driver, then start QEL Pacemill again."},
        {"drift compensation registered",
         "Nothing more is needed: the TSC driver keeps the counters in step, and QEL Pacemill registers again "
         "at its next start."},
        {"single processor", "Nothing is needed: one processor has no other counter to be kept in step with."},
        {"could not be", "Start QEL Pacemill again; if this comes back, restart Windows first."},
    };
    if (!what) return "";
    for (const advice& a : table)
        if (strstr(what, a.found)) return a.text;
    return "";
}

void last_on_lines(const char* plan, const char* northbridge, const char* driver, char* buffer, int size)
{
    format(buffer, size,
           "last Gaming Mode on: power plan %s\n"
           "last Gaming Mode on: northbridge %s\n"
           "last Gaming Mode on: TSC driver %s\n",
           plan, northbridge, driver);
}

void power_plan_words(const power_plan& plan, char* buffer, int size)
{
    if (plan.kind == plan_index) format(buffer, size, "scheme %u", plan.index);
    else if (plan.kind == plan_guid) format(buffer, size, "%s", plan.guid);
    else format(buffer, size, "%s", "none");
}

void still_owed_line(const power_plan& plan, const char* plan_name, DWORD nb_nodes, char* buffer, int size)
{
    if (size <= 0) return;
    buffer[0] = '\0';
    char named[64], nodes[64] = "";
    power_plan_words(plan, named, sizeof named);
    int used = 0;
    for (int node = 0; node < 32 && used < static_cast<int>(sizeof nodes); ++node) {
        if (!(nb_nodes & (1u << node))) continue;
        const int more = snprintf(nodes + used, sizeof nodes - used,
                                  used ? ", %d" : (nb_nodes & (nb_nodes - 1)) ? "of nodes %d" : "of node %d", node);
        if (more < 0) break;
        used += more;
    }
    const bool owes_plan = plan.kind != plan_none;
    if (!owes_plan && !nb_nodes) return; // nothing owed: no line
    char what[192];
    if (owes_plan && plan_name && *plan_name) format(what, sizeof what, "your power plan %s (%s)", plan_name, named);
    else if (owes_plan) format(what, sizeof what, "your power plan %s", named);
    else what[0] = '\0';
    format(buffer, size, "to give back at the next Gaming Mode off (or tickmend's next start): %s%s%s%s\n", what,
           owes_plan && nb_nodes ? " and " : "", nb_nodes ? "the northbridge power management bit " : "", nodes);
}
