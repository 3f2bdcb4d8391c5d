// Whose wish wins, as tables of the plain rules (no owner, no lock, no switch): the user's
// on and off against the listed programs, a plan pick against a newer wish, and how long a
// caller waits for its wish.
#include "daemon/wishes.h"
#include "common/switch_bounds.h"

#include <gtest/gtest.h>

using namespace daemon_state;

namespace {

const char* words(user_wish w) { return w == user_wish::on ? "on" : w == user_wish::off ? "off" : "none"; }

TEST(WishesTable, TheUsersChoiceFirstThenTheListedPrograms)
{
    // Each row: listed programs running, then what the user did, then the programs after.
    struct Row {
        const char* what;
        int running_before;
        int user; // 1 on, 0 off, -1 nothing
        int running_after;
        user_wish held;
        bool on;
        bool for_listed;
    } rows[] = {
        {"nothing at all", 0, -1, 0, user_wish::none, false, false},
        {"one listed program", 0, -1, 1, user_wish::none, true, true},
        {"a count below zero reads as none", 0, -1, -3, user_wish::none, false, false},
        {"the user's on", 0, 1, 0, user_wish::on, true, false},
        {"the user's on outlives the programs", 2, 1, 0, user_wish::on, true, false},
        {"the user's on while one runs is the user's", 1, 1, 1, user_wish::on, true, false},
        {"the user's off while one runs holds", 1, 0, 1, user_wish::off, false, true},
        {"the user's off while two run holds for the second", 2, 0, 1, user_wish::off, false, true},
        {"the user's off ends with the last program", 1, 0, 0, user_wish::none, false, false},
        {"an off with none running holds nothing", 0, 0, 1, user_wish::none, true, true},
    };
    for (const Row& r : rows) {
        Wishes w;
        wish_followed(w, r.running_before, r.running_before > 0 ? "game.exe" : nullptr);
        if (r.user >= 0) wish_user(w, r.user == 1, 7);
        wish_followed(w, r.running_after, r.running_after > 0 ? "game.exe" : nullptr);
        EXPECT_STREQ(words(r.held), words(w.user)) << r.what;
        EXPECT_EQ(r.on, wished_on(w)) << r.what;
        EXPECT_EQ(r.for_listed, on_for_listed(w)) << r.what;
        EXPECT_STREQ(r.running_after > 0 ? "game.exe" : "", w.program) << r.what;
        if (r.user >= 0) {
            EXPECT_EQ(7u, w.user_generation) << r.what;
        }
        EXPECT_EQ(r.user == 0, w.give_back) << r.what << ": only an off gives back";
    }
}

TEST(WishesTable, APlanPickedByTheUserIsTheUsersOff)
{
    struct Row {
        int running;
        int user; // before the pick: 1 on, 0 off, -1 nothing
        user_wish held;
        bool on;
    } rows[] = {
        {0, 1, user_wish::none, false}, {1, 1, user_wish::off, false}, {3, -1, user_wish::off, false},
        {0, -1, user_wish::none, false}, {2, 0, user_wish::off, false},
    };
    for (const Row& r : rows) {
        Wishes w;
        wish_followed(w, r.running, "game.exe");
        if (r.user >= 0) wish_user(w, r.user == 1, 1);
        plan_taken_by_user(w);
        EXPECT_STREQ(words(r.held), words(w.user)) << r.running << " running, user " << r.user;
        EXPECT_EQ(r.on, wished_on(w)) << r.running << " running, user " << r.user;
    }
}

TEST(WishesTable, TheEndWinsOverEveryWish)
{
    Wishes w;
    wish_user(w, true, 1);
    wish_followed(w, 4, "game.exe");
    w.ending = true;
    EXPECT_FALSE(wished_on(w));
}

// A pass of generation g took every wish up to g; a wish of the user's from g + 1 on came while
// it ran, after the plan change it judged, and stands against it.
TEST(WishesTable, AUsersWishMadeDuringThePassThatJudgedAPlanPickStandsAgainstIt)
{
    struct Row {
        DWORD user_generation, pass;
        bool stands;
    } rows[] = {
        {9, 10, false},          {10, 10, false}, // taken by the pass, before the pick was judged
        {11, 10, true},          {12, 10, true},  {1000, 10, true},
        {0xFFFFFFFFu, 0xFFFFFFFEu, true},         // generations wrap
        {1, 0xFFFFFFFFu, true},  {0xFFFFFFFFu, 0xFFFFFFFFu, false}, {0xFFFFFFFEu, 2, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.stands, wish_newer_than_pass(r.user_generation, r.pass))
            << "wish " << r.user_generation << ", pass " << r.pass;
}

TEST(WishesTable, ACallerWaitsForTwoPassesOfTwoSwitchesEach)
{
    struct Row {
        DWORD powercfg_ms, driver_ms;
        DWORD switch_ms, pass_ms, wish_ms;
    } rows[] = {
        {0, 0, 25000, 50000, 100000}, // the defaults: 4 runs of 5 s and the driver's 5 s
        {5000, 5000, 25000, 50000, 100000},
        {1000, 200, 4200, 8400, 16800},
        {50, 200, 400, 800, 1600},
        {1, 1, 5, 10, 20},
    };
    for (const Row& r : rows) {
        set_switch_bounds(r.powercfg_ms, r.driver_ms);
        EXPECT_EQ(r.switch_ms, switch_bound_ms()) << r.powercfg_ms << "/" << r.driver_ms;
        EXPECT_EQ(r.pass_ms, pass_bound_ms()) << r.powercfg_ms << "/" << r.driver_ms;
        EXPECT_EQ(r.wish_ms, wish_bound_ms()) << r.powercfg_ms << "/" << r.driver_ms;
    }
    set_switch_bounds(0, 0);
}

} // namespace
