// The two settings hooks, reached through the order the plug-in registered
// them in: the first refuses edit records without owner or change set, the
// second turns the switch on when a slider of this stage moves while it is off.
#include "case_name.h"
#include "loaded_plugin.h"
#include "oracle.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using testing_support::LoadedPlugin;

namespace {

constexpr const char* kOwnStage = "HueflarePlugin_pop";
constexpr const char* kEnabled = "vivanto_enabled";
constexpr const char* kRedGreen = "vivanto_rg";
constexpr const char* kBlueYellow = "vivanto_by";

enum class EditOwner { Own, OtherStage, None };

struct AboutToChangeCase {
    const char* name;
    EditOwner owner;
    bool withChangeSet;
    int expected;
};

class AboutToChange : public ::testing::TestWithParam<AboutToChangeCase> {};

TEST_P(AboutToChange, NeedsBothOwnerAndChangeSetAndCallsNothing)
{
    const AboutToChangeCase& c = GetParam();
    LoadedPlugin plugin;
    standin::Owner* owner = c.owner == EditOwner::None
        ? nullptr
        : plugin.host.owner(c.owner == EditOwner::Own ? kOwnStage : "SomeOtherStage");
    standin::ChangeSet* changes = c.withChangeSet ? plugin.host.changeSet({kRedGreen}) : nullptr;

    EXPECT_EQ(plugin.aboutToChange(plugin.host.edit(owner, changes)), c.expected);
    EXPECT_TRUE(plugin.host.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    SettingsHooks, AboutToChange,
    ::testing::Values(AboutToChangeCase{"OwnerAndChangeSet", EditOwner::Own, true, 0},
                      AboutToChangeCase{"OtherStageOwnerAndChangeSet", EditOwner::OtherStage, true,
                                        0},
                      AboutToChangeCase{"NoChangeSet", EditOwner::Own, false, -1},
                      AboutToChangeCase{"NoOwner", EditOwner::None, true, -1},
                      AboutToChangeCase{"Neither", EditOwner::None, false, -1}),
    testing_support::CaseName());

// The own-stage test, identical on every path that has an owner.
const std::vector<std::string> kOwnerCheck = {
    "newString()",
    "newString()",
    "setString(string1, \"HueflarePlugin_pop\")",
    "ownerName(owner1, string2)",
    "compareStrings(string2, string1)",
    "freeString(string1)",
    "freeString(string2)",
};

const std::string kAskSwitch = "changeSetHas(changes1, \"vivanto_enabled\")";
const std::string kAskBlueYellow = "changeSetHas(changes1, \"vivanto_by\")";
const std::string kAskRedGreen = "changeSetHas(changes1, \"vivanto_rg\")";
const std::string kFindSwitch = "findOption(settings, \"vivanto_enabled\")";
const std::string kReadSwitch = "boolValue(<vivanto_enabled>)";
const std::vector<std::string> kTurnOn = {kFindSwitch, "setBoolValue(<vivanto_enabled>, 1)",
                                          "changeSetAdd(changes1, <vivanto_enabled>)"};

struct DependencyCase {
    const char* name;
    EditOwner owner;
    std::optional<std::vector<std::string>> changedKeys; // nullopt: no change set
    int switchValue;                                     // -1: no switch option
    int expectedResult;
    std::vector<std::string> expectedCalls; // after the owner check
    bool switchTurnedOn;
};

std::vector<std::string> concat(std::vector<std::string> first,
                                const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class DoDependencies : public ::testing::TestWithParam<DependencyCase> {};

TEST_P(DoDependencies, TurnsTheSwitchOnOnlyForASliderMovedWhileOff)
{
    const DependencyCase& c = GetParam();
    LoadedPlugin plugin;
    if (c.switchValue < 0)
        plugin.host.removeOption(kEnabled);
    else
        plugin.host.setBool(kEnabled, c.switchValue != 0);
    standin::Owner* owner = c.owner == EditOwner::None
        ? nullptr
        : plugin.host.owner(c.owner == EditOwner::Own ? kOwnStage : "HueflarePlugin_po");
    standin::ChangeSet* changes = nullptr;
    if (c.changedKeys) {
        changes = plugin.host.changeSet({});
        changes->keys.insert(c.changedKeys->begin(), c.changedKeys->end());
    }

    EXPECT_EQ(plugin.doDependencies(plugin.host.edit(owner, changes)), c.expectedResult);

    std::vector<std::string> expectedCalls =
        c.owner == EditOwner::None ? c.expectedCalls : concat(kOwnerCheck, c.expectedCalls);
    EXPECT_EQ(plugin.host.calls(), expectedCalls);
    EXPECT_EQ(plugin.host.stringsLive(), 0) << "host strings leaked";
    EXPECT_EQ(plugin.host.stringsCreated(), c.owner == EditOwner::None ? 0 : 2);
    if (c.switchValue >= 0) {
        EXPECT_EQ(plugin.host.value(kEnabled), c.switchTurnedOn ? 1 : c.switchValue);
    }
    if (changes != nullptr) {
        EXPECT_EQ(changes->added,
                  c.switchTurnedOn ? std::vector<std::string>{kEnabled}
                                   : std::vector<std::string>{});
    }
    EXPECT_TRUE(plugin.host.violations().empty()) << plugin.host.violations().front();
    EXPECT_EQ(plugin.host.log().count("lockSettings"), 0u) << "settings hooks take no lock";
}

using Keys = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    SettingsHooks, DoDependencies,
    ::testing::Values(
        DependencyCase{
            "RedGreenMovedWhileOff", EditOwner::Own, Keys{kRedGreen}, 0, 0,
            concat({kAskSwitch, kFindSwitch, kReadSwitch, kAskBlueYellow, kAskRedGreen}, kTurnOn),
            true},
        DependencyCase{
            "BlueYellowMovedWhileOffNeverAsksRedGreen", EditOwner::Own, Keys{kBlueYellow}, 0, 0,
            concat({kAskSwitch, kFindSwitch, kReadSwitch, kAskBlueYellow}, kTurnOn), true},
        DependencyCase{"BothSlidersMovedWhileOff", EditOwner::Own, Keys{kRedGreen, kBlueYellow}, 0,
                       0, concat({kAskSwitch, kFindSwitch, kReadSwitch, kAskBlueYellow}, kTurnOn),
                       true},
        DependencyCase{"SwitchSetOffWithASlider",
                       EditOwner::Own,
                       Keys{kEnabled, kRedGreen},
                       0,
                       0,
                       {kAskSwitch},
                       false},
        DependencyCase{"SwitchSetOnWithASlider",
                       EditOwner::Own,
                       Keys{kEnabled, kBlueYellow},
                       1,
                       0,
                       {kAskSwitch},
                       false},
        DependencyCase{"SwitchAlreadyOn",
                       EditOwner::Own,
                       Keys{kRedGreen},
                       1,
                       0,
                       {kAskSwitch, kFindSwitch, kReadSwitch},
                       false},
        DependencyCase{"NothingRelevantChanged",
                       EditOwner::Own,
                       Keys{"another_plugin_key"},
                       0,
                       0,
                       {kAskSwitch, kFindSwitch, kReadSwitch, kAskBlueYellow, kAskRedGreen},
                       false},
        DependencyCase{"EmptyChangeSet",
                       EditOwner::Own,
                       Keys{},
                       0,
                       0,
                       {kAskSwitch, kFindSwitch, kReadSwitch, kAskBlueYellow, kAskRedGreen},
                       false},
        DependencyCase{"SwitchOptionMissing",
                       EditOwner::Own,
                       Keys{kRedGreen},
                       -1,
                       0,
                       {kAskSwitch, kFindSwitch},
                       false},
        DependencyCase{
            "AnotherStagesEdit", EditOwner::OtherStage, Keys{kRedGreen}, 0, 0, {}, false},
        DependencyCase{"NoOwnerIsRefusedWithoutMakingStrings",
                       EditOwner::None,
                       Keys{kRedGreen},
                       0,
                       -1,
                       {},
                       false},
        // A null change set would be handed straight to the host; the hook ends
        // quietly instead, after the same owner check.
        DependencyCase{
            "OwnEditWithoutChangeSetEndsQuietly", EditOwner::Own, std::nullopt, 0, 0, {}, false},
        DependencyCase{
            "OtherEditWithoutChangeSet", EditOwner::OtherStage, std::nullopt, 0, 0, {}, false}),
    testing_support::CaseName());

// The editor's typical event: the user drags "Pop the reds and greens" to 40
// while the switch is off; the edit turns the switch on, and the next render
// uses 40 and the untouched 35.
TEST(SettingsHooks, SliderEditWhileOffTurnsTheSwitchOnAndTheNextRenderUsesIt)
{
    LoadedPlugin plugin;
    auto& image = plugin.imageOf({40000, 20000}, {40000, 20000});
    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    ASSERT_EQ(image.at(0, 0, 1), 40000) << "the switch starts off";

    plugin.host.setInt(kRedGreen, 40);
    standin::ChangeSet* changes = plugin.host.changeSet({kRedGreen});
    OptionData edit = plugin.host.edit(plugin.host.owner(kOwnStage), changes);
    EXPECT_EQ(plugin.aboutToChange(edit), 0);
    EXPECT_EQ(plugin.doDependencies(edit), 0);
    EXPECT_EQ(plugin.host.value(kEnabled), 1);
    EXPECT_EQ(changes->keys, (std::set<std::string>{kEnabled, kRedGreen}));

    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    auto evaluation = oracle::builtEvaluation();
    EXPECT_EQ(image.at(0, 0, 1), oracle::sample(evaluation, 40000, 40));
    EXPECT_EQ(image.at(1, 0, 1), oracle::sample(evaluation, 20000, 40));
    EXPECT_EQ(image.at(0, 0, 2), 42532);
    EXPECT_EQ(image.at(1, 0, 2), 15532);
    EXPECT_EQ(image.at(0, 0, 1), 42893) << "32767 + 7233 x 1.4";
    EXPECT_TRUE(plugin.host.violations().empty());
}

} // namespace
