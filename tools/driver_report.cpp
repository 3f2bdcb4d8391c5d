#include "driver_report.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"
#include "table.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

namespace {

// The driver asked for something that changes nothing: the northbridge register.
driver_state look_at_driver()
{
    if (!unique_device(open_tsc_device())) return driver_state::absent;
    DWORD value = 0;
    if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) return driver_state::refusing;
    return value & NB_BIT ? driver_state::found_bit_set : driver_state::found_bit_clear;
}

// A number as a field's text.
struct Number {
    explicit Number(unsigned long value) { _snprintf(text, sizeof text, "%lu", value); }
    char text[16] = "";
};

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

// The last on's record words as a short code for topology's CSV (the sentences are the text
// output's): the outcome whose words they are, or "other" for words of another version.
const char* plan_code(const char* words)
{
    const struct {
        plan_outcome outcome;
        const char* code;
    } codes[] = {{plan_outcome::switched, "switched"},
                 {plan_outcome::unknown, "unread"},
                 {plan_outcome::not_switched, "not_switched"},
                 {plan_outcome::not_recorded, "not_recorded"}};
    for (const auto& c : codes)
        if (strcmp(words, plan_outcome_words(c.outcome)) == 0) return c.code;
    return strcmp(words, plan_kept_words()) == 0 ? "kept_yours" : "other";
}

const char* northbridge_code(const char* words)
{
    const struct {
        northbridge_outcome outcome;
        const char* code;
    } codes[] = {{northbridge_outcome::cleared, "cleared"},
                 {northbridge_outcome::already_clear, "already_clear"},
                 {northbridge_outcome::unread, "unread"},
                 {northbridge_outcome::not_recorded, "not_recorded"}};
    for (const auto& c : codes)
        if (strcmp(words, northbridge_outcome_words(c.outcome)) == 0) return c.code;
    return "other";
}

// The first code whose words the text holds.
struct word_code {
    const char* found;
    const char* code;
};
template <size_t N> const char* code_of(const char* words, const word_code (&codes)[N])
{
    for (const word_code& c : codes)
        if (strstr(words, c.found)) return c.code;
    return "other";
}

const word_code driver_codes[] = {{"synchronized but for", "synchronized_partly"},
                                  {"nodes synchronized, cores not", "nodes_only"},
                                  {"counters synchronized", "synchronized"},
                                  {"absent", "missing"},
                                  {"missing", "missing"},
                                  {"refused", "refused"},
                                  {"failed", "not_delivered"}};
const word_code start_codes[] = {{"resident, Gaming Mode offered", "resident"},
                                 {"drift compensation registered", "drift_compensation_registered"},
                                 {"absent", "driver_missing"},
                                 {"missing", "driver_missing"},
                                 {"not delivered", "driver_not_delivered"},
                                 {"not registered", "drift_compensation_not_registered"},
                                 {"single processor", "single_processor"},
                                 {"could not be", "failed"}};

