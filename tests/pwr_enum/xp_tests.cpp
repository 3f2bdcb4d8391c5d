// The Windows XP way: powrprof's scheme functions, here our stand-in DLL with the schemes in
// the registry where Windows XP keeps them. This executable runs as Windows XP (version_main).
#include "pwr_enum/pwr_enum.h"
#include "saved_scheme.h"
#include "pwr_support.h"

#include <gtest/gtest.h>
#include <powrprof.h>
#include <algorithm>
#include <stddef.h>
#include <string>
#include <vector>

using namespace pwr_support;

namespace {

const wchar_t temp_name[] = L"QEL Temporary Power Scheme";
const UCHAR none = PO_THROTTLE_NONE;
const UCHAR adaptive = PO_THROTTLE_ADAPTIVE;
const UCHAR degrade = PO_THROTTLE_DEGRADE;

std::string activate(UINT index, int result = 1)
{
    return "SetActivePwrScheme(" + std::to_string(index) + ") = " + std::to_string(result);
}

// The log lines written since a point in it.
std::vector<std::string> log_since(size_t start)
{
    std::vector<std::string> log = powrprof_log();
    return std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(std::min(start, log.size())),
                                    log.end());
}

class PwrEnumXp : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0x0501u, windows_version());
        reset_xp_store();
    }
    // Whatever a test leaves, the next program finds the schemes Windows XP installs.
    void TearDown() override
    {
        RestoreSavedPowerScheme();
        reset_xp_store();
    }
};

TEST_F(PwrEnumXp, InstalledSchemesSwitchToAlwaysOnAndBack)
{
    // No scheme store yet: the stand-in seeds XP's six schemes, "Home/Office Desk" active.
    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(3, active_index());
    EXPECT_EQ(L"Always On", scheme_name(3));
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(0, active_index());
    EXPECT_EQ((std::vector<UINT>{0, 1, 2, 3, 4, 5}), scheme_indexes());
    EXPECT_EQ((std::vector<std::string>{activate(3), activate(0)}), powrprof_log());
}

TEST_F(PwrEnumXp, AlwaysOnIsPreferredWhereverItStands)
{
    for (UINT position : {0u, 2u, 3u}) {
        SCOPED_TRACE("Always On at index " + std::to_string(position));
        make_empty_xp_store();
        for (UINT index = 0; index < 4; ++index)
            put_scheme(index, index == position ? L"Always On" : L"Quiet " + std::to_wstring(index), none, none);
        put_scheme(4, L"Max Battery", adaptive, degrade);
        set_active_index(4);

        EXPECT_EQ(1, SetAlwaysOnPwerScheme());
        EXPECT_EQ(static_cast<int>(position), active_index());
        EXPECT_EQ(1, RestoreSavedPowerScheme());
        EXPECT_EQ(4, active_index());
        EXPECT_EQ((std::vector<std::string>{activate(position), activate(4)}), powrprof_log());
    }
}

TEST_F(PwrEnumXp, AlwaysOnThatThrottlesOnEitherPowerIsPassedOver)
{
    const UCHAR throttles[][2] = {{none, adaptive}, {adaptive, none}};
    for (const auto& t : throttles) {
        SCOPED_TRACE("Always On throttling ac " + std::to_string(t[0]) + ", dc " + std::to_string(t[1]));
        make_empty_xp_store();
        put_scheme(0, L"Home/Office Desk", none, adaptive);
        put_scheme(1, L"Desk", none, none);
        put_scheme(2, L"Always On", t[0], t[1]);
        put_scheme(3, L"Later", none, none);
        put_scheme(4, L"Laptop", adaptive, adaptive);
        set_active_index(0);

        EXPECT_EQ(1, SetAlwaysOnPwerScheme());
        EXPECT_EQ(3, active_index());
        EXPECT_EQ(1, RestoreSavedPowerScheme());
        EXPECT_EQ(0, active_index());
    }
}

TEST_F(PwrEnumXp, NameDifferingInCaseIsNotPreferredAndTheLastNonThrottlingSchemeWins)
{
    make_empty_xp_store();
    put_scheme(0, L"always on", none, none);
    put_scheme(1, L"Home", adaptive, adaptive);
    put_scheme(2, L"ALWAYS ON", none, none);
    put_scheme(3, L"Desk", none, none);
    put_scheme(4, L"Laptop", adaptive, degrade);
    put_scheme(5, L"Always On ", none, none);
    put_scheme(6, L"Presentation", none, degrade);
    set_active_index(1);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(5, active_index());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(1, active_index());
    EXPECT_EQ((std::vector<UINT>{0, 1, 2, 3, 4, 5, 6}), scheme_indexes());
}

