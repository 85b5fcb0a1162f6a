// Every row loop the plug-in has (scalar, SSE2, AVX, AVX with FMA, AVX2,
// AVX-512), each
// forced in turn through the testing build, against the oracle: every slider
// value against every sample for pixel steps 3 and 4, every width that leaves
// a different tail, borders, guard samples around every row, and rows fenced
// by inaccessible pages so that a load or store one sample too far crashes.
#include "exhaustive_tables.h"
#include "loaded_plugin.h"
#include "oracle.h"
#include "row_paths.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using testing_support::kRowPathCount;
using testing_support::LoadedPlugin;
using testing_support::RowPath;

namespace {

// Rows run from 0 to this many pixels: more than three of the widest
// path's blocks (AVX-512, 32 pixels at pixel step 3, 16 at pixel step 4),
// so every loop meets every tail it can have.
constexpr int32_t kMaxWidth = 3 * 32 + 2;

const RowPath kAllPaths[] = {RowPath::Scalar, RowPath::Sse2, RowPath::Avx,
                             RowPath::AvxFma, RowPath::Avx2, RowPath::Avx512};

// Forces one row path for a test's lifetime; the test is skipped when the
// running CPU, or this build's evaluation, does not offer it.
class ForcedPath {
public:
    explicit ForcedPath(RowPath path)
        : forced_(testing_support::rowPaths().force(path))
    {
    }
    ~ForcedPath() { testing_support::rowPaths().chooseAutomatically(); }
    ForcedPath(const ForcedPath&) = delete;
    ForcedPath& operator=(const ForcedPath&) = delete;
    bool forced() const { return forced_; }

private:
    bool forced_;
};

#define FORCE_OR_SKIP(path)                                                                        \
    ForcedPath forcedPath(path);                                                                   \
    if (!forcedPath.forced())                                                                      \
    GTEST_SKIP() << testing_support::rowPaths().name(path) << " is not offered by this CPU or build"

// Positions of channels 1 and 2 of every walked pixel, in samples() order.
struct ChromaIndex {
    std::vector<std::size_t> redGreen, blueYellow;
};

ChromaIndex chromaIndex(const standin::Image& image)
{
    const standin::Geometry& g = image.geometry();
    ChromaIndex index;
    if (g.pixelsPerRow() <= 0)
        return index;
    for (int32_t y = 0; y < g.height; ++y)
        for (int32_t x = -g.border; x < g.width + g.border; ++x) {
            index.redGreen.push_back(image.indexOf(x, y, 1));
            index.blueYellow.push_back(image.indexOf(x, y, 2));
        }
    return index;
}

// The oracle for one slider value: from the tables of every value when a test
// goes through them all anyway, else worked out for the values a test uses.
const std::vector<uint16_t>& oracleTable(int32_t slider, bool everyValue)
{
    if (everyValue)
        return testing_support::oracleTables(oracle::builtEvaluation())
            .at(static_cast<std::size_t>(slider - testing_support::kSliderMin));
    static std::map<int32_t, std::vector<uint16_t>> some;
    auto [entry, added] = some.try_emplace(slider);
    if (added)
        entry->second = oracle::table(oracle::builtEvaluation(), slider);
    return entry->second;
}

// What the stage must leave: `before` with channels 1 and 2 scaled and every
// other sample, guards included, as it was.
std::vector<uint16_t> expectedAfter(const std::vector<uint16_t>& before, const ChromaIndex& index,
                                    int32_t redGreenSlider, int32_t blueYellowSlider,
                                    bool everyValue = false)
{
    std::vector<uint16_t> expected = before;
    const auto& redGreen = oracleTable(redGreenSlider, everyValue);
    const auto& blueYellow = oracleTable(blueYellowSlider, everyValue);
    for (std::size_t i : index.redGreen)
        expected[i] = redGreen[before[i]];
    for (std::size_t i : index.blueYellow)
        expected[i] = blueYellow[before[i]];
    return expected;
}

// Where two sample blocks first differ, for a readable failure.
std::string firstDifference(const std::vector<uint16_t>& got, const std::vector<uint16_t>& want)
{
    for (std::size_t i = 0; i < want.size(); ++i)
        if (got[i] != want[i])
            return "sample index " + std::to_string(i) + ": got " + std::to_string(got[i])
                + ", want " + std::to_string(want[i]);
    return "none";
}

// 65536 pixels (256 rows of 254 and a border pixel each side) per slider
// value: pixel k carries red-green k + shift and blue-yellow 65535 - k + shift
// (mod 65536), the shift moving with the slider so that every sample value
// meets many lane positions of the vectors over the run. Returns the number
// of slider values whose image came out wrong.
int exhaustiveMismatches(RowPath path, int32_t pixelStep)
{
    LoadedPlugin plugin(testing_support::rowPaths().library());
    plugin.host.setBool("vivanto_enabled", true);
    auto& image =
        plugin.host.addImage({.width = 254, .height = 256, .border = 1, .pixelStep = pixelStep});
    // Lightness, and the fourth sample of four-sample pixels, vary too.
    for (std::size_t i = 0; i < image.samples().size(); ++i)
        if (image.samples()[i] != standin::kGuardValue)
            image.samples()[i] = static_cast<uint16_t>(i * 40503u);
    const ChromaIndex index = chromaIndex(image);
    std::vector<uint16_t> before = image.samples();

    int mismatches = 0;
    for (int32_t slider = testing_support::kSliderMin; slider <= testing_support::kSliderMax;
         ++slider) {
        int32_t other = testing_support::kSliderMin + testing_support::kSliderMax - slider;
        auto shift = static_cast<uint32_t>(slider * 37);
        for (std::size_t k = 0; k < index.redGreen.size(); ++k) {
            before[index.redGreen[k]] = static_cast<uint16_t>(k + shift);
            before[index.blueYellow[k]] = static_cast<uint16_t>(65535u - k + shift);
        }
        image.samples() = before;
        plugin.host.setInt("vivanto_rg", slider);
        plugin.host.setInt("vivanto_by", other);
        EXPECT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
        plugin.host.log().clear();
        std::vector<uint16_t> expected = expectedAfter(before, index, slider, other, true);
        if (image.samples() != expected && ++mismatches <= 3)
            ADD_FAILURE() << testing_support::rowPaths().name(path) << ", pixel step " << pixelStep
                          << ", sliders " << slider << "/" << other << ": "
                          << firstDifference(image.samples(), expected);
    }
    return mismatches;
}

// One test for all paths, so that the oracle tables are built once.
TEST(ExhaustiveByPath, EveryPathEverySliderValueAgainstEverySampleMatchesTheOracle)
{
    std::string ran;
    for (RowPath path : kAllPaths) {
        ForcedPath forcedPath(path);
        if (!forcedPath.forced())
            continue;
        for (int32_t pixelStep : {3, 4})
            EXPECT_EQ(exhaustiveMismatches(path, pixelStep), 0)
                << testing_support::rowPaths().name(path) << ", pixel step " << pixelStep;
        ran += testing_support::rowPaths().name(path) + " ";
    }
    RecordProperty("paths", ran);
    std::cout << "paths checked: " << ran << "\n";
}

const auto kEveryPathAndPixelStep =
    ::testing::Combine(::testing::ValuesIn(kAllPaths), ::testing::Values(3, 4));

std::string pathAndStepName(const ::testing::TestParamInfo<std::tuple<RowPath, int32_t>>& info)
{
    return testing_support::rowPaths().name(std::get<0>(info.param)) + "_pixelStep"
        + std::to_string(std::get<1>(info.param));
}

// Slider pairs that reach every kind of lane result: clipping at both ends,
// half-way roundings, identity, flattening to neutral.
const std::pair<int32_t, int32_t> kSliderPairs[] = {
    {15, 35}, {600, -100}, {-50, 0}, {-99, 599}, {0, 0}};

class TailsByPath : public ::testing::TestWithParam<std::tuple<RowPath, int32_t>> {};

// Every width from 0 to more than three of the widest blocks, with borders of 0, 1
// and 8 and one that eats into the row, so that every row length leaves a
// different tail for the vector loop; guard samples around every row and
// guard rows must come back untouched, also with guards of zero width (the
// rows packed against each other).
TEST_P(TailsByPath, EveryRowLengthMatchesTheOracleAndTouchesNothingElse)
{
    auto [path, pixelStep] = GetParam();
    FORCE_OR_SKIP(path);
    LoadedPlugin plugin(testing_support::rowPaths().library());
    plugin.host.setBool("vivanto_enabled", true);
    std::mt19937 random(static_cast<uint32_t>(pixelStep));
    const standin::Guards guardsOf[] = {{.samples = 8, .rows = 1}, {.samples = 0, .rows = 0}};
    for (const standin::Guards& guards : guardsOf)
        for (int32_t border : {0, 1, 8, -2})
            for (int32_t width = 0; width <= kMaxWidth; ++width)
                for (auto [redGreen, blueYellow] : kSliderPairs) {
                    standin::Geometry g{
                        .width = width, .height = 3, .border = border, .pixelStep = pixelStep};
                    auto& image = plugin.host.addImage(g, guards);
                    const ChromaIndex index = chromaIndex(image);
                    for (std::size_t i = 0; i < image.samples().size(); ++i)
                        if (image.samples()[i] != standin::kGuardValue)
                            image.samples()[i] = static_cast<uint16_t>(random());
                    std::vector<uint16_t> before = image.samples();
                    plugin.host.setInt("vivanto_rg", redGreen);
                    plugin.host.setInt("vivanto_by", blueYellow);
                    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
                    std::vector<uint16_t> expected =
                        expectedAfter(before, index, redGreen, blueYellow);
                    ASSERT_EQ(image.samples() == expected, true)
                        << "width " << width << ", border " << border << ", guards "
                        << guards.samples << ", sliders " << redGreen << "/" << blueYellow << ": "
                        << firstDifference(image.samples(), expected);
                }
    EXPECT_TRUE(plugin.host.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(RowPaths, TailsByPath, kEveryPathAndPixelStep, pathAndStepName);

// --- rows fenced by inaccessible pages --------------------------------------

// Two readable pages between two inaccessible ones. A row placed against
// either fence crashes the test on any load or store beyond its first walked
// pixel's sample 0 or its last walked pixel's channel 2.
class FencedPages {
public:
    FencedPages()
    {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* mapping =
            mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        base_ = static_cast<char*>(mapping);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + 3 * page_, page_, PROT_NONE);
    }
    ~FencedPages() { munmap(base_, 4 * page_); }
    FencedPages(const FencedPages&) = delete;
    FencedPages& operator=(const FencedPages&) = delete;

    std::size_t capacity() const { return page_; } // samples that fit
    uint16_t* afterLowFence() { return reinterpret_cast<uint16_t*>(base_ + page_); }
    uint16_t* beforeHighFence(std::size_t samples)
    {
        return reinterpret_cast<uint16_t*>(base_ + 3 * page_) - samples;
    }

private:
    std::size_t page_ = 0;
    char* base_ = nullptr;
};

// The row the fenced host hands out, whatever row is asked for.
uint16_t* fencedRow = nullptr;

uint16_t* HOST_CALL fencedImageRow(ImageHandle, int32_t)
{
    return fencedRow;
}

class FencedByPath : public ::testing::TestWithParam<std::tuple<RowPath, int32_t>> {};

// Rows against either fence and rows a few samples from it, so that rows
// start and end at many positions within a cache line; the samples between
// the fence and the row must come back untouched.
TEST_P(FencedByPath, RowsAgainstAnInaccessiblePageAreScaledInPlace)
{
    const std::size_t kGaps[] = {0, 1, 2, 3, 8, 13, 31}; // samples between fence and row
    auto [path, pixelStep] = GetParam();
    FORCE_OR_SKIP(path);
    LoadedPlugin plugin(testing_support::rowPaths().library());
    plugin.host.setBool("vivanto_enabled", true);
    plugin.host.setInt("vivanto_rg", 600);
    plugin.host.setInt("vivanto_by", -50);
    plugin.host.record()->imageRow = fencedImageRow;
    FencedPages pages;
    const auto& redGreen = oracleTable(600, false);
    const auto& blueYellow = oracleTable(-50, false);
    std::mt19937 random(7);
    for (bool againstHighFence : {false, true})
        for (int32_t border : {0, 3})
            for (int32_t width = 1; width <= kMaxWidth; ++width)
                for (std::size_t gap : kGaps) {
                    int32_t pixels = width + 2 * border;
                    auto span =
                        static_cast<std::size_t>(pixels - 1) * static_cast<std::size_t>(pixelStep)
                        + 3;
                    ASSERT_LE(span + gap, pages.capacity());
                    uint16_t* area = againstHighFence ? pages.beforeHighFence(span + gap)
                                                      : pages.afterLowFence();
                    std::size_t first = againstHighFence ? 0 : gap;
                    std::vector<uint16_t> before(span + gap);
                    for (uint16_t& sample : before)
                        sample = static_cast<uint16_t>(random());
                    std::memcpy(area, before.data(), before.size() * sizeof(uint16_t));
                    std::vector<uint16_t> expected = before;
                    for (std::size_t at = first; at < first + span;
                         at += static_cast<std::size_t>(pixelStep)) {
                        expected[at + 1] = redGreen[before[at + 1]];
                        expected[at + 2] = blueYellow[before[at + 2]];
                    }
                    auto& image = plugin.host.addImage(
                        {.width = width, .height = 1, .border = border, .pixelStep = pixelStep});
                    fencedRow = area + first + static_cast<std::ptrdiff_t>(border) * pixelStep;
                    ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
                    std::vector<uint16_t> after(area, area + before.size());
                    ASSERT_EQ(after, expected)
                        << "width " << width << ", border " << border << ", " << gap
                        << " samples from the " << (againstHighFence ? "high" : "low") << " fence";
                }
}

INSTANTIATE_TEST_SUITE_P(RowPaths, FencedByPath, kEveryPathAndPixelStep, pathAndStepName);

// --- the testing build's path switch itself ---------------------------------

TEST(RowPathSwitch, ScalarAndSse2AreAlwaysOfferedAndUnknownPathsRefused)
{
    auto& paths = testing_support::rowPaths();
    EXPECT_TRUE(paths.available(RowPath::Scalar));
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_TRUE(paths.available(RowPath::Sse2));
#endif
#if HUEFLARE_PLAIN_SINGLE
    // A fused multiply-add would round once where plain single rounds twice.
    EXPECT_FALSE(paths.available(RowPath::AvxFma));
#endif
    EXPECT_FALSE(paths.force(static_cast<RowPath>(kRowPathCount)));
    EXPECT_FALSE(paths.force(static_cast<RowPath>(-2)));
    EXPECT_EQ(paths.name(RowPath::AvxFma), "avx_fma");
}

#if defined(__x86_64__) || defined(__i386__)
// The plug-in asks cpuid and xgetbv itself; the compiler's runtime asks them
// too (operating system support included). Both must agree on every path,
// so that no path is skipped on a CPU that has it, nor run on one without.
TEST(RowPathSwitch, EveryPathIsOfferedExactlyWhereTheCpuHasItsInstructions)
{
    __builtin_cpu_init();
    bool avx = __builtin_cpu_supports("avx") != 0, fma = __builtin_cpu_supports("fma") != 0;
    const std::pair<RowPath, bool> expected[] = {
        {RowPath::Sse2, true},
        {RowPath::Avx, avx},
        {RowPath::AvxFma, avx && fma && !HUEFLARE_PLAIN_SINGLE},
        {RowPath::Avx2, __builtin_cpu_supports("avx2") != 0 && fma},
        {RowPath::Avx512,
         __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0},
    };
    auto& paths = testing_support::rowPaths();
    for (auto [path, offered] : expected)
        EXPECT_EQ(paths.available(path), offered) << paths.name(path);
    EXPECT_EQ(paths.name(RowPath::Avx512), "avx512");
}
#endif

} // namespace
