// Whose Gaming Mode it is: what each source wishes, and the rules that derive from those
// wishes whether Gaming Mode should be on. Plain data and plain functions, with no lock and
// no switch of their own: Gaming Mode's owner (owner.cpp) holds the one Wishes under its lock
// and converges the machine to what wished_on says.
#pragma once
#include "pwr_enum/pwr_enum.h"

#include <windows.h>

namespace daemon_state {

enum class user_wish {
    none, // nothing of the user's holds: the listed programs decide
    on,   // the user's on: never undone by the follower
    off,  // the user's off (or a plan the user picked) while listed programs run: holds until they have all ended
};

struct Wishes {
    user_wish user = user_wish::none;
    DWORD user_generation = 0;  // the generation of the user's latest wish
    int followed = 0;           // listed programs running, as the follower last reported
    char program[MAX_PATH] = ""; // one of them, for the tray and the last-on record
    bool resync = false;        // synchronize again (resumes merged into one)
    bool plan_check = false;    // a power plan change seen from outside, still to be judged
    LONG plan_period = 0;       // the on-period it was seen in
    // A power plan Windows made active for someone else (the plan the notification named):
    // the user's pick, which stands. kind plan_none: none to take.
    power_plan picked = {};
    DWORD picked_generation = 0; // the wish that brought it
    // Whether a switch of ours may have overwritten it: one of our own plan switches ran at the
    // moment it came, or has begun since.
    bool picked_overwritable = false;
    bool give_back = false;     // the user's off: while off, give back what an earlier off could not
    bool ending = false;        // the exit: off, and the owner ends
};

// The user's on or off, as its generation-th wish.
void wish_user(Wishes& wishes, bool on, DWORD generation);
// The follower's report: running listed programs, one of them by name (null when none).
void wish_followed(Wishes& wishes, int running, const char* program);
// A power plan change judged the user's turned Gaming Mode off: it counts as the user's off.
void plan_taken_by_user(Wishes& wishes);
// Whether a user's wish of generation user_generation was made after the pass of generation
// pass_generation took its wishes: such a wish is newer than a power plan change that pass
// judged the user's, and stands against it. Generations wrap: they compare by distance.
bool wish_newer_than_pass(DWORD user_generation, DWORD pass_generation);
// Windows named plan as made active by someone else, as the generation-th wish: the owner
// judges it in its next pass (the latest pick replaces an earlier one not yet judged).
void wish_pick(Wishes& wishes, const power_plan& plan, DWORD generation);
// Whether Gaming Mode should be on.
bool wished_on(const Wishes& wishes);
// Whether Gaming Mode, when on, is on for the listed programs rather than by the user's wish:
// such an on is no start_mode of the user's, and the tray names the program.
bool on_for_listed(const Wishes& wishes);

} // namespace daemon_state