TEST_F(PwrEnumXp, EveryThrottlingSchemeGetsATemporarySchemeOneAboveTheLargestIndex)
{
    make_empty_xp_store();
    // The registry sorts key names as text, so the stand-in reports 10 before 2 and 7.
    put_scheme(2, L"Home/Office Desk", none, adaptive);
    put_scheme(7, L"Presentation", adaptive, none);
    put_scheme(10, L"Portable/Laptop", adaptive, adaptive);
    // Left from switches whose restore never ran; the one at 11 is the largest index.
    put_scheme(4, temp_name, adaptive, adaptive);
    put_scheme(11, temp_name, adaptive, degrade);
    set_active_index(7);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ((std::vector<UINT>{2, 7, 10, 11}), scheme_indexes());
    EXPECT_EQ(temp_name, scheme_name(11));
    EXPECT_EQ(11, active_index());
    std::vector<unsigned char> user = binary_value(HKEY_CURRENT_USER, std::string(user_policies) + "\\11", "Policies");
    ASSERT_EQ(sizeof(USER_POWER_POLICY), user.size());
    EXPECT_EQ(none, user[offsetof(USER_POWER_POLICY, ThrottlePolicyAc)]);
    EXPECT_EQ(none, user[offsetof(USER_POWER_POLICY, ThrottlePolicyDc)]);
    EXPECT_EQ((std::vector<std::string>{"WritePwrScheme(11) = 1", "WriteProcessorPwrScheme(11) = 1", activate(11)}),
              powrprof_log());

    size_t before_restore = powrprof_log().size();
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(7, active_index());
    EXPECT_EQ((std::vector<UINT>{2, 7, 10}), scheme_indexes());
    // The temporary scheme goes only once it is no longer the active one.
    EXPECT_EQ((std::vector<std::string>{activate(7), "DeletePwrScheme(11) = 1"}), log_since(before_restore));
    EXPECT_TRUE(binary_value(HKEY_LOCAL_MACHINE, std::string(processor_policies) + "\\11", "Policies").empty());

    size_t after_restore = powrprof_log().size();
    EXPECT_EQ(0, RestoreSavedPowerScheme());
    EXPECT_TRUE(log_since(after_restore).empty());
}

