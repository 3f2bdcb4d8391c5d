#include "driver_report.h"
#include "answer/answer.h"
#include "console.h"
#include "driver/driver.h"
#include "journal/journal.h"
#include "notice/wording.h"
#include "table.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

namespace {

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
                 {northbridge_outcome::no_driver, "missing"},
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

} // namespace

void read_client_facts(ClientFacts* facts)
{
    memset(facts, 0, sizeof *facts);
    facts->driver = pc_driver_state();
    facts->start_recorded = last_start_read(&facts->start) != 0;
    facts->on_recorded = last_on_read(&facts->on) != 0;
    journal_read(&facts->owed);
}

void print_client_facts(const ClientFacts& facts, machine_role role)
{
    console_outw("%s", driver_state_line(facts.driver, role));
    if (facts.start_recorded) {
        const last_start_record& start = facts.start;
        console_outw("last start%s%s%s: %s\n", start.when[0] ? " (" : "", start.when, start.when[0] ? ")" : "",
                     start.what);
    } else {
        console_outw("last start: none recorded (tickmend has not started here since it records it)\n");
    }
    char lines[512];
    if (facts.on_recorded) {
        const last_on_record& last = facts.on;
        if (last.process_id) {
            // Kept under this user: another user's tickmend keeps its own.
            char when[32];
            utc_words(last.written, when, sizeof when);
            console_outw("last Gaming Mode on: recorded %s by tickmend (this user)\n", when);
        }
        last_on_lines(last.plan, last.northbridge, last.driver, lines, sizeof lines);
        console_outw("%s", lines);
        sync_check_line(check_facts(last), lines, sizeof lines);
        console_outw("%s", lines);
    }
    char by[MAX_PATH + 48], program[MAX_PATH];
    if (last_on_read_by(by, sizeof by)) {
        if (on_by_program(by, program, sizeof program))
            console_outw("last Gaming Mode on: switched on when %s, a program it follows, started\n", program);
        else
            console_outw("last Gaming Mode on: switched on by you (the tray icon, tickmend-ctl or another program), "
                         "or brought back at tickmend's start as you had left it\n");
    }
    if (facts.owed.open) {
        char name[64] = "";
        if (facts.owed.plan.kind != plan_none && !PowerPlanName(&facts.owed.plan, name, sizeof name)) name[0] = '\0';
        still_owed_line(facts.owed.plan, name, facts.owed.nb_nodes, lines, sizeof lines);
        console_outw("%s", lines);
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
    csv_fact("driver", facts.driver == driver_state::absent ? "missing" : found ? "found" : "refusing");
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
        if (facts.owed.nb_nodes) {
            _snprintf(named, sizeof named, "0x%02lX", static_cast<unsigned long>(facts.owed.nb_nodes));
            named[sizeof named - 1] = '\0';
            csv_fact("owed_northbridge_nodes", named);
        }
    }
}
