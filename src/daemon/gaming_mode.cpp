// Gaming Mode's on and off sequences, which its owner (owner.cpp) runs with the lock held:
// the power plan, the northbridge bit and the counters' synchronization taken, the watcher
// started, and what the on-period owes given back.
#include "daemon/daemon_state.h"
#include "daemon/each_processor.h"
#include "daemon/wish_board.h"
#include "notice/notice.h"
#include "platform/binding.h"
#include "pwr_enum/pwr_enum.h"
#include "smp_enum/smp_enum.h"
#include "common/trace.h"

#include <string.h>

namespace daemon_state {

tk::unique_handle game_mode_lock;
volatile LONG game_mode_on = 0;
restore_record owed;

namespace {

// Node passes never go beyond the tables' eight entries.
int node_passes() { return node_count < MAX_NODES ? static_cast<int>(node_count) : MAX_NODES; }

// Notes the outcome of one TSC request; the first failure is the one reported.
void note_request([[maybe_unused]] const char* name, on_outcome& outcome, TscResult result,
                  const TscReplyWords& reply)
{
    if (result == TscResult::accepted) {
        TRACE(" %s: registered succesfully\n", name);
        return;
    }
    if (outcome.driver != driver_outcome::synchronized) return;
    outcome.driver = result == TscResult::refused ? driver_outcome::refused : driver_outcome::undelivered;
    outcome.reply = reply;
}

// One switch of the power plan of ours, from its first look at the active plan to its end.
struct own_plan_switch {
    explicit own_plan_switch(const power_plan& target) { board_own_switch_begins(target); }
    ~own_plan_switch() { board_own_switch_ends(); }
    own_plan_switch(const own_plan_switch&) = delete;
    own_plan_switch& operator=(const own_plan_switch&) = delete;
};

// A switch that failed (a tool that was ended at its bound may have switched before it was)
// is judged by the plan read back: true when plan is active now.
bool active_is(const power_plan& plan)
{
    power_plan now;
    return plan.kind != plan_none && ReadActivePowerScheme(&now) && SamePowerPlan(&now, &plan);
}

// The power plan of the on sequence. The plan to give back is written down before the
// switch, and nothing is switched when it cannot be; a plan that cannot be read is never
// switched away from. A plan still owed from an earlier period stays the one to give back
// only while the plan Gaming Mode set is still active: a plan the user picked since is the
// user's choice now. The plan Gaming Mode is about to set (on XP: a temporary scheme it is
// about to write) is written down with it: the switch may take seconds, and a process ended
// in between leaves the next start the record it needs to tell our plan from one the user
// picked since, and to delete a temporary scheme written by then.
void switch_plan(on_outcome& outcome)
{
    // From before the active plan is read: a plan made active meanwhile by anyone else is the
    // user's pick (wish_board.cpp), even where our switch overwrites it.
    own_plan_switch own(power_plan{});
    power_plan active;
    if (!ReadActivePowerScheme(&active)) {
        outcome.plan = plan_outcome::unknown;
        return;
    }
    journal_owe_plan(&owed, active);
    const power_plan earlier_set = owed.set_plan;
    const DWORD earlier_temp = owed.temp_scheme;
    if (!ChooseAlwaysOnScheme(&owed.set_plan, &owed.temp_scheme)) owed.set_plan.kind = plan_none;
    if (!journal_write(&owed)) {
        owed.set_plan = earlier_set;
        owed.temp_scheme = earlier_temp;
        outcome.plan = plan_outcome::not_recorded;
        return;
    }
    board_own_switch_begins(owed.set_plan); // named now
    outcome.plan = SwitchToAlwaysOnScheme() ? plan_outcome::switched : plan_outcome::not_switched;
    SwitchedPowerScheme(&owed.set_plan, &owed.temp_scheme);
    journal_write(&owed);
    if (outcome.plan == plan_outcome::not_switched && active_is(owed.set_plan))
        outcome.plan = plan_outcome::switched;
}

// Every pass reads the same register; a read that fails gives no value to write back.
// Each bit to be cleared is written down before it is: the node mask alone, since the
// record is stored open already and the process runs at realtime priority here.
void clear_northbridge_bit(on_outcome& outcome)
{
    outcome.northbridge = northbridge_outcome::already_clear;
    for (int i = 0; i < node_passes(); ++i) {
        DWORD value = 0;
        if (!ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value)) {
            if (i == 0) outcome.northbridge = northbridge_outcome::unread;
            continue;
        }
        if (value & NB_BIT) {
            owed.nb_nodes |= 1u << i;
            if (!journal_write_nodes(&owed)) {
                owed.nb_nodes &= ~(1u << i);
                outcome.northbridge = northbridge_outcome::not_recorded;
                return;
            }
            WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, value & ~NB_BIT);
            outcome.northbridge = northbridge_outcome::cleared;
        }
    }
}

