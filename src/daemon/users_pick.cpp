// A power plan the user picks stands, whenever it comes: during an on, a resync or an off's
// give-back alike. Windows names the plan it makes active; one that is not the plan of our own
// latest switch is the user's (wish_board.cpp tells them apart as they come). Our switch may
// still have overwritten it, when one of ours ran as it came or began since: the pick is then
// owed to the user like any plan we took, and the off gives it back.
#include "daemon/daemon.h"
#include "daemon/daemon_state.h"
#include "daemon/wish_board.h"
#include "notice/notice.h"
#include "common/trace.h"

#include <string.h>

namespace daemon_state {

namespace {

// The pick is owed to the user like any plan we took: the give-back makes it active while the
// plan of our own switch is, and leaves a plan picked again since.
void owe_pick(const power_plan& picked)
{
    if (!owed.open) {
        owed = restore_record{};
        owed.open = 1;
        owed.set_plan = board_own_target();
    }
    owed.plan = picked;
    journal_write(&owed);
}

} // namespace

bool take_users_pick(const power_plan& picked, bool overwritable)
{
    // Our own plan, still owed for, is not the user's pick: nothing changes.
    if (owed.open && owed.set_plan.kind != plan_none && SamePowerPlan(&picked, &owed.set_plan)) return false;
    TRACE("take_users_pick : %s%s\n", picked.guid, overwritable ? " (a switch of ours may have overwritten it)" : "");
    if (overwritable) owe_pick(picked);
    if (!game_mode_on) {
        // The pick replaces what an earlier off could not give back; where an off's give-back
        // (or an on) overwrote it, it is made active again.
        give_back(overwritable);
        return true;
    }
    release_watcher();
    // Not overwritable: the pick is active as it stands, and the off leaves it.
    InterlockedExchange(&scheme_changed_externally, overwritable ? 0 : 1);
    game_mode_off_sequence();
    InterlockedExchange(&scheme_changed_externally, 1);
    notice_changed();
    return true;
}

} // namespace daemon_state

int Qel_DaemonPlanActivated(const char* guid)
{
    if (!guid || strlen(guid) >= sizeof(power_plan{}.guid)) return 0;
    power_plan plan = {};
    plan.kind = plan_guid;
    lstrcpynA(plan.guid, guid, sizeof plan.guid);
    if (!PowerPlanWellFormed(&plan)) return 0;
    return daemon_state::board_wish_pick(plan) ? 1 : 0;
}
