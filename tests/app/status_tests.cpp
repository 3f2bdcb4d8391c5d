// The status window's words and the tooltip's answer: what the user gains or must do first,
// the figures after, and a next step that follows what the last check and the notices say.
#include "app/status_words.h"
#include "app/tray_words.h"
#include "notice/notice.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

using namespace app;

namespace {

status_facts on_with_check(bool in_step, double offset_ns, double uncertainty_ns)
{
    status_facts facts = {};
    facts.answer = pc_answer::nodes_synced;
    facts.driver = driver_state::found_bit_set;
    facts.game_mode_on = 1;
    facts.followed = "";
    facts.on_recorded = true;
    lstrcpynA(facts.on.plan, "switched to a plan that does not throttle the processor", sizeof facts.on.plan);
    facts.on.checked = 1;
    facts.on.in_step = in_step;
    facts.on.cpu = 3;
    facts.on.offset_ns = static_cast<DWORD>(offset_ns);
    facts.on.uncertainty_ns = static_cast<DWORD>(uncertainty_ns);
    facts.on.bound_ns = static_cast<DWORD>(offset_ns + uncertainty_ns);
    return facts;
}

std::string text_of(const status_facts& facts)
{
    static char text[4096];
    status_text(facts, text, sizeof text);
    return text;
}

} // namespace

TEST(StatusWords, ThePcsAnswerComesFirstAndTheFiguresAfterWithTheirUncertainty)
{
    const std::string text = text_of(on_with_check(true, 700, 150));
    EXPECT_EQ(0u, text.find(pc_answer_words(pc_answer::nodes_synced))) << text;
    EXPECT_NE(std::string::npos, text.find("TSC driver: installed and answering.")) << text;
    // The bound rounded up to the tenth of a microsecond, as the tooltip says it.
    EXPECT_NE(std::string::npos, text.find("- clocks after the sync: within 0.9 \xC2\xB5s (the widest, processor 3: "
                                           "700 ns \xC2\xB1 150 ns)"))
        << text;
    EXPECT_NE(std::string::npos, text.find("- left out: nothing")) << text;
    EXPECT_GT(text.find("Next: Nothing"), text.find("- left out")) << text;
}

// The first that holds: the driver the answer lacks, a notice, the clocks apart or too loosely
// measured (just now before the last on), Gaming Mode off, else nothing.
TEST(StatusWords, TheNextStepFollowsWhatHoldsNow)
{
    status_facts facts = on_with_check(true, 700, 1000); // within the tolerance: a verdict
    EXPECT_STREQ("Nothing: Gaming Mode does all it can on this PC.", status_next_step(facts));
    facts.game_mode_on = 0;
    EXPECT_EQ(0, strncmp("Switch Gaming Mode on", status_next_step(facts), 21));
    facts = on_with_check(true, 700, 1001); // one nanosecond looser: cannot tell
    EXPECT_EQ(0, strncmp("Click Measure again", status_next_step(facts), 19));
    EXPECT_NE(std::string::npos, text_of(facts).find("not measured closely enough to tell")) << text_of(facts);
    facts.measured = true; // measured again just now, and close: that counts, not the last on
    facts.measured_now = {true, "", true, 1, 0, 1, 40, 60, 100, 0};
    EXPECT_STREQ("Nothing: Gaming Mode does all it can on this PC.", status_next_step(facts));
    EXPECT_NE(std::string::npos, text_of(facts).find("Measured just now: clocks within 0.1 \xC2\xB5s"));
    facts.measured_now.in_step = false;
    facts.measured_now.offset_ns = 1.5e6;
    EXPECT_EQ(0, strncmp("Switch Gaming Mode off and on again", status_next_step(facts), 35));
    EXPECT_NE(std::string::npos, text_of(facts).find("clocks 1.5 ms apart (furthest out, processor 1"));

    facts.notices = 1u << NOTICE_SYNC_APART;
    notice_raise(NOTICE_SYNC_APART, "processor 1 (node 0, core 1) 1.5 ms");
    EXPECT_EQ(0, strncmp("The TSC sync left processor 1", status_next_step(facts), 29)) << status_next_step(facts);
    EXPECT_NE(std::string::npos, text_of(facts).find("- left out: TSC sync did not hold")) << text_of(facts);
    notice_clear(NOTICE_SYNC_APART);
    facts.answer = pc_answer::nodes_needs_driver;
    EXPECT_EQ(0, strncmp("Add the TSC driver: run the setup again (Change", status_next_step(facts), 47));
    facts.answer = pc_answer::nodes_driver_refusing;
    EXPECT_EQ(0, strncmp("Update or reinstall the TSC driver", status_next_step(facts), 34));
}

TEST(StatusWords, NoLastOnRecordedSaysSo)
{
    status_facts facts = {};
    facts.answer = pc_answer::nodes_synced;
    facts.followed = "";
    EXPECT_NE(std::string::npos, text_of(facts).find("Last Gaming Mode on: none recorded yet.")) << text_of(facts);
}

// The tooltip says what the PC lacks once: from the answer, unless a notice says it already.
TEST(TrayTip, ThePcsAnswerIsSaidOnceWhereItLacksTheDriver)
{
    char tip[128];
    set_tray_answer_brief(pc_answer_brief(pc_answer::nodes_needs_driver));
    format_tray_tip(tip, sizeof tip, 0, 0);
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off\nno TSC driver: power plan only", tip);
    format_tray_tip(tip, sizeof tip, 1, 1u << NOTICE_DRIVER_ABSENT);
    EXPECT_STREQ("QEL Pacemill: Gaming Mode on\nno TSC driver", tip);
    set_tray_answer_brief(pc_answer_brief(pc_answer::nodes_synced));
    format_tray_tip(tip, sizeof tip, 0, 0);
    EXPECT_STREQ("QEL Pacemill: Gaming Mode off", tip);
    set_tray_answer_brief("");
}