// The node requests from the first processor of the lowest node, then each core request from the
// core it names. Without the affinity masks there is no mask to go back to: the process is
// bound to no processor at all, so the node requests go out from wherever the thread runs
// and no core request can be sent from its core.
void synchronize_counters(on_outcome& outcome)
{
    process_binding binding;
    if (!binding.have_masks()) TRACE("GetProcessAffinityMask failed.\n");
    outcome.cores_unbound = !binding.have_masks();

    unique_device device(open_tsc_device());
    if (!device) {
        TRACE("OpenDriverInterface failed.\n");
        outcome.driver = driver_outcome::absent;
        return;
    }
    // Every node present once, from the highest down, all from the lowest processor of the
    // lowest node: on interleaved numbering too, and never a node without processors.
    BYTE source = node_sync_source();
    if (binding.have_masks() && source < MAX_CPUS && !binding.bind(source)) TRACE("SetProcessAffinityMask failed.\n");
    if (node_count > 1) {
        for (int n = MAX_NODES - 1; n >= 0; --n) {
            if (!node_present(n)) continue;
            TRACE("NB to NB src %i, dst %i\n", (int)source, n);
            TscReplyWords reply = {-1, -1};
            TscResult result = send_tsc_command(device.get(), sync_node_command_word(static_cast<BYTE>(n)), 0, &reply);
            note_request("SYNC_NODE_TSC", outcome, result, reply);
        }
    }
    from_each_processor(binding, [&](int p) {
        TscReplyWords reply = {-1, -1};
        TscResult result =
            send_tsc_command(device.get(), sync_command_word(SYNC_CORE_TSC, cpu_node[p], cpu_core[p]), 0, &reply);
        note_request("SYNC_CORE_TSC", outcome, result, reply);
        outcome.synced |= static_cast<DWORD_PTR>(1) << p;
        return true;
    });
    // The processors of this system that were to get a core request and did not: binding
    // them failed. Their counters are not synchronized, whatever the driver said of the rest.
    if (!binding.have_masks()) return;
    for (int p = 0; p < MAX_CPUS; ++p) {
        const DWORD_PTR bit = static_cast<DWORD_PTR>(1) << p;
        if ((binding.system_mask() & bit) && cpu_present(p) && !(outcome.synced & bit)) outcome.unbound |= bit;
    }
}

} // namespace

// Runs with the lock held: power scheme, northbridge bit, then the node and core
// synchronization, each core request from the core it names.
void game_mode_on_sequence(on_outcome& outcome)
{
    outcome = on_outcome{};
    // No record, no change: what cannot be written down is not taken.
    DWORD was_open = owed.open;
    owed.open = 1;
    if (journal_write(&owed)) {
        switch_plan(outcome);
        clear_northbridge_bit(outcome);
    } else {
        owed.open = was_open;
        outcome.plan = plan_outcome::not_recorded;
        outcome.northbridge = northbridge_outcome::not_recorded;
    }
    synchronize_counters(outcome);
    // No device to open: the register went unread because there is no driver at all.
    if (outcome.driver == driver_outcome::absent && outcome.northbridge == northbridge_outcome::unread)
        outcome.northbridge = northbridge_outcome::no_driver;
    game_mode_on = 1;
}

namespace {

// Gives the user's plan back only while the plan Gaming Mode set is still active. True when
// the plan is owed no more: given back, found active already, replaced by the user's own
// choice, or gone (then one balloon names it). False when it is to be tried again.
bool give_back_plan()
{
    own_plan_switch own(owed.plan);
    power_plan active;
    if (!ReadActivePowerScheme(&active)) return false; // cannot tell whose plan is active
    if (SamePowerPlan(&active, &owed.plan)) return true;
    if (owed.set_plan.kind != plan_none && !SamePowerPlan(&active, &owed.set_plan)) {
        TRACE("give_back : the user picked a plan meanwhile; it stays\n");
        last_on_note_plan(plan_kept_words());
        return true;
    }
    int exists = PowerPlanExists(&owed.plan);
    if (exists < 0) return false;
    if (exists == 0) {
        char named[48];
        power_plan_words(owed.plan, named, sizeof named);
        notice_raise(NOTICE_PLAN_NOT_GIVEN_BACK, named);
        return true;
    }
    return ActivatePowerScheme(&owed.plan) != 0 || active_is(owed.plan);
}

} // namespace