// The bytes the temporary scheme is written with, as the scheme store keeps them.
class TemplateBytes {
public:
    explicit TemplateBytes(size_t size) : bytes_(size, 0) {}
    TemplateBytes& u8(size_t offset, unsigned char value)
    {
        bytes_.at(offset) = value;
        return *this;
    }
    TemplateBytes& u32(size_t offset, unsigned long value)
    {
        for (int i = 0; i < 4; ++i) bytes_.at(offset + i) = static_cast<unsigned char>(value >> (8 * i));
        return *this;
    }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

TEST_F(PwrEnumXp, TemporarySchemeIsWrittenFromTheTemplatesByteForByte)
{
    make_empty_xp_store();
    put_scheme(0, L"Portable/Laptop", adaptive, adaptive);
    set_active_index(0);
    ASSERT_EQ(1, SetAlwaysOnPwerScheme());
    ASSERT_EQ(1, active_index());

    // USER_POWER_POLICY: 80 bytes, with the two alignment bytes after ForcedThrottleDc.
    TemplateBytes user(80);
    user.u32(0, 1)                                      // Revision
        .u32(4, 0).u32(8, 0x00000001).u32(12, 0)        // IdleAc: none, query allowed
        .u32(16, 0).u32(20, 0).u32(24, 0)               // IdleDc
        .u32(28, 0).u32(32, 0)                          // IdleTimeoutAc, Dc
        .u8(36, 50).u8(37, 50)                          // IdleSensitivityAc, Dc
        .u8(38, 0).u8(39, 0)                            // ThrottlePolicyAc, Dc
        .u32(40, 4).u32(44, 4)                          // MaxSleepAc, Dc: S3
        .u32(48, 0x773D0000).u32(52, 0x0007F22E)        // Reserved[0], [1]
        .u32(56, 1200).u32(60, 900)                     // VideoTimeoutAc, Dc
        .u32(64, 0).u32(68, 1800)                       // SpindownTimeoutAc, Dc
        .u8(72, 0).u8(73, 0)                            // OptimizeForPowerAc, Dc
        .u8(74, 100).u8(75, 100)                        // FanThrottleToleranceAc, Dc
        .u8(76, 100).u8(77, 100)                        // ForcedThrottleAc, Dc
        .u8(78, 0x91).u8(79, 0x7C);                     // alignment
    EXPECT_EQ(user.bytes(), binary_value(HKEY_CURRENT_USER, std::string(user_policies) + "\\1", "Policies"));

    // MACHINE_POWER_POLICY: 64 bytes.
    TemplateBytes machine(64);
    machine.u32(0, 1)                                   // Revision
        .u32(4, 4).u32(8, 4)                            // MinSleepAc, Dc
        .u32(12, 4).u32(16, 4)                          // ReducedLatencySleepAc, Dc
        .u32(20, 0).u32(24, 0).u32(28, 0).u32(32, 0)    // DozeTimeout, DozeS4Timeout
        .u8(36, 0).u8(37, 0)                            // MinThrottleAc, Dc
        .u8(38, 0x07).u8(39, 0x00)                      // pad1
        .u32(40, 2).u32(44, 0xC0000004).u32(48, 0)      // OverThrottledAc: sleep, critical
        .u32(52, 2).u32(56, 0xC0000004).u32(60, 0);     // OverThrottledDc
    EXPECT_EQ(machine.bytes(), binary_value(HKEY_LOCAL_MACHINE, std::string(machine_policies) + "\\1", "Policies"));

    // MACHINE_PROCESSOR_POWER_POLICY: 156 bytes; each side 76 bytes, each state 20.
    TemplateBytes processor(156);
    processor.u32(0, 1);
    const unsigned char percents[2][3][2] = {{{40, 50}, {40, 60}, {40, 80}}, {{10, 20}, {20, 40}, {20, 80}}};
    const unsigned long flags[3] = {2, 3, 1}; // AllowDemotion bit 0, AllowPromotion bit 1
    for (size_t side = 0; side < 2; ++side) {
        size_t base = 4 + 76 * side;
        processor.u32(base, 1).u8(base + 4, 0).u32(base + 8, 0).u32(base + 12, 3);
        for (size_t state = 0; state < 3; ++state) {
            size_t at = base + 16 + 20 * state;
            processor.u32(at, 100000).u32(at + 4, 100000).u32(at + 8, 100000)
                .u8(at + 12, percents[side][state][0]).u8(at + 13, percents[side][state][1])
                .u32(at + 16, flags[state]);
        }
    }
    EXPECT_EQ(processor.bytes(),
              binary_value(HKEY_LOCAL_MACHINE, std::string(processor_policies) + "\\1", "Policies"));

    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(0, active_index());
}

TEST_F(PwrEnumXp, NoSchemeAtAllGetsTheTemporarySchemeAtIndexZero)
{
    make_empty_xp_store();
    set_active_index(0); // names no scheme, but can be read
    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(std::vector<UINT>{0}, scheme_indexes());
    EXPECT_EQ(temp_name, scheme_name(0));
    EXPECT_EQ(0, active_index());

    // The active index named no scheme, so the restore activates index 0, the temporary
    // scheme itself, which then cannot be deleted: the active scheme stays.
    size_t before_restore = powrprof_log().size();
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ((std::vector<std::string>{activate(0), "DeletePwrScheme(0) = 0"}), log_since(before_restore));
    EXPECT_EQ(0, RestoreSavedPowerScheme());
}

TEST_F(PwrEnumXp, ActiveSchemeThatCannotBeReadIsNeverSwitchedAway)
{
    make_empty_xp_store();
    put_scheme(0, L"Portable/Laptop", adaptive, adaptive); // no active index at all
    EXPECT_EQ(0, SetAlwaysOnPwerScheme());
    EXPECT_EQ(0, RestoreSavedPowerScheme());
    EXPECT_TRUE(powrprof_log().empty()) << "a scheme was written or activated";
}

TEST_F(PwrEnumXp, ActiveNonThrottlingSchemeIsActivatedAgainAndNothingIsDeleted)
{
    make_empty_xp_store();
    put_scheme(0, L"Home/Office Desk", adaptive, adaptive);
    put_scheme(1, L"Always On", none, none);
    set_active_index(1);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(1, active_index());
    EXPECT_EQ((std::vector<std::string>{activate(1), activate(1)}), powrprof_log());
    EXPECT_EQ((std::vector<UINT>{0, 1}), scheme_indexes());
}

TEST_F(PwrEnumXp, LeftoverNonThrottlingTemporarySchemeIsUsedAndKept)
{
    make_empty_xp_store();
    put_scheme(0, L"Home/Office Desk", none, adaptive);
    put_scheme(3, temp_name, none, none);
    set_active_index(0);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(3, active_index());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(0, active_index());
    // It was not written by this switch, so this restore does not delete it.
    EXPECT_EQ((std::vector<std::string>{activate(3), activate(0)}), powrprof_log());
    EXPECT_EQ((std::vector<UINT>{0, 3}), scheme_indexes());
}

TEST_F(PwrEnumXp, RestoreWithoutASwitchDoesNothing)
{
    make_empty_xp_store();
    put_scheme(0, L"Always On", none, none);
    put_scheme(1, L"Max Battery", adaptive, degrade);
    set_active_index(1);
    ASSERT_EQ(1, SetAlwaysOnPwerScheme());
    ASSERT_EQ(1, RestoreSavedPowerScheme());
    size_t after_pair = powrprof_log().size();

    EXPECT_EQ(0, RestoreSavedPowerScheme());
    EXPECT_EQ(1, active_index());
    EXPECT_TRUE(log_since(after_pair).empty());
}

TEST_F(PwrEnumXp, SwitchThatFindsNoSchemeLeavesNothingToRestore)
{
    make_empty_xp_store();
    put_scheme(0, L"Portable/Laptop", adaptive, adaptive);
    set_active_index(0);
    set_powrprof_write_fails(true);

    EXPECT_EQ(0, SetAlwaysOnPwerScheme());
    EXPECT_EQ(0, active_index());
    EXPECT_EQ(0, RestoreSavedPowerScheme());
    EXPECT_EQ((std::vector<std::string>{"WritePwrScheme(1) = 0", "WriteProcessorPwrScheme(1) = 0"}), powrprof_log());
    EXPECT_EQ(std::vector<UINT>{0}, scheme_indexes());
}

} // namespace

