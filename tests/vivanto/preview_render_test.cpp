// The page's fast renders against the chain a batch runs: a held preview must
// show what the chain makes of the same scaled photo, and a loupe crop must
// be the same bits as that part of the whole photo through the chain, real
// neighbours at its border included.
#include "case_name.h"
#include "preview.h"
#include "reference_chart.h"
#include "tool_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace {

using namespace vivanto;
using tool_test::Kind;
using tool_test::PhotoRecipe;
using vips::VImage;

// 8-bit sRGB as a frame holds it: four bytes a pixel, alpha 255.
std::vector<uint8_t> rgbaOf(const VImage& shown)
{
    VImage rgb = shown.bands() == 1 ? VImage::bandjoin({shown, shown, shown}) : shown;
    VImage rgba = rgb.bandjoin_const({255.0}).cast(VIPS_FORMAT_UCHAR);
    size_t size = 0;
    auto* memory = static_cast<uint8_t*>(rgba.write_to_memory(&size));
    std::vector<uint8_t> bytes(memory, memory + size);
    g_free(memory);
    return bytes;
}

int largestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    EXPECT_EQ(a.size(), b.size());
    int largest = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        largest = std::max(largest, std::abs(int(a[i]) - int(b[i])));
    return largest;
}

Photo inMemory(const std::string& path)
{
    Photo photo = openPhoto(path);
    photo.image = photo.image.copy_memory();
    return photo;
}

struct Pushed {
    explicit Pushed(const char* plugin)
        : stage(plugin)
    {
        stage.edit("vivanto_rg", 300); // far enough that the chart's colours clip
        stage.edit("vivanto_by", 250);
    }
    StageHost stage;
    std::mutex lock;
};

struct HeldCase {
    std::string name;
    PhotoRecipe recipe;
    const char* plugin;
    // Steps of 8-bit sRGB the held preview may differ by: flattening over
    // white rounds apart from libvips', and a profile's photo comes back to
    // sRGB in one conversion instead of two.
    int tolerance;
};

void PrintTo(const HeldCase& row, std::ostream* out)
{
    *out << row.name;
}

class ServeHeldPreviews : public testing::TestWithParam<HeldCase> {
protected:
    static void SetUpTestSuite() { startImageLibrary("preview_render_test"); }
};

TEST_P(ServeHeldPreviews, ShowWhatTheChainMakesOfTheSamePhoto)
{
    const HeldCase& c = GetParam();
    tool_test::ScratchFolder folder;
    std::string path = folder / c.recipe.fileName();
    tool_test::writePhoto(c.recipe, path);
    Photo photo = inMemory(path);
    Pushed pushed(c.plugin);

    std::vector<uint8_t> outside;
    Chain chain(pushed.stage, photo,
                {.outputBits = 8, .rowsPerStrip = 256, .outOfGamutPixels = &outside});
    VImage shown;
    chain.run([&] { shown = forDisplay(chain.result(), photo).copy_memory(); });
    Chain without(photo, {.outputBits = 8});
    VImage plain;
    without.run([&] { plain = forDisplay(without.result(), photo).copy_memory(); });

    HeldPreview held(photo, 3);
    FrameRender render = held.render({&pushed.stage, {}, nullptr});
    EXPECT_EQ(render.frame.width, photo.image.width());
    EXPECT_EQ(render.frame.height, photo.image.height());
    EXPECT_LE(largestDifference(render.frame.rgba, rgbaOf(shown)), c.tolerance);
    EXPECT_LE(largestDifference(held.before().rgba, rgbaOf(plain)), c.tolerance);
    if (!c.recipe.grey || c.plugin != std::string(SERVE_TEST_PLUGIN)) { // it leaves greys alone
        EXPECT_NE(render.frame.rgba, held.before().rgba) << "the stage did nothing";
    }
    if (!c.recipe.profile) { // else the chain's output is the photo's profile, the frame's sRGB
        EXPECT_EQ(render.outOfGamutPixels, uint64_t(std::count(outside.begin(), outside.end(), 1)));
    }

    // Marks paint exactly the pixels out of gamut, in black or white.
    FrameRender marked = held.render({&pushed.stage, {}, nullptr}, {.marks = true});
    EXPECT_EQ(marked.outOfGamutPixels, render.outOfGamutPixels);
    uint64_t changed = 0;
    for (std::size_t p = 0; p < outside.size(); ++p) {
        const uint8_t* pixel = &marked.frame.rgba[p * 4];
        bool painted = !std::equal(pixel, pixel + 4, &render.frame.rgba[p * 4]);
        changed += painted ? 1 : 0;
        if (c.recipe.profile)
            continue;
        if (outside[p] == 0)
            EXPECT_FALSE(painted) << "pixel " << p << " marked but in gamut";
        else
            EXPECT_TRUE(pixel[0] == pixel[1] && pixel[1] == pixel[2]
                        && (pixel[0] == 0 || pixel[0] == 255))
                << "pixel " << p;
    }
    EXPECT_LE(changed, render.outOfGamutPixels);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ServeHeldPreviews,
    testing::Values(HeldCase{"png_8", {Kind::Png, 8}, SERVE_TEST_PLUGIN, 0},
                    HeldCase{"tiff_16", {Kind::Tiff, 16}, SERVE_TEST_PLUGIN, 0},
                    HeldCase{"jpeg", {Kind::Jpeg}, SERVE_TEST_PLUGIN, 0},
                    HeldCase{"grey_16", {Kind::Png, 16, true}, SERVE_TEST_PLUGIN, 0},
                    HeldCase{"alpha_8", {Kind::Png, 8, false, true}, SERVE_TEST_PLUGIN, 1},
                    HeldCase{"alpha_16", {Kind::Tiff, 16, false, true}, SERVE_TEST_PLUGIN, 1},
                    HeldCase{
                        "profile_16", {Kind::Tiff, 16, false, false, true}, SERVE_TEST_PLUGIN, 2},
                    // Every pixel's result depends on its neighbours in the row.
                    HeldCase{"neighbours", {Kind::Tiff, 16}, FAKE_PLUGIN_NEIGHBOURS, 0},
                    HeldCase{"grey_neighbours", {Kind::Png, 8, true}, FAKE_PLUGIN_NEIGHBOURS, 0}),
    testing_support::CaseName());

