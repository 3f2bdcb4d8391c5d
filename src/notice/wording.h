// Every text that tells the user what Gaming Mode did or left out: the notices' balloons and
// tooltip words, what the last on sequence achieved (kept for tickmend-ctl), and the lines of
// tickmend-ctl's driver report. Whoever reports an outcome names it; the words live here.
#pragma once
#include "pwr_enum/pwr_enum.h"

#include <windows.h>

// What one on sequence did with the power plan, the northbridge bit and the TSC driver.
enum class plan_outcome { switched, unknown, not_switched, not_recorded };
enum class northbridge_outcome { cleared, already_clear, unread, no_driver, not_recorded };
enum class driver_outcome { synchronized, absent, refused, undelivered };

// The balloon text and the tooltip words of a notice (the ids of notice.h); "" for no notice.
const char* notice_balloon_words(int id);
const char* notice_brief_words(int id);

// What the last on sequence did, as kept for tickmend-ctl.
const char* plan_outcome_words(plan_outcome outcome);
const char* northbridge_outcome_words(northbridge_outcome outcome);
// The driver part, into buffer (size bytes, always ended): cores_unbound when no core request
// went out (the affinity masks could not be read); unbound the processors whose core request
// could not go out (binding them failed), synced those whose did; status and ret_code the
// first refusal.
void driver_outcome_words(driver_outcome outcome, bool cores_unbound, DWORD_PTR synced, DWORD_PTR unbound,
                          LONG status, LONG ret_code, char* buffer, int size);
// Processors by index: "processor 2", "processors 1, 3" ("" for none).
void processor_list_words(DWORD_PTR mask, char* buffer, int size);
// What a failed or refused driver adds to its notice ("Status 0xC000000D, RetCode 1"); ""
// for the other outcomes.
void driver_outcome_detail(driver_outcome outcome, LONG status, LONG ret_code, char* buffer, int size);

// tickmend-ctl's look at the driver: absent, opening but not answering, or found with the
// northbridge bit set or clear. Each a whole line, with what it means for what tickmend does
// on a machine of that role, and what to do.
// not_made_for: it refuses the northbridge register of a machine it was not made for.
enum class driver_state { absent, refusing, not_made_for, found_bit_set, found_bit_clear };
enum class machine_role { single_processor, one_node, nodes };
const char* driver_state_line(driver_state state, machine_role role);
// The next step without the TSC driver: "Install the TSC driver (the setup's component ...)".
const char* install_driver_step();
// What to do after a start that left nothing resident, in sentences, for the words the start
// recorded ("one node: drift compensation not registered: the TSC driver is absent; ...").
const char* start_advice(const char* what);
// How far beyond its uncertainty an offset may lie after a sync and still count as in step.
constexpr double sync_tolerance_ns = 1000;
// Why the counters were not measured after a sync.
enum class sync_unchecked { no_request, no_core_request, one_processor, reference_unbound, no_answer, no_rate };
const char* sync_unchecked_words(sync_unchecked why);
// Where a text goes: the shell takes Unicode (these texts are UTF-8, handed on as UTF-16), a
// console's code page may lack the micro and plus-minus signs.
enum class text_for { console, shell };
// A span of nanoseconds in the unit that suits it ("185 ns", "1.5 us" or, for the shell,
// "1.5 µs", "1.5 ms", "2.0 s").
void duration_words(double ns, char* buffer, int size, text_for where = text_for::console);
// The tooltip's line after a check (UTF-8): "counters within 0.9 µs" (in step: figure_ns is
// the bound every processor measured is within, rounded up), "counters 1.5 ms apart" (the
// offset of the one furthest out), or, in step by a bound wider than sync_tolerance_ns,
// "counters: cannot tell, measured too loosely"; processors not measured are counted
// (", 2 not measured").
void sync_tip_line(bool in_step, double figure_ns, double uncertainty_ns, int unmeasured, char* buffer, int size);
// The detail of the notice of counters left apart: "processor 3 (node 1, core 1) 1.5 ms".
void sync_apart_detail(int cpu, int node, int core, double offset_ns, char* buffer, int size);
// What the record keeps of the check after the last sync.
struct sync_check_facts {
    bool checked;
    const char* why_not; // when not checked
    bool in_step;
    int cpu, node, core;  // in step: the widest processor; out of step: the one furthest out
    double offset_ns;     // its |offset|
    double uncertainty_ns;
    double bound_ns;      // every processor measured within it (0: a record from before it)
    DWORD_PTR unmeasured; // processors not measured
};
// The record's lines about that check (the bound every processor measured is within, the
// processor it is set by, the processors not measured), or why none ran; "" for a record from
// before checks.
void sync_check_line(const sync_check_facts& facts, char* buffer, int size);

// The three lines of the last on sequence's record, into buffer (size bytes, always ended).
void last_on_lines(const char* plan, const char* northbridge, const char* driver, char* buffer, int size);
// What the last-on record says when a restore found the user's own plan active and kept it.
const char* plan_kept_words();
// A plan as the user is told of it ("scheme 3", a GUID, "none"), into buffer.
void power_plan_words(const power_plan& plan, char* buffer, int size);
// The line of what an on-period still owes the user, the plan by its name (plan_name, "" when
// unknown) and GUID, and what the user can do; "" when nothing is owed. Into buffer (size
// bytes, always ended).
void still_owed_line(const power_plan& plan, const char* plan_name, DWORD nb_nodes, char* buffer, int size);
