// The Windows Vista way: the powercfg tool, here our stand-in with its state in the registry.
// This executable runs as Windows Vista (version_main).
#include "pwr_enum/pwr_enum.h"
#include "saved_scheme.h"
#include "pwr_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

using namespace pwr_support;

namespace {

const std::string list = "-l";
const std::string to_high_performance = std::string("-s ") + high_performance;

std::string activate(const std::string& guid)
{
    return "-s " + guid;
}

class PwrEnumVista : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0x0600u, windows_version());
        reset_powercfg();
    }
    void TearDown() override { reset_powercfg(); }
};

TEST_F(PwrEnumVista, UsersPowerSaverIsRestoredAfterHighPerformance)
{
    // Power saver is the last scheme of the list, not the first.
    set_powercfg_active(power_saver);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(high_performance, powercfg_active());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(power_saver, powercfg_active());
    EXPECT_EQ((std::vector<std::string>{list, to_high_performance, activate(power_saver)}), powercfg_log());
}

TEST_F(PwrEnumVista, ListInAnotherLanguageStillRestoresTheActiveScheme)
{
    // French wording puts the GUID eighth on its line, and names have several words.
    const std::string quiet = "d2a1b3c4-5e6f-4a7b-8c9d-0e1f2a3b4c5d";
    set_powercfg_language("fr");
    set_powercfg_schemes({L"381b4222-f694-41f0-9685-ff5bb260df2e|Utilisation normale",
                          L"8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c|Performances \u00e9lev\u00e9es",
                          L"d2a1b3c4-5e6f-4a7b-8c9d-0e1f2a3b4c5d|Mode silencieux de l'utilisateur",
                          L"a1841308-3541-4fab-bc81-f71556f20b4a|\u00c9conomies d'\u00e9nergie"});
    set_powercfg_active(quiet);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(high_performance, powercfg_active());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(quiet, powercfg_active());
}

TEST_F(PwrEnumVista, ActiveLineLongerThanOneReadIsStillFound)
{
    // The line arrives in pieces of at most 1023 bytes: its GUID in the first, its mark in the last.
    const std::string wordy = "0f0e0d0c-0b0a-4908-8706-050403020100";
    set_powercfg_schemes({L"381b4222-f694-41f0-9685-ff5bb260df2e|Balanced",
                          L"0f0e0d0c-0b0a-4908-8706-050403020100|" + std::wstring(1500, L'w'),
                          L"8c5e7fda-e8bf-4a96-9a85-a6e23a8c635c|High performance"});
    set_powercfg_active(wordy);

    EXPECT_EQ(1, SetAlwaysOnPwerScheme());
    EXPECT_EQ(1, RestoreSavedPowerScheme());
    EXPECT_EQ(wordy, powercfg_active());
}

TEST_F(PwrEnumVista, PlanThatCannotBeReadIsNeverSwitchedAway)
{
    // The list marks no scheme active (the active one is not listed), then fails outright
    // (no output, exit code 1): each time the plan stays as it is and nothing is owed back.
    const std::string unlisted = "00000000-1111-2222-3333-444444444444";
    set_powercfg_active(unlisted);
    EXPECT_EQ(0, SetAlwaysOnPwerScheme());
    EXPECT_EQ(unlisted, powercfg_active());

    set_powercfg_active(power_saver);
    set_powercfg_list_fails(true);
    EXPECT_EQ(0, SetAlwaysOnPwerScheme());
    EXPECT_EQ(0, RestoreSavedPowerScheme());
    EXPECT_EQ(power_saver, powercfg_active());
    EXPECT_EQ((std::vector<std::string>{list, list}), powercfg_log());
}

TEST_F(PwrEnumVista, ToolIsJudgedByItsExitCode)
{
    set_powercfg_active(power_saver);
    set_powercfg_set_fails(true);
    EXPECT_EQ(0, SetAlwaysOnPwerScheme()) << "a switch that failed reported as done";
    EXPECT_EQ(0, RestoreSavedPowerScheme());
    power_plan plan = {plan_guid, 0, ""};
    memcpy(plan.guid, balanced, sizeof plan.guid);
    EXPECT_EQ(0, ActivatePowerScheme(&plan));
    set_powercfg_set_fails(false);
    EXPECT_EQ(1, ActivatePowerScheme(&plan));
    EXPECT_EQ(balanced, powercfg_active());
}

} // namespace

namespace {

// What the tests above rely on in the stand-in tool, as the Vista tool behaves.
TEST_F(PwrEnumVista, StandInListsEverySchemeAndMarksTheActiveOne)
{
    set_powercfg_active(high_performance);
    FILE* pipe = _popen("powercfg -list", "r");
    ASSERT_NE(nullptr, pipe);
    std::vector<std::string> lines;
    char line[1024];
    while (fgets(line, sizeof line, pipe)) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) lines.push_back(text);
    }
    EXPECT_EQ(0, _pclose(pipe));
    EXPECT_EQ((std::vector<std::string>{
                  "Existing Power Schemes (* Active)",
                  "-----------------------------------",
                  std::string("Power Scheme GUID: ") + balanced + "  (Balanced)",
                  std::string("Power Scheme GUID: ") + high_performance + "  (High performance) *",
                  std::string("Power Scheme GUID: ") + power_saver + "  (Power saver)",
              }),
              lines);
}

TEST_F(PwrEnumVista, StandInRefusesAnUnknownSchemeAndKeepsTheActiveOne)
{
    set_powercfg_active(power_saver);
    EXPECT_EQ(1, testing_support::run_process("powercfg -s 11111111-2222-3333-4444-555555555555"));
    EXPECT_EQ(1, testing_support::run_process("powercfg /s"));
    EXPECT_EQ(power_saver, powercfg_active());
    EXPECT_EQ(0, testing_support::run_process("powercfg /SETACTIVE 8C5E7FDA-E8BF-4A96-9A85-A6E23A8C635C"));
    EXPECT_EQ(high_performance, powercfg_active());
}

} // namespace