struct LoupeCase {
    std::string name;
    LoupeSpot spot;
    VipsRect placed; // where the crop must lie in a 300 x 200 photo
};

void PrintTo(const LoupeCase& row, std::ostream* out)
{
    *out << row.name;
}

class ServeLoupes : public testing::TestWithParam<LoupeCase> {
protected:
    static void SetUpTestSuite()
    {
        startImageLibrary("preview_render_test");
        folder_ = std::make_unique<tool_test::ScratchFolder>();
        path_ = *folder_ / "noise.tif";
        tool_test::writeNoisePhoto(300, 200, path_);
    }
    static void TearDownTestSuite() { folder_.reset(); }

    static std::unique_ptr<tool_test::ScratchFolder> folder_;
    static std::string path_;
};

std::unique_ptr<tool_test::ScratchFolder> ServeLoupes::folder_;
std::string ServeLoupes::path_;

// Through the real stage and through one whose every pixel mixes its
// neighbours, so that a crop handed its own edge pixels as the border, or
// cut at the wrong place, shows.
TEST_P(ServeLoupes, AreTheSameBitsAsThatPartOfTheWholePhoto)
{
    const LoupeCase& c = GetParam();
    LivePhoto live = LivePhoto::fromFile(path_, 64, 2);
    for (const char* plugin : {SERVE_TEST_PLUGIN, FAKE_PLUGIN_NEIGHBOURS}) {
        Pushed pushed(plugin);
        Photo whole = openPhoto(path_);
        Chain chain(pushed.stage, whole, {.outputBits = 16, .rowsPerStrip = 256});
        VImage all;
        chain.run([&] { all = chain.result().copy_memory(); });

        VipsRect placed{};
        VImage crop = live.loupeResult(&pushed.stage, pushed.lock, c.spot, nullptr, &placed);
        EXPECT_EQ(std::tie(placed.left, placed.top, placed.width, placed.height),
                  std::tie(c.placed.left, c.placed.top, c.placed.width, c.placed.height));
        VImage expected = all.crop(c.placed.left, c.placed.top, c.placed.width, c.placed.height);
        EXPECT_EQ(crop.format(), VIPS_FORMAT_USHORT);
        EXPECT_EQ((crop - expected).abs().max(), 0.0) << plugin;

        LoupeRender shown = live.loupe(&pushed.stage, pushed.lock, c.spot, nullptr);
        EXPECT_EQ(shown.frame.rgba, rgbaOf(forDisplay(expected, whole))) << plugin;
        EXPECT_EQ(std::tie(shown.left, shown.top), std::tie(c.placed.left, c.placed.top));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spots, ServeLoupes,
    testing::Values(LoupeCase{"centre", {150, 100, 64}, {118, 68, 64, 64}},
                    LoupeCase{"odd_side", {150, 100, 17}, {142, 92, 17, 17}},
                    LoupeCase{"top_left_corner", {0, 0, 64}, {0, 0, 64, 64}},
                    LoupeCase{"near_right_edge", {298, 100, 64}, {236, 68, 64, 64}},
                    LoupeCase{"bottom_right_corner", {299, 199, 32}, {268, 168, 32, 32}},
                    LoupeCase{"taller_than_the_photo", {10, 150, 512}, {0, 0, 300, 200}}),
    testing_support::CaseName());

// The chart is held in memory, not read from a file.
TEST(ServeLoupeBefore, IsTheChartsCropThereAndBackWithoutTheStage)
{
    startImageLibrary("preview_render_test");
    LivePhoto live = LivePhoto::example(100, 2);
    Pushed pushed(SERVE_TEST_PLUGIN);
    Photo chart{.format = FileFormat::Png, .bits = 16, .image = referenceChart()};
    Chain without(chart, {.outputBits = 16});
    VImage all;
    without.run([&] { all = without.result().copy_memory(); });

    LoupeRender before = live.loupe(nullptr, pushed.lock, {300, 200, 40}, nullptr);
    LoupeRender after = live.loupe(&pushed.stage, pushed.lock, {300, 200, 40}, nullptr);
    EXPECT_EQ(std::tie(before.left, before.top), std::tie(after.left, after.top));
    EXPECT_EQ(before.frame.rgba, rgbaOf(forDisplay(all.crop(280, 180, 40, 40), chart)));
    EXPECT_NE(before.frame.rgba, after.frame.rgba);
}

} // namespace
