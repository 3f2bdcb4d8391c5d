// How often a caller may make every processor meet: each caller (a process, or the driver's
// own drift timers) has a budget of meeting time that fills at one part in a hundred of the
// time that passes, up to a burst, so that no caller keeps the processors at raised IRQL more
// than about 1% of the time; a caller whose budget is spent hears "busy". Plain C++ without
// kernel headers, run by the tests.
#pragma once
#include <stdint.h>

namespace tkd {

// A caller's meetings may fill one microsecond in every meeting_share of the time.
constexpr uint64_t meeting_share = 100;
constexpr int budget_callers = 8;

struct budget_rules {
    uint64_t burst_us;      // the budget of a caller that has not met for a while
    uint64_t min_charge_us; // a meeting costs at least this (stopping every processor does)
};

struct caller_budget {
    uint64_t owner;
    int64_t left_us;
    uint64_t at_us; // when left_us was last brought up to date
    bool used;
};
// The callers met most recently; a caller not among them, once every slot is taken, takes
// over the slot with the most budget left, with that budget (a full one: its caller would not
// notice), and is busy while that is spent too.
struct meeting_budgets {
    caller_budget caller[budget_callers];
};

// Whether owner may make processors meet now: its budget, filled for the time since it was
// last charged, is above zero. When it may, the least one meeting costs is taken at once
// (requests let in together, before any is charged, see each other).
bool budget_allows(meeting_budgets* budgets, const budget_rules& rules, uint64_t owner, uint64_t now_us);
// Charges owner for meetings that kept the processors spent_us (each at least the minimum),
// after the budget_allows that let them in: what that took is counted.
void budget_charge(meeting_budgets* budgets, const budget_rules& rules, uint64_t owner, uint32_t meetings,
                   uint64_t spent_us, uint64_t now_us);

} // namespace tkd
