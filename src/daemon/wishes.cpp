// The rules of whose Gaming Mode it is. The user's choice comes first: an on of the user's is
// never undone by the listed programs ending, also when it came while one ran; an off of the
// user's, or a power plan the user picked, while listed programs run holds until they have all
// ended; with nothing of the user's holding, Gaming Mode is on while a listed program runs.
#include "daemon/wishes.h"

namespace daemon_state {

void wish_user(Wishes& wishes, bool on, DWORD generation)
{
    wishes.user_generation = generation;
    if (on) {
        wishes.user = user_wish::on;
        return;
    }
    // An off with nothing listed running holds nothing: a program started later is followed.
    wishes.user = wishes.followed > 0 ? user_wish::off : user_wish::none;
    wishes.give_back = true;
}

void wish_followed(Wishes& wishes, int running, const char* program)
{
    wishes.followed = running > 0 ? running : 0;
    lstrcpynA(wishes.program, wishes.followed && program ? program : "", sizeof wishes.program);
    if (wishes.followed == 0 && wishes.user == user_wish::off) wishes.user = user_wish::none;
}

void plan_taken_by_user(Wishes& wishes)
{
    wishes.user = wishes.followed > 0 ? user_wish::off : user_wish::none;
}

bool wish_newer_than_pass(DWORD user_generation, DWORD pass_generation)
{
    return static_cast<LONG>(user_generation - (pass_generation + 1)) >= 0;
}

void wish_pick(Wishes& wishes, const power_plan& plan, DWORD generation)
{
    wishes.picked = plan;
    wishes.picked_generation = generation;
}

bool wished_on(const Wishes& wishes)
{
    if (wishes.ending) return false;
    return wishes.user == user_wish::on || (wishes.user == user_wish::none && wishes.followed > 0);
}

bool on_for_listed(const Wishes& wishes)
{
    return wishes.user != user_wish::on && wishes.followed > 0;
}

} // namespace daemon_state
