// The vectorscope's parts on their own: the density against a direct count,
// from one thread and from several at once; the output gamut's boundary
// against the primaries and secondaries that LittleCMS computes here in
// double precision; and the plot's orientation, zoom and edge.
#include "ab_density.h"
#include "case_name.h"
#include "colour.h"
#include "gamut_boundary.h"
#include "photo.h"
#include "tool_support.h"
#include "vectorscope.h"
#include "working_image.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <map>
#include <numbers>
#include <random>
#include <thread>

namespace {

using namespace vivanto;

uint16_t encoded(double units)
{
    return uint16_t(std::clamp(std::floor(kNeutral + units * kChromaPerUnit + 0.5), 0.0, 65535.0));
}

// The bin a sample belongs to, counted from the sample's distance to neutral:
// bins are 64 samples wide, the middle one centred on neutral.
int expectedBin(uint16_t sample)
{
    return kNeutralBin + int(std::floor((double(sample) - kNeutral + 32) / 64));
}

struct Cluster {
    double a, b;
    double spread; // standard deviation of a* and b* around it; 0: all on one spot
    int pixels;
};

struct DensityCase {
    std::string name;
    std::vector<Cluster> clusters;
    int threads;
};

void PrintTo(const DensityCase& row, std::ostream* out)
{
    *out << row.name;
}

std::vector<uint16_t> samplesOf(const std::vector<Cluster>& clusters)
{
    std::mt19937 random(5);
    std::vector<uint16_t> working;
    for (const Cluster& c : clusters) {
        std::normal_distribution<double> jitter(0, c.spread > 0 ? c.spread : 1);
        for (int p = 0; p < c.pixels; ++p) {
            double a = c.a + (c.spread > 0 ? jitter(random) : 0);
            double b = c.b + (c.spread > 0 ? jitter(random) : 0);
            working.insert(working.end(), {uint16_t(random() & 0xFFFF), encoded(a), encoded(b)});
        }
    }
    return working;
}

class ScopeDensity : public testing::TestWithParam<DensityCase> {};

TEST_P(ScopeDensity, CountsEveryPixelInItsBinFromAnyNumberOfThreads)
{
    const DensityCase& c = GetParam();
    std::vector<uint16_t> working = samplesOf(c.clusters);
    const std::size_t pixels = working.size() / 3;
    std::map<std::pair<int, int>, uint64_t> direct;
    for (std::size_t p = 0; p < pixels; ++p)
        ++direct[{expectedBin(working[p * 3 + 2]), expectedBin(working[p * 3 + 1])}];

    AbDensity density;
    for (int round = 0; round < 2; ++round) { // the second after clear(), on the grids kept
        std::vector<std::jthread> threads;
        threads.reserve(std::size_t(c.threads));
        constexpr std::size_t kChunk = 997; // calls of many sizes, interleaved
        std::atomic<std::size_t> next{0};
        for (int t = 0; t < c.threads; ++t)
            threads.emplace_back([&] {
                for (std::size_t from = next.fetch_add(kChunk); from < pixels;
                     from = next.fetch_add(kChunk))
                    density.add(working.data() + from * 3, std::min(kChunk, pixels - from));
            });
        threads.clear();
        std::vector<uint64_t> counts = density.counts();
        ASSERT_EQ(counts.size(), std::size_t(kDensityBins) * kDensityBins);
        EXPECT_EQ(density.pixels(), pixels);
        std::map<std::pair<int, int>, uint64_t> found;
        for (int bb = 0; bb < kDensityBins; ++bb)
            for (int ba = 0; ba < kDensityBins; ++ba)
                if (uint64_t n = counts[std::size_t(bb) * kDensityBins + std::size_t(ba)])
                    found[{bb, ba}] = n;
        EXPECT_EQ(found, direct) << "round " << round;
        density.clear();
        EXPECT_EQ(density.pixels(), 0u);
    }
    // A bin's centre is within an eighth of a unit of every colour in it.
    for (const Cluster& cluster : c.clusters)
        if (cluster.spread == 0 && std::abs(cluster.a) < 127.9 && std::abs(cluster.b) < 127.9) {
            EXPECT_NEAR(AbDensity::unitsAtBin(AbDensity::binOf(encoded(cluster.a))), cluster.a,
                        0.125 + 1.0 / 256);
            EXPECT_NEAR(AbDensity::unitsAtBin(AbDensity::binOf(encoded(cluster.b))), cluster.b,
                        0.125 + 1.0 / 256);
        }
}

INSTANTIATE_TEST_SUITE_P(
    Clusters, ScopeDensity,
    testing::Values(DensityCase{"neutral_and_four_quadrants",
                                {{0, 0, 0, 5000},
                                 {40, 30, 0, 300},
                                 {-40, 30, 0, 200},
                                 {-12.3, -70.1, 0, 100},
                                 {55.5, -0.2, 0, 7}},
                                1},
                    DensityCase{"bin_edges_and_the_encodings_ends",
                                {{0.124, -0.126, 0, 10},
                                 {0.125, 0.126, 0, 10},
                                 {-128, 128, 0, 20},
                                 {128, -128, 0, 30},
                                 {-127.9, 127.9, 0, 5}},
                                1},
                    DensityCase{"clouds_from_four_threads",
                                {{30, -20, 6, 60000}, {-5, 45, 12, 40000}, {0, 0, 0.3, 30000}},
                                4},
                    DensityCase{"one_spot_from_eight_threads", {{17.25, 17.25, 0, 100000}}, 8}),
    testing_support::CaseName());

// Primaries and secondaries of an RGB profile in CIE L*a*b* (D50), relative
// colorimetric, straight from LittleCMS in double precision.
std::vector<std::array<double, 3>> cornersLab(const std::vector<unsigned char>& profile)
{
    cmsHPROFILE rgb = profile.empty()
        ? cmsCreate_sRGBProfile()
        : cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(rgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                                             INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    std::vector<std::array<double, 3>> corners;
    for (std::array<double, 3> colour : std::vector<std::array<double, 3>>{
             {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}}) {
        cmsCIELab out;
        cmsDoTransform(toLab, colour.data(), &out, 1);
        corners.push_back({out.L, out.a, out.b});
    }
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(rgb);
    return corners;
}

std::vector<unsigned char> displayP3()
{
    tool_test::ScratchFolder folder;
    tool_test::writePhoto({tool_test::Kind::Png, 8, false, false, true}, folder / "p3.png");
    std::size_t length = 0;
    vips::VImage image = tool_test::load(folder / "p3.png");
    auto* bytes = static_cast<const unsigned char*>(image.get_blob("icc-profile-data", &length));
    return {bytes, bytes + length};
}

double hueOf(double a, double b)
{
    return std::atan2(b, a) * 180 / std::numbers::pi;
}

struct GamutCase {
    std::string name;
    bool p3;
    int bits;
};

void PrintTo(const GamutCase& row, std::ostream* out)
{
    *out << row.name;
}

class ScopeGamut : public testing::TestWithParam<GamutCase> {};

TEST_P(ScopeGamut, PrimariesAndSecondariesLieOnTheBoundaryAtTheirLightness)
{
    const GamutCase& c = GetParam();
    std::vector<unsigned char> profile = c.p3 ? displayP3() : std::vector<unsigned char>{};
    ColourSpace space(profile, false, c.bits);
    std::vector<std::array<double, 3>> corners = cornersLab(profile);
    std::vector<double> levels;
    levels.reserve(corners.size() + 1);
    for (const auto& corner : corners)
        levels.push_back(corner[0]);
    levels.push_back(50);
    GamutBoundary gamut(space, levels);
    const char* names[] = {"red", "green", "blue", "cyan", "magenta", "yellow"};
    for (std::size_t i = 0; i < corners.size(); ++i) {
        double chroma = std::hypot(corners[i][1], corners[i][2]);
        double edge = gamut.chromaAt(i, hueOf(corners[i][1], corners[i][2]));
        EXPECT_GE(edge, chroma - 0.5) << names[i] << " lies outside the boundary";
        EXPECT_LE(edge, chroma + 1.5) << names[i] << " lies well inside the boundary";
    }
    // Neutral well inside at every hue, and nothing beyond the strongest corner.
    double strongest = 0;
    for (const auto& corner : corners)
        strongest = std::max(strongest, std::hypot(corner[1], corner[2]));
    for (int hue = 0; hue < 360; ++hue) {
        EXPECT_GT(gamut.chromaAt(corners.size(), hue), 15) << "hue " << hue;
        EXPECT_LT(gamut.chromaAt(corners.size(), hue), strongest) << "hue " << hue;
    }
}

INSTANTIATE_TEST_SUITE_P(Spaces, ScopeGamut,
                         testing::Values(GamutCase{"srgb_8", false, 8},
                                         GamutCase{"srgb_16", false, 16},
                                         GamutCase{"display_p3_16", true, 16}),
                         testing_support::CaseName());

TEST(ScopeGamut, AGreySpaceHoldsNeutralOnly)
{
    GamutBoundary gamut(ColourSpace({}, true, 8));
    for (int hue = 0; hue < 360; hue += 7)
        EXPECT_EQ(gamut.chromaAt(1, hue), 0.0);
}

struct RenderCase {
    std::string name;
    double a, b, zoom;
    int expectX, expectY; // where the spot's centre lands in the after panel
};

void PrintTo(const RenderCase& row, std::ostream* out)
{
    *out << row.name;
}

class ScopeRender : public testing::TestWithParam<RenderCase> {};

// Where the brightest neutral (trace) pixel of a panel is; -1, -1 for none.
// Faint edges of tinted labels round to neutral, far darker than any trace.
std::pair<int, int> brightestTrace(const ScopeImage& image, int left, int size)
{
    std::pair<int, int> best{-1, -1};
    int brightest = 40;
    for (int y = 0; y < size; ++y)
        for (int x = left; x < left + size; ++x) {
            const uint8_t* p =
                image.rgb.data() + (std::size_t(y) * std::size_t(image.width) + std::size_t(x)) * 3;
            if (p[0] == p[1] && p[1] == p[2] && p[0] > brightest) {
                brightest = p[0];
                best = {x - left, y};
            }
        }
    return best;
}

TEST_P(ScopeRender, PutsASpotWhereItsColourIsAndOnlyInItsPanel)
{
    const RenderCase& c = GetParam();
    startImageLibrary("vivanto_tests");
    std::vector<uint16_t> spot;
    for (int p = 0; p < 50; ++p)
        spot.insert(spot.end(), {30000, encoded(c.a), encoded(c.b)});
    AbDensity before, after;
    after.add(spot.data(), 50);
    ScopeView view{.panelSize = 256, .zoom = c.zoom};
    ScopeImage image = renderScope(before, after, nullptr, view);
    ASSERT_EQ(image.width, 512);
    ASSERT_EQ(image.height, 256);
    ASSERT_EQ(image.rgb.size(), 512u * 256 * 3);
    auto [x, y] = brightestTrace(image, 256, 256);
    EXPECT_NEAR(x, c.expectX, 1);
    EXPECT_NEAR(y, c.expectY, 1);
    EXPECT_EQ(brightestTrace(image, 0, 256).first, -1) << "the before panel holds no pixels";
    std::vector<unsigned char> png = scopePng(image);
    vips::VImage decoded = vips::VImage::new_from_buffer(png.data(), png.size(), "");
    std::size_t size = 0;
    void* pixels = decoded.write_to_memory(&size);
    EXPECT_TRUE(size == image.rgb.size()
                && std::equal(image.rgb.begin(), image.rgb.end(), static_cast<uint8_t*>(pixels)))
        << "the PNG holds the plot's pixels";
    g_free(pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Spots, ScopeRender,
    // 256 pixels across 256 units at zoom 1; neutral at pixel 128, 128.
    testing::Values(RenderCase{"red_is_right", 60, 0, 1, 128 + 60, 128},
                    RenderCase{"yellow_is_up", 0, 60, 1, 128, 128 - 60},
                    RenderCase{"blue_green_is_down_left", -40, -30, 1, 128 - 40, 128 + 30},
                    RenderCase{"zoomed_twice", 30, 20, 2, 128 + 60, 128 - 40},
                    RenderCase{"beyond_the_view_on_its_edge", 100, -10, 2, 255, 128 + 20},
                    RenderCase{"clamped_by_the_encoding_on_the_edge", -128, 128, 1, 0, 0}),
    testing_support::CaseName());

} // namespace