// Gives back what the on-period still owes: the northbridge bits set again, then the
// user's plan made active (or, when the user picked a plan meanwhile, that plan kept). A
// record that cannot be carried out (a plan damaged or gone, nodes not present) is closed
// with a balloon. What cannot be given back yet stays owed, in memory and in the registry,
// and is tried again at the next off and the next start. True when nothing is owed any more.
bool give_back(bool restore_plan)
{
    if (!owed.open) return true;
    if (owed.unusable & unusable_plan) {
        notice_raise(NOTICE_PLAN_NOT_GIVEN_BACK, "the stored plan could not be read");
        owed.unusable &= ~unusable_plan;
    }
    // Bits of nodes this machine does not have name nothing that can be set again.
    DWORD present = node_passes() > 0 ? (1u << node_passes()) - 1 : (1u << MAX_NODES) - 1;
    if (owed.nb_nodes & ~present) {
        TRACE("give_back : node mask 0x%lx names nodes not present\n", static_cast<unsigned long>(owed.nb_nodes));
        owed.nb_nodes &= present;
    }
    for (int i = 0; i < MAX_NODES; ++i) {
        if (!(owed.nb_nodes & (1u << i))) continue;
        DWORD value = 0;
        if (ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value) &&
            WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, value | NB_BIT))
            owed.nb_nodes &= ~(1u << i);
    }
    if (owed.plan.kind != plan_none && !restore_plan) last_on_note_plan(plan_kept_words());
    if (owed.plan.kind != plan_none && (!restore_plan || give_back_plan())) owed.plan.kind = plan_none;
    // A temporary scheme of ours goes once it is no longer active (the platform keeps the
    // active one).
    if (owed.temp_scheme && owed.plan.kind == plan_none) {
        DeleteTemporaryScheme(owed.set_plan.index);
        owed.temp_scheme = 0;
    }
    bool done = owed.plan.kind == plan_none && owed.nb_nodes == 0;
    if (done) owed = restore_record{};
    journal_write(&owed);
    notice_set(NOTICE_RESTORE_PENDING, !done);
    return done;
}

// Runs with the lock held.
void game_mode_off_sequence()
{
    give_back(!scheme_changed_externally);
    notice_clear(NOTICE_SYNC_APART);
    notice_set_sync_line("");
    game_mode_on = 0;
}

// The one rule for both the XP watcher and the Vista power-personality notification. The
// flag is set only for our own on-period: set by a late watcher, it would keep the next
// period's off from giving the user's plan back.
bool turn_off_for_users_change(LONG period)
{
    if (!game_mode_on || period != current_on_period()) return false;
    power_plan active;
    if (!ReadActivePowerScheme(&active)) return false; // whose change it was cannot be told
    if (owed.set_plan.kind != plan_none && SamePowerPlan(&active, &owed.set_plan)) return false;
    InterlockedExchange(&scheme_changed_externally, 1);
    release_watcher();
    game_mode_off_sequence();
    notice_changed();
    return true;
}

} // namespace daemon_state

volatile LONG scheme_changed_externally = 0;

using namespace daemon_state;

// Run by the owner with the lock held: "1" while on does nothing.
void Qel_DaemonDoGameModeOn()
{
    if (!game_mode_lock || game_mode_on) return;

    release_watcher(); // leftovers of an earlier period, if any
    prepare_watcher();

    on_outcome outcome;
    {
        priority_scope raised(REALTIME_PRIORITY_CLASS, THREAD_PRIORITY_TIME_CRITICAL);
        game_mode_on_sequence(outcome);
    }
    // Back at the normal priority: the counters are measured only now, so that the check
    // never lengthens the realtime window.
    if (outcome.synced) check_sync(outcome.synced, outcome.check);
    else if (outcome.driver == driver_outcome::absent) outcome.check.why_not = sync_unchecked::no_request;
    else outcome.check.why_not = sync_unchecked::no_core_request;
    report(outcome);

    InterlockedExchange(&scheme_changed_externally, 0);
    start_watcher();
    notice_changed(); // the tray icon shows the state
}

// Run by the owner with the lock held. "0" while Gaming Mode is off tries again to give back
// what an earlier off could not.
void Qel_DaemonDoGameModeOff()
{
    if (!game_mode_lock) return;
    if (!game_mode_on) {
        if (owed.open) give_back(true);
        return;
    }
    release_watcher();
    game_mode_off_sequence();
    notice_changed();
}
