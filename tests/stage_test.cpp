// The processing stage through the hook the plug-in registered: its results
// on chosen samples, what it does with each kind of pipe, the exact order of
// its host calls, cancellation, and which samples it may touch.
#include "case_name.h"
#include "loaded_plugin.h"
#include "oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>
#include <vector>

using testing_support::LoadedPlugin;

namespace {

constexpr const char* kEnabled = "vivanto_enabled";
constexpr const char* kRedGreen = "vivanto_rg";
constexpr const char* kBlueYellow = "vivanto_by";

struct SampleCase {
    const char* name;
    int32_t redGreenSlider;
    int32_t blueYellowSlider;
    uint16_t in;
    uint16_t redGreenOut;
    uint16_t blueYellowOut;
};

// These hold under both evaluations.
const SampleCase kSampleCases[] = {
    {"both sliders at 0 keep 40000", 0, 0, 40000, 40000, 40000},
    {"both sliders at 0 keep 0", 0, 0, 0, 0, 0},
    {"both sliders at 0 keep 65535", 0, 0, 65535, 65535, 65535},
    {"-100 flattens 12345 to neutral", -100, -100, 12345, 32767, 32767},
    {"-100 flattens 65535 to neutral", -100, -100, 65535, 32767, 32767},
    {"below -100 clamps to -100", -101, -5000, 0, 32767, 32767},
    {"INT_MIN clamps to -100", INT32_MIN, INT32_MIN, 65535, 32767, 32767},
    {"neutral stays neutral at factor 7", 600, 600, 32767, 32767, 32767},
    {"neutral stays neutral at factor 0.5", -50, -50, 32767, 32767, 32767},
    {"neutral stays neutral at the defaults", 15, 35, 32767, 32767, 32767},
    {"neutral stays neutral at INT_MAX", INT32_MAX, INT32_MAX, 32767, 32767, 32767},
    {"factor 7 clips 0", 600, 600, 0, 0, 0},
    {"factor 7 clips 20000", 600, 600, 20000, 0, 0},
    {"factor 7 maps 32766 to 32760", 600, 600, 32766, 32760, 32760},
    {"factor 7 maps 32768 to 32774", 600, 600, 32768, 32774, 32774},
    {"factor 7 clips 40000", 600, 600, 40000, 65535, 65535},
    {"factor 7 keeps 65535", 600, 600, 65535, 65535, 65535},
    {"above 600 clamps to 600", 601, 100000, 32766, 32760, 32760},
    {"INT_MAX clamps to 600", INT32_MAX, INT32_MAX, 32768, 32774, 32774},
    {"defaults push 40000 out", 15, 35, 40000, 41085, 42532},
    {"defaults push 20000 out", 15, 35, 20000, 18085, 15532},
    {"-50 rounds 16383.5 up", -50, -50, 0, 16384, 16384},
    {"-50 maps 65535 to 49151", -50, -50, 65535, 49151, 49151},
};

class SampleValues : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SampleValues, ScaleBothChannelsToKnownValuesAndKeepLightness)
{
    const SampleCase& c = GetParam();
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    plugin.host.setInt(kRedGreen, c.redGreenSlider);
    plugin.host.setInt(kBlueYellow, c.blueYellowSlider);
    auto& image = plugin.imageOf({c.in}, {c.in});

    EXPECT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    EXPECT_EQ(image.at(0, 0, 1), c.redGreenOut);
    EXPECT_EQ(image.at(0, 0, 2), c.blueYellowOut);
    EXPECT_EQ(image.at(0, 0, 0), 1234);
    // The table's figures are the oracle's too: it is checked on them here.
    auto evaluation = oracle::builtEvaluation();
    EXPECT_EQ(oracle::sample(evaluation, c.in, c.redGreenSlider), c.redGreenOut);
    EXPECT_EQ(oracle::sample(evaluation, c.in, c.blueYellowSlider), c.blueYellowOut);
}

INSTANTIATE_TEST_SUITE_P(Stage, SampleValues, ::testing::ValuesIn(kSampleCases),
                         testing_support::CaseName());

TEST(Stage, MissingSlidersCountAsTheirDefaults)
{
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    plugin.host.removeOption(kRedGreen);
    plugin.host.removeOption(kBlueYellow);
    auto& image = plugin.imageOf({40000, 20000}, {40000, 20000});

    EXPECT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    EXPECT_EQ(image.at(0, 0, 1), 41085);
    EXPECT_EQ(image.at(1, 0, 1), 18085);
    EXPECT_EQ(image.at(0, 0, 2), 42532);
    EXPECT_EQ(image.at(1, 0, 2), 15532);
}

// --- what each kind of pipe gets, and the host calls it costs ---------------

const std::vector<std::string> kSwitchRead = {
    "lockSettings(settings, 0)",
    "findOption(settings, \"vivanto_enabled\")",
    "boolValue(<vivanto_enabled>)",
    "unlockSettings(settings, 0)",
};

struct PipeCase {
    const char* name;
    int switchValue; // -1: no switch option at all
    bool withImage;
    int32_t kind;
    int expectedResult;
    std::vector<std::string> expectedCalls;
};