// The program whose start switched the last on-period on, from the record's words
// ("game.exe, a listed program, started"); false when the user did.
const char listed_program_words[] = ", a listed program, started";
bool on_by_program(const char* by, char* program, size_t size)
{
    const char* at = strstr(by, listed_program_words);
    if (!at) return false;
    const size_t length = static_cast<size_t>(at - by) < size - 1 ? static_cast<size_t>(at - by) : size - 1;
    memcpy(program, by, length);
    program[length] = '\0';
    return true;
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

void read_client_facts(ClientFacts* facts)
{
    memset(facts, 0, sizeof *facts);
    facts->driver = look_at_driver();
    facts->start_recorded = last_start_read(&facts->start) != 0;
    facts->on_recorded = last_on_read(&facts->on) != 0;
    journal_read(&facts->owed);
}

void print_client_facts(const ClientFacts& facts, machine_role role)
{
    console_out(driver_state_line(facts.driver, role));
    if (facts.start_recorded) {
        const last_start_record& start = facts.start;
        console_outf("last start%s%s%s: %s\n", start.when[0] ? " (" : "", start.when, start.when[0] ? ")" : "",
                     start.what);
    } else {
        console_out("last start: none recorded (tickmend has not started here since it records it)\n");
    }
    char lines[512];
    if (facts.on_recorded) {
        const last_on_record& last = facts.on;
        if (last.process_id) {
            // Kept under this user: another user's tickmend keeps its own.
            char when[32];
            utc_words(last.written, when, sizeof when);
            console_outf("last Gaming Mode on: recorded %s by process %lu of this user\n", when,
                         static_cast<unsigned long>(last.process_id));
        }
        last_on_lines(last.plan, last.northbridge, last.driver, lines, sizeof lines);
        console_out(lines);
        sync_check_line(check_facts(last), lines, sizeof lines);
        console_out(lines);
    }
    char by[MAX_PATH + 48], program[MAX_PATH];
    if (last_on_read_by(by, sizeof by)) {
        if (on_by_program(by, program, sizeof program))
            console_outf("last Gaming Mode on: switched on when %s, a program it follows, started\n", program);
        else
            console_out("last Gaming Mode on: switched on by you (the tray icon, tickmend-ctl or another program), "
                        "or brought back at tickmend's start as you had left it\n");
    }
    if (facts.owed.open) {
        char name[64] = "";
        if (facts.owed.plan.kind != plan_none && !PowerPlanName(&facts.owed.plan, name, sizeof name)) name[0] = '\0';
        still_owed_line(facts.owed.plan, name, facts.owed.nb_nodes, lines, sizeof lines);
        console_out(lines);
    }
}

void csv_fact(const char* fact, const char* value, const char* processor, const char* node, const char* core,
              const char* apic)
{
    const char* fields[] = {fact, processor, node, core, apic, value};
    csv_line(fields, 6);
}

void print_client_facts_csv(const ClientFacts& facts)
{
    const bool found = facts.driver == driver_state::found_bit_set || facts.driver == driver_state::found_bit_clear;
    csv_fact("driver", facts.driver == driver_state::absent ? "absent" : found ? "found" : "refusing");
    if (found) csv_fact("northbridge_bit", facts.driver == driver_state::found_bit_set ? "set" : "clear");
    if (facts.start_recorded) {
        if (facts.start.when[0]) csv_fact("last_start_time", facts.start.when);
        csv_fact("last_start", code_of(facts.start.what, start_codes));
    }
    if (facts.on_recorded) {
        const last_on_record& last = facts.on;
        csv_fact("last_on_plan", plan_code(last.plan));
        csv_fact("last_on_northbridge", northbridge_code(last.northbridge));
        csv_fact("last_on_driver", code_of(last.driver, driver_codes));
        csv_fact("last_on_checked", last.checked ? "1" : "0");
        char by[MAX_PATH + 48], program[MAX_PATH];
        if (last_on_read_by(by, sizeof by)) {
            const bool followed = on_by_program(by, program, sizeof program);
            csv_fact("last_on_by", followed ? "listed_program" : "user");
            if (followed) csv_fact("last_on_program", program);
        }
        if (!last.checked && last.why_not[0]) {
            const struct {
                sync_unchecked why;
                const char* code;
            } whys[] = {{sync_unchecked::no_request, "no_request"},
                        {sync_unchecked::no_core_request, "no_core_request"},
                        {sync_unchecked::one_processor, "one_processor"},
                        {sync_unchecked::reference_unbound, "reference_unbound"},
                        {sync_unchecked::no_answer, "no_answer"},
                        {sync_unchecked::no_rate, "no_rate"}};
            const char* code = "other";
            for (const auto& w : whys)
                if (strcmp(last.why_not, sync_unchecked_words(w.why)) == 0) code = w.code;
            csv_fact("last_on_check_why_not", code);
        }
        if (last.checked) {
            // In step by a bound wider than the tolerance is no verdict: "cannot_tell".
            csv_fact("last_on_in_step", !last.in_step                              ? "0"
                                        : last.uncertainty_ns > sync_tolerance_ns ? "cannot_tell"
                                                                                   : "1");
            const Number cpu(last.cpu), node(last.node), core(last.core);
            csv_fact("last_on_offset_ns", Number(last.offset_ns).text, cpu.text, node.text, core.text);
            csv_fact("last_on_uncertainty_ns", Number(last.uncertainty_ns).text, cpu.text, node.text, core.text);
            if (last.bound_ns) csv_fact("last_on_bound_ns", Number(last.bound_ns).text);
            if (last.unmeasured) {
                char named[96];
                processor_list_words(last.unmeasured, named, sizeof named);
                csv_fact("last_on_unmeasured", named);
            }
        }
    }
    if (facts.owed.open) {
        char named[64];
        if (facts.owed.plan.kind != plan_none) {
            power_plan_words(facts.owed.plan, named, sizeof named);
            csv_fact("owed_plan", named);
        }
        _snprintf(named, sizeof named, "0x%02lX", static_cast<unsigned long>(facts.owed.nb_nodes));
        named[sizeof named - 1] = '\0';
        csv_fact("owed_northbridge_nodes", named);
    }
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
        console_errf("tickmend-ctl: left out: power plan %s. To have it, pick High performance in Control Panel, "
                     "Power Options.\n", last.plan);
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
        console_errf("tickmend-ctl: left out: counters in step (processor %lu is %lu ns apart after the sync). Switch "
                     "Gaming Mode off and on again; if they stay apart, update or reinstall the TSC driver.\n",
                     static_cast<unsigned long>(last.cpu), static_cast<unsigned long>(last.offset_ns));
        ++left_out;
    }
    // Not measured is not left out: the sync went to them, the check could not look.
    if (last.checked && last.unmeasured) {
        char named[96];
        processor_list_words(last.unmeasured, named, sizeof named);
        console_errf("tickmend-ctl: not measured after the sync: %s (no answer, or could not be bound). Measure "
                     "them with \"tickmend-ctl skew\".\n", named);
    }
    // Nor is a check too loose to judge: it says so, and how to look again.
    if (last.checked && last.in_step && last.uncertainty_ns > sync_tolerance_ns)
        console_errf("tickmend-ctl: cannot tell whether the counters are in step after the sync: processor %lu was "
                     "measured only to +-%lu ns. Measure them with \"tickmend-ctl skew\".\n",
                     static_cast<unsigned long>(last.cpu), static_cast<unsigned long>(last.uncertainty_ns));
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
        console_err("tickmend-ctl: what this off gave back cannot be known here: the running tickmend keeps "
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
