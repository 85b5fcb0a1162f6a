// The page's marks and its gamut choice against an independent count: the
// example chart's held preview, pushed, must mark and count what LittleCMS in
// double precision finds outside 8-bit sRGB (gamut_oracle.h), and compress
// must bring exactly those pixels inside, at their hue.
#include "case_name.h"
#include "gamut_oracle.h"
#include "held_preview.h"
#include "reference_chart.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace vivanto;
using gamut_test::Oracle;
using gamut_test::Profile;

struct MarksCase {
    std::string name;
    int32_t rg, by;
    bool
        pushedOut; // whether a good share of the chart must leave sRGB (its patches lie near the edge)
};

void PrintTo(const MarksCase& row, std::ostream* out)
{
    *out << row.name;
}

class ServeGamut : public testing::TestWithParam<MarksCase> {
protected:
    static void SetUpTestSuite() { startImageLibrary("serve_gamut_test"); }
};

bool paintedCheck(const uint8_t* pixel)
{
    return pixel[0] == pixel[1] && pixel[1] == pixel[2] && (pixel[0] == 0 || pixel[0] == 255);
}

TEST_P(ServeGamut, MarksCountsAndCompressesWhatLittleCmsFindsOutsideSrgb)
{
    const MarksCase& c = GetParam();
    StageHost stage(SERVE_TEST_PLUGIN);
    stage.edit("vivanto_rg", c.rg);
    stage.edit("vivanto_by", c.by);
    Photo chart{.format = FileFormat::Png, .bits = 16, .image = referenceChart().copy_memory()};

    Oracle oracle(Profile::Srgb);
    std::vector<std::array<uint16_t, 3>> results = gamut_test::expectedResults(
        oracle, gamut_test::devicePixels(chart.image, 16, 3), stageResponses(stage, c.rg, c.by));
    // 1 out, 0 in; 2 where the verdict at half a code and at 2 % of the range
    // differ: that close to the edge, the working encoding's rounding may tip it.
    const double halfCode = 0.5 / 255.0;
    // Compression stops where the verdict turns inside, and near a primary a
    // step of the working encoding's a* or b* moves a channel by most of a
    // code: a compressed pixel may lie up to that far out, which the way back
    // clamps unseen. Two codes, to be sure.
    const double kCompressedSlack = 2.0 / 255.0;
    std::vector<uint8_t> expected;
    for (const auto& result : results) {
        bool strict = oracle.outside(result.data(), halfCode);
        expected.push_back(strict == oracle.outside(result.data(), 0.02) ? (strict ? 1 : 0) : 2);
    }
    auto outside = uint64_t(std::count(expected.begin(), expected.end(), 1));
    auto nearEdge = uint64_t(std::count(expected.begin(), expected.end(), 2));
    if (c.pushedOut) {
        EXPECT_GT(outside, expected.size() / 20);
    } else {
        EXPECT_EQ(outside + nearEdge, 0U);
    }

    HeldPreview held(chart, 2);
    StageUse use{&stage, {}, nullptr};
    FrameRender clipped = held.render(use);
    FrameRender marked = held.render(use, {.marks = true});
    FrameRender compressed = held.render(use, {.gamut = GamutMode::Compress});
    std::vector<uint16_t> comeBack = held.latestPixels(GamutMode::Compress);
    ASSERT_EQ(comeBack.size(), expected.size() * 3);
    ASSERT_EQ(clipped.frame.rgba.size(), expected.size() * 4);

    EXPECT_GE(clipped.outOfGamutPixels, outside);
    EXPECT_LE(clipped.outOfGamutPixels, outside + nearEdge);
    EXPECT_EQ(marked.outOfGamutPixels, clipped.outOfGamutPixels);
    EXPECT_EQ(compressed.outOfGamutPixels, clipped.outOfGamutPixels);

    uint64_t changedByCompression = 0;
    for (std::size_t p = 0; p < expected.size(); ++p) {
        const uint8_t* plain = &clipped.frame.rgba[p * 4];
        const uint8_t* mark = &marked.frame.rgba[p * 4];
        const uint8_t* squeezed = &compressed.frame.rgba[p * 4];
        const uint16_t* result = &comeBack[p * 3];
        bool differs = !std::equal(plain, plain + 4, squeezed);
        changedByCompression += differs ? 1 : 0;
        // Whatever was out, none is out once compressed.
        ASSERT_FALSE(oracle.outside(result, kCompressedSlack)) << "pixel " << p;
        if (expected[p] == 0) {
            ASSERT_TRUE(std::equal(plain, plain + 4, mark)) << "pixel " << p << " marked, in gamut";
            ASSERT_FALSE(differs) << "pixel " << p << " compressed, in gamut";
        } else if (expected[p] == 1) {
            ASSERT_TRUE(paintedCheck(mark)) << "pixel " << p << " out of gamut, not marked";
            std::array<double, 3> was = gamut_test::labOfWorking(results[p].data());
            std::array<double, 3> now = gamut_test::labOfWorking(result);
            EXPECT_NEAR(now[0], was[0], 0.05) << "pixel " << p << ": lightness kept";
            if (std::hypot(now[1], now[2]) > 10) {
                EXPECT_LT(gamut_test::hueDistance(gamut_test::hueDegrees(now[1], now[2]),
                                                  gamut_test::hueDegrees(was[1], was[2])),
                          1.0)
                    << "pixel " << p << ": hue kept";
            }
        }
    }
    if (c.pushedOut) {
        EXPECT_GT(changedByCompression, outside / 2) << "compress must change what clip clips";
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, ServeGamut,
                         testing::Values(MarksCase{"identity", 0, 0, false},
                                         MarksCase{"gentle", 20, 20, true},
                                         MarksCase{"high", 300, 250, true},
                                         MarksCase{"blue_yellow_only", 0, 500, true}),
                         testing_support::CaseName());

} // namespace
