// vivanto --scope end to end: the plot written beside (or without) the
// batch's result, the stage's stretch read off it, and its refusals.
#include "case_name.h"
#include "tool_support.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace tool_test;
namespace fs = std::filesystem;

constexpr int kPanel = 512; // the default; neutral at pixel 256, 256 of each panel

// How far the trace reaches from neutral in one panel, across and up or down,
// in pixels: neutral pixels brighter than any graticule (lines and labels
// are tinted, the trace is not).
std::pair<int, int> traceReach(const vips::VImage& scope, int panel)
{
    vips::VImage pixels = scope.crop(panel * kPanel, 0, kPanel, kPanel).copy_memory();
    std::size_t size = 0;
    auto* rgb = static_cast<uint8_t*>(pixels.write_to_memory(&size));
    int across = 0, upDown = 0;
    for (int y = 0; y < kPanel; ++y)
        for (int x = 0; x < kPanel; ++x) {
            const uint8_t* p = rgb + (std::size_t(y) * kPanel + std::size_t(x)) * 3;
            if (p[0] == p[1] && p[1] == p[2] && p[0] >= 90) {
                across = std::max(across, std::abs(x - kPanel / 2));
                upDown = std::max(upDown, std::abs(y - kPanel / 2));
            }
        }
    g_free(rgb);
    return {across, upDown};
}

struct StretchCase {
    std::string name;
    std::vector<std::string> settings;
    double acrossFactor,
        upDownFactor; // the sliders' (N + 100) / 100 (both set: neither is 0 by default)
};

void PrintTo(const StretchCase& row, std::ostream* out)
{
    *out << row.name;
}

class VivantoScope : public testing::TestWithParam<StretchCase> {};

TEST_P(VivantoScope, ShowsTheCloudStretchedByEachAxisFactor)
{
    const StretchCase& c = GetParam();
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{}, in / "p.png");
    std::vector<std::string> arguments = c.settings;
    arguments.insert(arguments.end(), {"--scope", out / "scope.png", in / "p.png"});
    ToolRun run = runVivanto(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("p.png: vectorscope -> " + out / "scope.png"), std::string::npos);
    vips::VImage scope = load(out / "scope.png");
    ASSERT_EQ(scope.width(), 2 * kPanel);
    ASSERT_EQ(scope.height(), kPanel);
    ASSERT_EQ(scope.bands(), 3);
    ASSERT_EQ(scope.format(), VIPS_FORMAT_UCHAR);
    auto [beforeAcross, beforeUpDown] = traceReach(scope, 0);
    auto [afterAcross, afterUpDown] = traceReach(scope, 1);
    ASSERT_GT(beforeAcross, 10);
    ASSERT_GT(beforeUpDown, 10);
    // Within two pixels: the beam's width and a bin's.
    EXPECT_NEAR(afterAcross, beforeAcross * c.acrossFactor, 2.0 * c.acrossFactor);
    EXPECT_NEAR(afterUpDown, beforeUpDown * c.upDownFactor, 2.0 * c.upDownFactor);
    EXPECT_EQ(fs::directory_iterator(out.path())->path().filename(), "scope.png")
        << "nothing but the scope is written without -o";
}

INSTANTIATE_TEST_SUITE_P(
    Sliders, VivantoScope,
    testing::Values(StretchCase{"reds_and_greens_doubled", {"--rg", "100", "--by", "0"}, 2.0, 1.0},
                    StretchCase{"blues_and_yellows_by_1_6", {"--rg", "0", "--by", "60"}, 1.0, 1.6},
                    StretchCase{"switched_off_unchanged", {"--disable"}, 1.0, 1.0}),
    testing_support::CaseName());

TEST(VivantoScopeBeside, TheResultAndTheComparisonAreWrittenAsUsual)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{Kind::Tiff, 16}, in / "p.tif");
    ToolRun run = runVivanto({"--rg", "40", in / "p.tif", "-o", out.path().string(), "--compare",
                              out / "cmp.png", "--scope", out / "scope.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(load(out / "p.tif").format(), VIPS_FORMAT_USHORT);
    EXPECT_EQ(load(out / "cmp.png").height(), 48);
    EXPECT_EQ(load(out / "scope.png").width(), 2 * kPanel);
}

struct ScopeErrorCase {
    std::string name;
    // Puts the situation in place; returns the arguments after the photo.
    std::function<std::vector<std::string>(const ScratchFolder& in, const ScratchFolder& out)>
        arrange;
    int status;
    std::string message; // the line on stderr; IN/ and OUT/ stand for the folders
};

void PrintTo(const ScopeErrorCase& row, std::ostream* out)
{
    *out << row.name;
}

class VivantoScopeErrors : public testing::TestWithParam<ScopeErrorCase> {};

TEST_P(VivantoScopeErrors, SayWhyInOneLineAndWriteNothing)
{
    const ScopeErrorCase& c = GetParam();
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{}, in / "p.png");
    std::vector<std::string> arguments{"--rg", "40", in / "p.png"};
    for (const std::string& argument : c.arrange(in, out))
        arguments.push_back(argument);
    auto before = snapshot(out.path());
    ToolRun run = runVivanto(arguments);
    EXPECT_EQ(run.status, c.status);
    std::string message = c.message;
    for (auto [from, to] : {std::pair<std::string, std::string>{"IN/", in.path().string() + "/"},
                            {"OUT/", out.path().string() + "/"}})
        for (std::size_t at; (at = message.find(from)) != std::string::npos;)
            message.replace(at, from.size(), to);
    EXPECT_NE(run.err.find("vivanto: " + message + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(snapshot(out.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, VivantoScopeErrors,
    testing::Values(
        ScopeErrorCase{"two_inputs",
                       [](auto& in, auto& out) {
                           return std::vector<std::string>{in / "p.png", "--scope", out / "s.png"};
                       },
                       2, "--scope needs exactly one input"},
        ScopeErrorCase{"not_png",
                       [](auto&, auto& out) {
                           return std::vector<std::string>{"--scope", out / "s.jpg"};
                       },
                       2, "--scope: \"OUT/s.jpg\" is not a .png file name"},
        ScopeErrorCase{"existing_without_force",
                       [](auto&, auto& out) {
                           std::ofstream(out / "s.png") << "an older scope";
                           return std::vector<std::string>{"--scope", out / "s.png", "-o",
                                                           out.path().string()};
                       },
                       1, "IN/p.png: OUT/s.png already exists (use --force to replace it)"},
        ScopeErrorCase{"folder_missing",
                       [](auto&, auto& out) {
                           return std::vector<std::string>{"--scope", out / "gone/s.png"};
                       },
                       1, "IN/p.png: OUT/gone/s.png cannot be written: No such file or directory"},
        ScopeErrorCase{
            "named_as_the_result_even_with_force",
            [](auto&, auto& out) {
                return std::vector<std::string>{"--force", "--scope", out / "p.png", "-o",
                                                out.path().string()};
            },
            1, "IN/p.png: OUT/p.png is named for two of this photo's outputs; give each its own"}),
    testing_support::CaseName());

TEST(VivantoScopeBeside, ForceReplacesAnOlderScope)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{}, in / "p.png");
    std::ofstream(out / "s.png") << "an older scope";
    ToolRun run = runVivanto({"--force", "--scope", out / "s.png", in / "p.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(load(out / "s.png").width(), 2 * kPanel);
}

TEST(VivantoScopeBeside, IsRefusedOnThePageWhichDrawsItsOwn)
{
    ScratchFolder out;
    ToolRun run = runVivanto({"serve", "--scope", out / "s.png"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--scope"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out / "s.png"));
}

} // namespace
