// The restore record as tables: which plan an on-period owes, and each field of the record
// stored and read back as its value says (the node mask bit by bit), under the settings key
// of this test's own prefix.
#include "journal/journal.h"
#include "common/handle.h"
#include "common/settings.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

power_plan guid_plan(const char* guid)
{
    power_plan p = {};
    p.kind = plan_guid;
    lstrcpynA(p.guid, guid, sizeof p.guid);
    return p;
}

power_plan index_plan(UINT index)
{
    power_plan p = {};
    p.kind = plan_index;
    p.index = index;
    return p;
}

const char users[] = "a1841308-3541-4fab-bc81-f71556f20b4a";   // power saver
const char ours[] = "8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c";    // high performance
const char picked[] = "381b4222-f694-41f0-9685-ff5bb260df2e";  // balanced

// A plan still owed stays owed while the plan Gaming Mode set is active; one the user picked
// since becomes the one owed.
TEST(JournalTable, AnOnOwesThePlanActiveAtItsStartUnlessAnEarlierDebtStillStands)
{
    struct Row {
        const char* what;
        power_plan owed, set, active;
        const char* owed_after; // the GUID, or "" for the index row
        UINT index_after;
    } rows[] = {
        {"nothing owed", {}, {}, guid_plan(users), users, 0},
        {"nothing owed, ours known", {}, guid_plan(ours), guid_plan(ours), ours, 0},
        {"owed, ours still active (a give-back failed)", guid_plan(users), guid_plan(ours), guid_plan(ours), users, 0},
        {"owed, ours unknown", guid_plan(users), {}, guid_plan(picked), users, 0},
        {"owed, the user picked another since", guid_plan(users), guid_plan(ours), guid_plan(picked), picked, 0},
        {"owed, the user picked the owed one again", guid_plan(users), guid_plan(ours), guid_plan(users), users, 0},
        {"XP: owed, ours still active", index_plan(2), index_plan(5), index_plan(5), "", 2},
        {"XP: owed, another picked", index_plan(2), index_plan(5), index_plan(3), "", 3},
    };
    for (const Row& r : rows) {
        restore_record record = {};
        record.open = 1;
        record.plan = r.owed;
        record.set_plan = r.set;
        journal_owe_plan(&record, r.active);
        if (*r.owed_after) {
            EXPECT_EQ(plan_guid, record.plan.kind) << r.what;
            EXPECT_STREQ(r.owed_after, record.plan.guid) << r.what;
        } else {
            EXPECT_EQ(plan_index, record.plan.kind) << r.what;
            EXPECT_EQ(r.index_after, record.plan.index) << r.what;
        }
    }
}

class JournalRecord : public ::testing::Test {
protected:
    void SetUp() override { forget(); }
    void TearDown() override { forget(); }
    static void forget() { testing_support::delete_tree(HKEY_CURRENT_USER, settings_key); }
    static bool stored(const char* name, DWORD* value = nullptr)
    {
        DWORD v = 0, size = sizeof v, type = 0;
        tk::unique_hkey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
        if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS)
            return false;
        if (value) *value = v;
        return true;
    }
    // A plan of the kind this Windows names.
    static power_plan plan_of_this_windows(int which)
    {
        return PowerPlanKind() == plan_index ? index_plan(static_cast<UINT>(which)) : guid_plan(which == 1 ? users : ours);
    }
};

TEST_F(JournalRecord, TheNodeMaskIsStoredAndReadBackBitForBit)
{
    for (DWORD mask : {0x0u, 0x1u, 0x2u, 0x5u, 0x80u, 0x80000000u, 0xFFFFFFFFu}) {
        restore_record written = {};
        written.open = 1;
        written.nb_nodes = mask;
        ASSERT_EQ(1, journal_write(&written));
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(stored("restore_nb_nodes", &value)) << std::hex << mask;
        EXPECT_EQ(mask, value) << std::hex << mask;
        restore_record read;
        memset(&read, 0xCC, sizeof read);
        journal_read(&read);
        EXPECT_EQ(1u, read.open) << std::hex << mask;
        EXPECT_EQ(mask, read.nb_nodes) << std::hex << mask;
    }
}

// The northbridge passes write the mask alone, into a record stored open already.
TEST_F(JournalRecord, TheNodePassesWriteTheMaskAloneAndOnlyIntoAnOpenRecord)
{
    restore_record record = {};
    record.nb_nodes = 0x3;
    EXPECT_EQ(0, journal_write_nodes(&record)) << "a closed record takes no node";
    EXPECT_FALSE(stored("restore_nb_nodes"));
    record.open = 1;
    record.plan = plan_of_this_windows(1);
    record.nb_nodes = 0;
    ASSERT_EQ(1, journal_write(&record));
    for (DWORD mask : {0x1u, 0x3u, 0x7u, 0x8000000Fu}) {
        record.nb_nodes = mask;
        ASSERT_EQ(1, journal_write_nodes(&record));
        restore_record read;
        journal_read(&read);
        EXPECT_EQ(mask, read.nb_nodes);
        EXPECT_EQ(record.plan.kind, read.plan.kind) << "the plan stays as it was written";
    }
}

TEST_F(JournalRecord, EveryFieldComesBackAndAClosedRecordLeavesNoValue)
{
    restore_record written = {};
    written.open = 1;
    written.plan = plan_of_this_windows(1);
    written.set_plan = plan_of_this_windows(2);
    written.temp_scheme = written.set_plan.kind == plan_index ? 1 : 0;
    written.nb_nodes = 0x6;
    ASSERT_EQ(1, journal_write(&written));
    restore_record read;
    journal_read(&read);
    EXPECT_EQ(1u, read.open);
    EXPECT_EQ(0x6u, read.nb_nodes);
    EXPECT_TRUE(SamePowerPlan(&written.plan, &read.plan));
    EXPECT_TRUE(SamePowerPlan(&written.set_plan, &read.set_plan));
    EXPECT_EQ(written.temp_scheme, read.temp_scheme);
    EXPECT_EQ(0u, read.unusable);

    restore_record closed = {};
    ASSERT_EQ(1, journal_write(&closed));
    for (const char* name : {"restore_pending", "restore_nb_nodes", "restore_scheme_index", "restore_scheme_guid",
                             "restore_set_index", "restore_set_guid", "restore_temp_scheme"})
        EXPECT_FALSE(stored(name)) << name;
    journal_read(&read);
    EXPECT_EQ(0u, read.open);
    EXPECT_EQ(0u, read.nb_nodes);
    EXPECT_EQ(plan_none, read.plan.kind);
}

TEST_F(JournalRecord, NodesLeftWithoutTheMarkAreNoDebt)
{
    // A mask without restore_pending (a removal cut short after the mark went) owes nothing.
    restore_record written = {};
    written.open = 1;
    written.nb_nodes = 0x3;
    ASSERT_EQ(1, journal_write(&written));
    tk::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_SET_VALUE, key.put()));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key.get(), "restore_pending"));
    restore_record read;
    journal_read(&read);
    EXPECT_EQ(0u, read.open);
    EXPECT_EQ(0u, read.nb_nodes);
}

} // namespace
