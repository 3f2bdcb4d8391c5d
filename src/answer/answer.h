// The PC's answer: what tickmend does on this PC and what the user gains or must do, decided
// once from three facts (the processors and nodes, the TSC driver's state, whether the
// counters can drift) and spoken the same by the setup's pages, the finish page, the start
// by hand's box, the tooltip, the status window and "tickmend-ctl topology". Each answer has
// a code (topology's CSV, the tests), the words for a player, and a few words for the tooltip.
#pragma once
#include "notice/wording.h"

#include <windows.h>

enum class pc_answer {
    single_processor,         // one processor: nothing to do
    one_node_steady,          // one node, counters that cannot drift: nothing to do
    one_node_held,            // one node, drifting counters, the driver answers: held at each logon
    one_node_needs_driver,    // one node, drifting counters, no driver: the driver would help
    one_node_driver_refusing, // one node, drifting counters, the driver does not answer
    nodes_synced,             // several nodes, the driver answers: Gaming Mode does everything
    nodes_needs_driver,       // several nodes, no driver: Gaming Mode switches the power plan only
    nodes_driver_refusing,    // several nodes, the driver does not answer: the power plan only
};

struct pc_facts {
    long processors; // the operating system's count
    long nodes;
    driver_state driver;
    bool can_drift;  // the counters can drift apart (no invariant TSC, or not known to be steady)
};

// The answer for these facts.
pc_answer pc_answer_of(const pc_facts& facts);
// The facts of this PC as the processor enumeration found them (cpu_count, node_count: call
// enumerate_cpus first), with the driver looked at and, on one node, the counters asked
// (driver requests that change nothing: ask once, not at every change).
pc_facts pc_facts_now();
// The driver as a look at it finds it: a read of the northbridge register, which changes
// nothing.
driver_state pc_driver_state();
// Whether the counters can drift: not without an invariant TSC unless the northbridge bit is
// clear and the frequency fixed. A read that fails tells nothing, so they then can. Reads the
// FID status register in every case, as the driver expects of a drift registration.
bool pc_counters_can_drift();

// Its code ("nodes_synced"), as topology's CSV gives it.
const char* pc_answer_code(pc_answer answer);
// Its words for a player: what the user gains here or must do, in sentences.
const char* pc_answer_words(pc_answer answer);
// The tooltip's few words, "" where the answer needs none (Gaming Mode does everything).
const char* pc_answer_brief(pc_answer answer);
// tickmend has something to do here, now or once the driver answers: the setup installs by
// default; false where it has nothing to do (a single processor, steady counters).
bool pc_answer_has_work(pc_answer answer);
// Something runs at logon (the icon, or the drift held): the setup registers the start at logon.
bool pc_answer_runs_at_logon(pc_answer answer);
// The TSC driver would help here: the setup ticks its component.
bool pc_answer_wants_driver(pc_answer answer);
