// What vivanto shows besides the result: the before/after comparison, the
// About page, the clipping report, and results in another format or depth.
#include "tool_support.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

using namespace tool_test;

TEST(Compare, PutsBeforeAndAfterSideBySide)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{Kind::Png, 16, false, true, false}, in / "p.png");
    ToolRun run = runVivanto(
        {"--rg", "200", in / "p.png", "-o", out.path().string(), "--compare", out / "cmp.jpg"});
    ASSERT_EQ(run.status, 0) << run.err;
    vips::VImage compare = load(out / "cmp.jpg");
    EXPECT_EQ(compare.width(), 2 * 64 + 16);
    EXPECT_EQ(compare.height(), 48);
    // The left half is the input as it was, the right half the stronger result.
    vips::VImage left = compare.crop(5 * 16 % 64 + 4, 16 + 4, 8, 8),
                 right = compare.crop(64 + 16 + 16 + 4, 16 + 4, 8, 8);
    EXPECT_GT((right.extract_band(0) - right.extract_band(1)).avg(),
              (left.extract_band(0) - left.extract_band(1)).avg() + 5);
}

TEST(About, PrintsTheTitleAndWritesTheBodyAsAPage)
{
    ScratchFolder out;
    ToolRun run = runVivanto({"--about", out / "about.html"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "About Vivanto Plugin\nAbout text written to " + out / "about.html" + "\n");
    std::string page = bytesOf(out / "about.html");
    EXPECT_NE(page.find("<title>About Vivanto Plugin</title>"), std::string::npos);
    EXPECT_NE(
        page.find("<center><h2>About Vivanto</h2></center><p><center>Version: 0.9</center></p>"),
        std::string::npos);
}

struct AxisReport {
    long long clipped = -1;
    int largestClean = 0;
};

// The two lines of --stats, red-green first.
std::vector<AxisReport> statsOf(const ToolRun& run)
{
    std::vector<AxisReport> axes;
    std::regex line(
        R"(: (red-green|blue-yellow) .*: (\d+) of \d+ samples clipped .* clips none up to (-?\d+))");
    for (std::sregex_iterator it(run.out.begin(), run.out.end(), line), end; it != end; ++it)
        axes.push_back({std::stoll((*it)[2]), std::stoi((*it)[3])});
    return axes;
}

TEST(Stats, TheLargestCleanValueClipsNoneAndOneMoreClips)
{
    ScratchFolder in;
    writePhoto(PhotoRecipe{Kind::Tiff, 16}, in / "p.tif");
    ToolRun first = runVivanto({"--stats", "--enable", in / "p.tif"});
    ASSERT_EQ(first.status, 0) << first.err;
    auto report = statsOf(first);
    ASSERT_EQ(report.size(), 2u) << first.out;
    for (int axis = 0; axis < 2; ++axis) {
        int clean = report[std::size_t(axis)].largestClean;
        ASSERT_GT(clean, 0);
        ASSERT_LT(clean, 600);
        std::string slider = axis == 0 ? "--rg" : "--by";
        auto atClean =
            statsOf(runVivanto({"--stats", slider, std::to_string(clean), in / "p.tif"}));
        auto beyond =
            statsOf(runVivanto({"--stats", slider, std::to_string(clean + 1), in / "p.tif"}));
        ASSERT_EQ(atClean.size(), 2u);
        ASSERT_EQ(beyond.size(), 2u);
        EXPECT_EQ(atClean[std::size_t(axis)].clipped, 0);
        // Patches are 16 x 16 pixels, so clipping comes in whole patches.
        EXPECT_GT(beyond[std::size_t(axis)].clipped, 0);
        EXPECT_EQ(beyond[std::size_t(axis)].clipped % 256, 0);
    }
}

TEST(Formats, WritesAnotherFormatAndDepthWhenAsked)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{Kind::Tiff, 16}, in / "p.tif");
    ToolRun run = runVivanto(
        {"--enable", "--format", "png", "--depth", "8", in / "p.tif", "-o", out.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    vips::VImage result = load(out / "p.png");
    EXPECT_EQ(std::string(result.get_string("vips-loader")), "pngload");
    EXPECT_EQ(result.format(), VIPS_FORMAT_UCHAR);
}

TEST(Formats, JpegResultsOfTransparentPhotosAreShownOnWhite)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{Kind::Png, 8, false, true, false}, in / "p.png");
    ToolRun run =
        runVivanto({"--rg", "40", "--format", "jpeg", in / "p.png", "-o", out.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("p.png: JPEG holds no transparency; the result is shown on white"),
              std::string::npos);
    vips::VImage result = load(out / "p.jpg");
    EXPECT_EQ(result.bands(), 3);
    // Pixel (0, 0) is fully transparent black in the input.
    std::vector<double> corner = result.getpoint(0, 0);
    for (double sample : corner)
        EXPECT_GT(sample, 240.0);
}

} // namespace
