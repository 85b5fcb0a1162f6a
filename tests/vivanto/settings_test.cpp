// Settings reach the stage as edits in the plug-in's panel would: each flag is
// one edit through the plug-in's settings hooks, so moving a slider while the
// switch is off turns it on, and the switch given after a slider wins.
#include "case_name.h"
#include "tool_support.h"

#include <gtest/gtest.h>

namespace {

using namespace tool_test;

struct SettingsCase {
    std::string name;
    std::vector<std::string> flags;
    double redGreenFactor;
    double blueYellowFactor;
};

void PrintTo(const SettingsCase& row, std::ostream* out)
{
    *out << row.name;
}

class Settings : public testing::TestWithParam<SettingsCase> {};

TEST_P(Settings, ScaleTheOpponentAxesByTheFactorsTheEditsLeave)
{
    const SettingsCase& c = GetParam();
    ScratchFolder in, out;
    PhotoRecipe recipe{Kind::Tiff, 16, false, false, false};
    std::string input = in / recipe.fileName();
    writePhoto(recipe, input);
    std::vector<std::string> arguments = c.flags;
    arguments.insert(arguments.end(), {input, "-o", out.path().string()});
    ToolRun run = runVivanto(arguments);
    ASSERT_EQ(run.status, 0) << run.err;

    auto before = patchLab(input), after = patchLab(out / recipe.fileName());
    for (std::size_t p = 0; p < std::size_t(kPatches); ++p) {
        SCOPED_TRACE("patch " + std::to_string(p));
        EXPECT_NEAR(after[p][0], before[p][0], 0.03);
        EXPECT_NEAR(after[p][1], c.redGreenFactor * before[p][1], 0.03);
        EXPECT_NEAR(after[p][2], c.blueYellowFactor * before[p][2], 0.03);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, Settings,
    testing::Values(
        SettingsCase{"defaults_switch_off", {}, 1.0, 1.0},
        SettingsCase{"slider_turns_switch_on", {"--rg", "40"}, 1.4, 1.35},
        SettingsCase{"other_slider_turns_it_on_too", {"--by", "-50"}, 1.15, 0.5},
        SettingsCase{"switch_off_after_slider_stays_off", {"--rg", "40", "--disable"}, 1.0, 1.0},
        SettingsCase{"slider_after_switch_off_turns_it_on", {"--disable", "--rg", "40"}, 1.4, 1.35},
        SettingsCase{"switch_alone_uses_default_sliders", {"--enable"}, 1.15, 1.35},
        SettingsCase{
            "generic_form", {"--set", "vivanto_by=10", "--set", "vivanto_rg=-100"}, 0.0, 1.1},
        SettingsCase{
            "generic_switch", {"--set", "vivanto_enabled=1", "--set", "vivanto_rg=0"}, 1.0, 1.35},
        SettingsCase{"sliders_at_zero", {"--rg", "0", "--by", "0"}, 1.0, 1.0}),
    testing_support::CaseName());

TEST(ListOptions, ShowsThePluginsOptionsWithKindsDefaultsAndTheValuesAfterTheEdits)
{
    ToolRun run = runVivanto({"--rg", "40", "--list-options"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.out.find("vivanto_enabled    switch          0        1  \"Enable vivanto plugin\""),
        std::string::npos)
        << run.out;
    EXPECT_NE(
        run.out.find("vivanto_rg         integer        15       40  \"Pop the reds and greens\""),
        std::string::npos);
    EXPECT_NE(run.out.find(
                  "vivanto_by         integer        35       35  \"Pop the blues and yellows.\""),
              std::string::npos);
}

struct RejectedCase {
    std::string name;
    std::vector<std::string> flags;
    std::string message;
};

void PrintTo(const RejectedCase& row, std::ostream* out)
{
    *out << row.name;
}

class RejectedSettings : public testing::TestWithParam<RejectedCase> {};

TEST_P(RejectedSettings, StopBeforeAnyFileWithOneClearLine)
{
    const RejectedCase& c = GetParam();
    ScratchFolder in, out;
    PhotoRecipe recipe{};
    writePhoto(recipe, in / recipe.fileName());
    std::vector<std::string> arguments = c.flags;
    arguments.insert(arguments.end(), {in / recipe.fileName(), "-o", out.path().string()});
    ToolRun run = runVivanto(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "vivanto: " + c.message + "\n");
    EXPECT_TRUE(snapshot(out.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RejectedSettings,
    testing::Values(
        RejectedCase{"unknown_key",
                     {"--set", "vivanto_red=3"},
                     "the plug-in defines no option \"vivanto_red\" (see --list-options)"},
        RejectedCase{"not_an_integer", {"--rg", "4.5"}, "--rg: \"4.5\" is not an integer"},
        RejectedCase{"empty_value", {"--set", "vivanto_by="}, "vivanto_by: \"\" is not an integer"},
        RejectedCase{"too_large",
                     {"--by", "99999999999"},
                     "--by: 99999999999 is out of range -2147483648..2147483647"},
        RejectedCase{"switch_not_0_or_1",
                     {"--set", "vivanto_enabled=2"},
                     "\"vivanto_enabled\" is a switch: give 0 (off) or 1 (on), not 2"},
        RejectedCase{
            "not_key_value", {"--set", "vivanto_rg"}, "--set: \"vivanto_rg\" is not KEY=VALUE"},
        RejectedCase{"unknown_flag", {"--pop"}, "unknown option --pop (see --help)"}),
    testing_support::CaseName());

} // namespace
