#include "meeting_budget.h"

namespace tkd {

namespace {

void fill(caller_budget* b, const budget_rules& rules, uint64_t now_us)
{
    if (now_us > b->at_us) {
        const uint64_t gained = (now_us - b->at_us) / meeting_share;
        const uint64_t room = b->left_us >= static_cast<int64_t>(rules.burst_us)
                                  ? 0
                                  : static_cast<uint64_t>(static_cast<int64_t>(rules.burst_us) - b->left_us);
        b->left_us += static_cast<int64_t>(gained < room ? gained : room);
        // Only whole microseconds of budget are taken from the time: the rest counts later.
        b->at_us += gained * meeting_share;
        if (b->left_us >= static_cast<int64_t>(rules.burst_us)) b->at_us = now_us;
    }
}

caller_budget* slot_of(meeting_budgets* budgets, const budget_rules& rules, uint64_t owner, uint64_t now_us)
{
    caller_budget* free = nullptr;
    for (caller_budget& b : budgets->caller) {
        if (b.used && b.owner == owner) {
            fill(&b, rules, now_us);
            return &b;
        }
        if (!free && !b.used) free = &b;
    }
    if (free) {
        free->used = true;
        free->owner = owner;
        free->left_us = static_cast<int64_t>(rules.burst_us);
        free->at_us = now_us;
        return free;
    }
    // Every place taken: the newcomer takes over the one with the most budget left, as it is
    // (never a fresh one), so that callers within their budgets keep nobody out, and the
    // places together never hold more than they did.
    caller_budget* most = nullptr;
    for (caller_budget& b : budgets->caller) {
        fill(&b, rules, now_us);
        if (!most || b.left_us > most->left_us) most = &b;
    }
    most->owner = owner;
    return most;
}

} // namespace

bool budget_allows(meeting_budgets* budgets, const budget_rules& rules, uint64_t owner, uint64_t now_us)
{
    caller_budget* b = slot_of(budgets, rules, owner, now_us);
    if (!b || b->left_us <= 0) return false;
    // The least its meetings will cost is held now, so that requests let in before the first
    // of them is charged see each other.
    b->left_us -= static_cast<int64_t>(rules.min_charge_us);
    return true;
}

void budget_charge(meeting_budgets* budgets, const budget_rules& rules, uint64_t owner, uint32_t meetings,
                   uint64_t spent_us, uint64_t now_us)
{
    if (!meetings) return;
    caller_budget* b = slot_of(budgets, rules, owner, now_us);
    if (!b) return;
    const uint64_t least = rules.min_charge_us * meetings;
    // budget_allows held the minimum of one meeting already.
    b->left_us -= static_cast<int64_t>((spent_us > least ? spent_us : least) - rules.min_charge_us);
}

} // namespace tkd
