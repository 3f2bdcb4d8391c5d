// The PC's answer: one answer for each set of facts, what follows from it, its words, and the
// facts of simulated machines as the enumeration, the driver and the counters give them.
#include "daemon_fixture.h"
#include "answer/answer.h"
#include "notice/wording.h"

#include <set>
#include <string>

using namespace daemon_testing;

TEST(PcAnswer, EachSetOfFactsHasOneAnswerAndWhatFollowsFromIt)
{
    const driver_state absent = driver_state::absent, refusing = driver_state::refusing,
                       found = driver_state::found_bit_set, found_clear = driver_state::found_bit_clear;
    const struct {
        long cpus, nodes;
        driver_state driver;
        bool can_drift;
        const char* code;
        bool work, at_logon, wants_driver;
    } rows[] = {
        {0, 0, found, true, "single_processor", false, false, false}, // nothing counted
        {1, 1, found, true, "single_processor", false, false, false}, // a driver changes nothing
        {2, 1, absent, false, "one_node_steady", false, false, false}, // two: the first with work
        {2, 1, found, false, "one_node_steady", false, false, false},
        {2, 1, found, true, "one_node_held", true, true, false},
        {2, 1, found_clear, true, "one_node_held", true, true, false},
        {2, 1, absent, true, "one_node_needs_driver", true, false, true},
        {2, 1, refusing, true, "one_node_driver_refusing", true, false, true},
        {4, 2, found, false, "nodes_synced", true, true, false}, // two nodes: drift does not matter
        {4, 2, absent, false, "nodes_needs_driver", true, true, true},
        {4, 2, refusing, true, "nodes_driver_refusing", true, true, true},
    };
    for (const auto& row : rows) {
        const pc_answer answer = pc_answer_of({row.cpus, row.nodes, row.driver, row.can_drift});
        SCOPED_TRACE(row.code);
        EXPECT_STREQ(row.code, pc_answer_code(answer));
        EXPECT_EQ(row.work, pc_answer_has_work(answer));
        EXPECT_EQ(row.at_logon, pc_answer_runs_at_logon(answer));
        EXPECT_EQ(row.wants_driver, pc_answer_wants_driver(answer));
    }
}

// The setup reads the words as NSIS strings: no double quote, no dollar sign; each answer its
// own code and words; and drift held is never called "in step".
TEST(PcAnswer, EachAnswerHasItsOwnCodeAndWordsTheSetupCanRead)
{
    std::set<std::string> codes, words;
    for (int a = static_cast<int>(pc_answer::single_processor); a <= static_cast<int>(pc_answer::nodes_driver_refusing); ++a) {
        const pc_answer answer = static_cast<pc_answer>(a);
        const std::string said = pc_answer_words(answer);
        SCOPED_TRACE(said);
        EXPECT_TRUE(codes.insert(pc_answer_code(answer)).second);
        EXPECT_TRUE(words.insert(said).second);
        EXPECT_GT(said.size(), 40u);
        EXPECT_EQ(std::string::npos, said.find_first_of("\"$\n"));
        EXPECT_EQ(std::string::npos, said.find("in step"));
    }
    EXPECT_EQ(std::string::npos, std::string(start_advice("one node: drift compensation registered")).find("in step"));
}

class PcAnswerOnMachine : public DaemonOnMachine {
protected:
    std::string answer_on(const char* machine, bool driver_absent)
    {
        load(machine);
        sim_set_driver_absent(driver_absent);
        EXPECT_EQ(1, enumerate_cpus());
        const std::string code = pc_answer_code(pc_answer_of(pc_facts_now()));
        sim_set_driver_absent(false);
        return code;
    }
};

TEST_F(PcAnswerOnMachine, TheFactsOfEachSimulatedMachineGiveItsAnswer)
{
    EXPECT_EQ("single_processor", answer_on("single-cpu", false));
    EXPECT_EQ("one_node_held", answer_on("one-node", false));
    EXPECT_EQ("one_node_needs_driver", answer_on("one-node", true));
    EXPECT_EQ("one_node_steady", answer_on("one-node-invariant", false));
    EXPECT_EQ("one_node_steady", answer_on("one-node-invariant", true)) << "invariant: no driver needed to tell";
    EXPECT_EQ("nodes_synced", answer_on("two-node", false));
    EXPECT_EQ("nodes_needs_driver", answer_on("two-node", true));
}