namespace {

// What the tests above rely on in the stand-in DLL, as Windows XP behaves.
TEST_F(PwrEnumXp, StandInRefusesTheActiveSchemeForDeletionAndAMissingOneForActivation)
{
    make_empty_xp_store();
    put_scheme(0, L"Home/Office Desk", none, adaptive);
    put_scheme(1, L"Always On", none, none);
    set_active_index(0);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeletePwrScheme(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetActivePwrScheme(7, nullptr, nullptr));
    EXPECT_NE(0xdeadbeef, GetLastError());
    EXPECT_EQ(0, active_index());
    EXPECT_EQ((std::vector<UINT>{0, 1}), scheme_indexes());

    UINT active = 0xdeadbeef;
    ASSERT_TRUE(SetActivePwrScheme(1, nullptr, nullptr));
    ASSERT_TRUE(GetActivePwrScheme(&active));
    EXPECT_EQ(1u, active);
    EXPECT_TRUE(DeletePwrScheme(0));
    EXPECT_EQ(std::vector<UINT>{1}, scheme_indexes());
}

TEST_F(PwrEnumXp, StandInWritesANewSchemeAboveTheLargestIndex)
{
    make_empty_xp_store();
    put_scheme(9, L"Portable/Laptop", adaptive, adaptive);
    put_scheme(3, L"Home/Office Desk", none, adaptive);
    POWER_POLICY policy = {};
    policy.user.Revision = policy.mach.Revision = 1;
    wchar_t name[] = L"Quiet";
    UINT index = NEWSCHEME;
    ASSERT_TRUE(WritePwrScheme(&index, reinterpret_cast<LPTSTR>(name), reinterpret_cast<LPTSTR>(name), &policy));
    EXPECT_EQ(10u, index);
    EXPECT_EQ(L"Quiet", scheme_name(10));
}

} // namespace