std::vector<std::string> switchReadThen(std::vector<std::string> more)
{
    std::vector<std::string> calls = kSwitchRead;
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

class Pipes : public ::testing::TestWithParam<PipeCase> {};

TEST_P(Pipes, AnswerAndMakeExactlyTheExpectedHostCalls)
{
    const PipeCase& c = GetParam();
    LoadedPlugin plugin;
    if (c.switchValue < 0)
        plugin.host.removeOption(kEnabled);
    else
        plugin.host.setInt(kEnabled, c.switchValue);
    auto& image = plugin.host.addImage({.width = 3, .height = 2, .border = 1, .kind = c.kind});
    image.fill([](int32_t x, int32_t y, int32_t ch) {
        return static_cast<uint16_t>(1000 * ch + 10 * y + x + 5);
    });
    std::vector<uint16_t> before = image.samples();

    EXPECT_EQ(plugin.process(plugin.host.pipe(c.withImage ? &image : nullptr)), c.expectedResult);
    EXPECT_EQ(plugin.host.calls(), c.expectedCalls);
    EXPECT_EQ(image.samples(), before);
    EXPECT_TRUE(plugin.host.violations().empty());
}

const std::vector<std::string> kSwitchMissing = {
    "lockSettings(settings, 0)",
    "findOption(settings, \"vivanto_enabled\")",
    "unlockSettings(settings, 0)",
};

INSTANTIATE_TEST_SUITE_P(
    Stage, Pipes,
    ::testing::Values(PipeCase{"SwitchOff", 0, true, 3, 0, kSwitchRead},
                      PipeCase{"SwitchOffWithoutImage", 0, false, 3, 0, kSwitchRead},
                      PipeCase{"SwitchMissing", -1, true, 3, 0, kSwitchMissing},
                      PipeCase{"SwitchOnWithoutImage", 1, false, 3, -1, kSwitchRead},
                      PipeCase{"AnyNonzeroSwitchIsOnFormat2Refused", 2, true, 2, -1,
                               switchReadThen({"imageKind(image1)"})},
                      PipeCase{"SwitchOnFormat0Refused", 1, true, 0, -1,
                               switchReadThen({"imageKind(image1)"})}),
    testing_support::CaseName());

TEST(Stage, ReadsSettingsOnlyInsideTwoLockBracketsThenFetchesEachRowOnce)
{
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    auto& image = plugin.host.addImage({.width = 2, .height = 3, .border = 1});

    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    EXPECT_EQ(plugin.host.calls(),
              switchReadThen({
                  "imageKind(image1)",
                  "imageWidth(image1)",
                  "imageHeight(image1)",
                  "imageChannelStep(image1)",
                  "imagePixelStep(image1)",
                  "imageBorder(image1)",
                  "lockSettings(settings, 0)",
                  "findOption(settings, \"vivanto_rg\")",
                  "intValue(<vivanto_rg>)",
                  "findOption(settings, \"vivanto_by\")",
                  "intValue(<vivanto_by>)",
                  "unlockSettings(settings, 0)",
                  "imageRow(image1, 0)",
                  "imageRow(image1, 1)",
                  "imageRow(image1, 2)",
              }));
    for (const standin::Call& call : plugin.host.log().calls()) {
        bool readsSettings = call.operation == "findOption" || call.operation == "boolValue"
            || call.operation == "intValue";
        bool usesImage = call.operation.rfind("image", 0) == 0;
        if (readsSettings) {
            EXPECT_TRUE(call.settingsLocked) << call.text() << " outside the settings lock";
        }
        if (usesImage) {
            EXPECT_FALSE(call.settingsLocked) << call.text() << " inside the settings lock";
        }
    }
    EXPECT_TRUE(plugin.host.violations().empty());
}

TEST(Stage, SlidersMissingAreNotRead)
{
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    plugin.host.removeOption(kRedGreen);
    plugin.host.removeOption(kBlueYellow);
    auto& image = plugin.host.addImage({.width = 1, .height = 1});

    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    EXPECT_EQ(plugin.host.calls({"findOption", "intValue"}),
              (std::vector<std::string>{"findOption(settings, \"vivanto_enabled\")",
                                        "findOption(settings, \"vivanto_rg\")",
                                        "findOption(settings, \"vivanto_by\")"}));
}

// --- cancellation -----------------------------------------------------------

struct CancelCase {
    const char* name;
    bool withFlag;
    HostBool initial;
    int32_t setWhenRowFetched; // -1: never
    HostBool setTo;
    int32_t rowsProcessed;
};

class Cancelling : public ::testing::TestWithParam<CancelCase> {};

TEST_P(Cancelling, StopsBeforeTheNextRowOnlyWhenTheFlagIsOne)
{
    const CancelCase& c = GetParam();
    constexpr int32_t kHeight = 5;
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    auto& image = plugin.host.addImage({.width = 2, .height = kHeight, .border = 1});
    image.fill([](int32_t, int32_t, int32_t) { return uint16_t{40000}; });
    HostBool flag = c.initial;
    if (c.setWhenRowFetched >= 0)
        plugin.host.cancelWhenRowFetched(c.setWhenRowFetched, &flag, c.setTo);

    EXPECT_EQ(plugin.process(plugin.host.pipe(&image, c.withFlag ? &flag : nullptr)), 0);
    EXPECT_EQ(plugin.host.log().count("imageRow"), static_cast<std::size_t>(c.rowsProcessed));
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = -1; x < 3; ++x) {
            uint16_t expected = y < c.rowsProcessed ? 41085 : 40000;
            EXPECT_EQ(image.at(x, y, 1), expected) << "pixel " << x << " of row " << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Stage, Cancelling,
                         ::testing::Values(CancelCase{"AlreadySetFetchesNoRow", true, 1, -1, 0, 0},
                                           CancelCase{"SetDuringRow0", true, 0, 0, 1, 1},
                                           CancelCase{"SetDuringRow2", true, 0, 2, 1, 3},
                                           CancelCase{"SetDuringLastRow", true, 0, 4, 1, 5},
                                           CancelCase{"HoldingTwoNeverCancels", true, 2, -1, 0, 5},
                                           CancelCase{"SetToTwoMidwayNeverCancels", true, 0, 1, 2,
                                                      5},
                                           CancelCase{"NullFlagNeverCancels", false, 0, -1, 0, 5}),
                         testing_support::CaseName());

// --- geometry: which samples the stage may touch ------------------------------

struct GeometryCase {
    const char* name;
    standin::Geometry geometry;
};

class Geometries : public ::testing::TestWithParam<GeometryCase> {};

// Every sample outside channels 1 and 2 of the pixels of rows 0..height-1
// (borders included) must come back byte for byte: other channels, the gaps
// of wide steps, guard samples around rows and guard rows above and below.
TEST_P(Geometries, ChangeExactlyChannelsOneAndTwoOfEveryWalkedPixel)
{
    const standin::Geometry& g = GetParam().geometry;
    constexpr int32_t kRedGreenSlider = 40;
    constexpr int32_t kBlueYellowSlider = -30;
    LoadedPlugin plugin;
    plugin.host.setBool(kEnabled, true);
    plugin.host.setInt(kRedGreen, kRedGreenSlider);
    plugin.host.setInt(kBlueYellow, kBlueYellowSlider);
    auto& image = plugin.host.addImage(g, {.samples = 5, .rows = 2});
    image.fill([](int32_t x, int32_t y, int32_t ch) {
        return static_cast<uint16_t>(7919 * (x + 50) + 104729 * y + 31337 * ch);
    });
    std::vector<uint16_t> expected = image.samples();
    auto evaluation = oracle::builtEvaluation();
    if (g.pixelsPerRow() > 0)
        for (int32_t y = 0; y < g.height; ++y)
            for (int32_t x = -g.border; x < g.width + g.border; ++x) {
                std::size_t rg = image.indexOf(x, y, 1);
                std::size_t by = image.indexOf(x, y, 2);
                uint16_t redGreen = expected[rg];
                uint16_t blueYellow = expected[by];
                expected[rg] = oracle::sample(evaluation, redGreen, kRedGreenSlider);
                expected[by] = oracle::sample(evaluation, blueYellow, kBlueYellowSlider);
            }

    EXPECT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
    EXPECT_EQ(image.samples(), expected);
    EXPECT_EQ(plugin.host.log().count("imageRow"), static_cast<std::size_t>(std::max(g.height, 0)));
    EXPECT_TRUE(plugin.host.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Stage, Geometries,
    ::testing::Values(
        GeometryCase{"Packed", {.width = 9, .height = 3, .border = 0}},
        GeometryCase{"BorderOfTwo", {.width = 5, .height = 3, .border = 2}},
        GeometryCase{"PixelStep4", {.width = 6, .height = 2, .border = 1, .pixelStep = 4}},
        GeometryCase{"PixelStep7", {.width = 3, .height = 2, .border = 1, .pixelStep = 7}},
        GeometryCase{"ChannelStep2",
                     {.width = 4, .height = 2, .border = 1, .channelStep = 2, .pixelStep = 6}},
        GeometryCase{"ChannelStep3Planar",
                     {.width = 2, .height = 2, .border = 2, .channelStep = 3, .pixelStep = 1}},
        GeometryCase{"BorderWiderThanImage", {.width = 1, .height = 2, .border = 4}},
        GeometryCase{"NoPixelsAtAll", {.width = 0, .height = 3, .border = 0}},
        GeometryCase{"NegativeBorderEatsTheRow", {.width = 2, .height = 3, .border = -1}},
        GeometryCase{"NegativeBorderLeavesOnePixel", {.width = 3, .height = 2, .border = -1}},
        GeometryCase{"WidthPlusBordersWouldWrapIn32Bits",
                     {.width = INT32_MIN, .height = 2, .border = -1}},
        GeometryCase{"BordersAloneWouldWrapIn32Bits",
                     {.width = 0, .height = 2, .border = INT32_MIN}},
        GeometryCase{"ZeroHeight", {.width = 4, .height = 0, .border = 1}},
        GeometryCase{"NegativeHeight", {.width = 4, .height = -3, .border = 1}}),
    testing_support::CaseName());

} // namespace
