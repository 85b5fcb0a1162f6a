// Out of the output's gamut, against LittleCMS in double precision without
// clamping (gamut_oracle.h): an unchanged photo is never out of gamut of its
// own profile, saturated primaries and colours on the gamut's edge included;
// the unclamped codes say where a colour lies; the chain marks and counts
// exactly the pixels LittleCMS finds outside after the plug-in's own stage,
// and the pixels the working encoding clipped on the way in; and
// compression keeps lightness and hue where clipping turns hues.
#include "case_name.h"
#include "chain.h"
#include "colour.h"
#include "gamut_oracle.h"
#include "reference_chart.h"
#include "stage_host.h"
#include "stats.h"
#include "working_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace {

using namespace vivanto;
using gamut_test::Oracle;
using gamut_test::Profile;
using vips::VImage;
using Colour = std::array<double, 3>; // device values 0..1

// Levels of each channel: the ends and their neighbours, where rounding
// carries colours outside, and some between.
std::vector<int> edgeLevels(int maximum)
{
    std::vector<int> levels{0, 1, 2, 3, maximum - 3, maximum - 2, maximum - 1, maximum};
    for (int i = 1; i < 16; ++i)
        levels.push_back(maximum * i / 16);
    return levels;
}

std::vector<uint16_t> codesOf(const std::vector<int>& levels, int channels)
{
    std::vector<uint16_t> codes;
    for (int r : levels)
        for (int g : channels == 3 ? levels : std::vector<int>{0})
            for (int b : channels == 3 ? levels : std::vector<int>{0}) {
                const int level[3] = {r, g, b};
                for (int c = 0; c < channels; ++c)
                    codes.push_back(uint16_t(level[c]));
            }
    return codes;
}

struct IdentityCase {
    std::string name;
    Profile profile;
    int bits, outputBits;
};

class GamutIdentity : public testing::TestWithParam<IdentityCase> {};

TEST_P(GamutIdentity, NoColourOfTheProfileIsOutOfItsGamut)
{
    const IdentityCase& c = GetParam();
    bool grey = gamut_test::isGrey(c.profile);
    std::vector<unsigned char> bytes = gamut_test::bytesOf(c.profile);
    ColourSpace in(bytes, grey, c.bits);
    ColourSpace out(bytes, grey, c.outputBits);
    std::vector<uint16_t> codes = codesOf(edgeLevels(c.bits == 16 ? 65535 : 255), grey ? 1 : 3);
    std::vector<uint8_t> narrow(codes.begin(), codes.end());
    // One by one, to leave out colours the working encoding cannot hold
    // (ProPhoto's primaries), which it clamps before anything else.
    std::vector<uint16_t> working;
    std::size_t bytesPerPixel = std::size_t((grey ? 1 : 3) * c.bits / 8);
    const auto* samples =
        c.bits == 16 ? reinterpret_cast<const unsigned char*>(codes.data()) : narrow.data();
    std::vector<uint16_t> kept;
    for (std::size_t p = 0; p < codes.size() / (grey ? 1 : 3); ++p) {
        uint16_t pixel[kChannels];
        if (in.toWorkingCounted(samples + p * bytesPerPixel, pixel, 1) != 0)
            continue;
        working.insert(working.end(), pixel, pixel + kChannels);
        kept.insert(kept.end(), codes.begin() + std::ptrdiff_t(p * (grey ? 1 : 3)),
                    codes.begin() + std::ptrdiff_t((p + 1) * (grey ? 1 : 3)));
    }
    std::size_t pixels = working.size() / kChannels;
    ASSERT_GT(pixels, codes.size() / (grey ? 1 : 3) / 2);
    codes = kept;
    std::vector<uint8_t> outside(pixels);
    EXPECT_EQ(out.outOfGamut(working.data(), outside.data(), pixels), 0U);
    auto first = std::find(outside.begin(), outside.end(), 1);
    if (first != outside.end()) {
        auto p = std::size_t(first - outside.begin()) * (grey ? 1 : 3);
        ADD_FAILURE() << "first out of gamut: " << codes[p] << " " << codes[p + 1] << " "
                      << codes[p + 2];
    }

    // The same colours with their chroma half as large again: many are out.
    for (std::size_t p = 0; p < pixels; ++p)
        for (int axis = 1; axis <= 2; ++axis) {
            uint16_t& sample = working[p * kChannels + std::size_t(axis)];
            sample =
                uint16_t(std::clamp(kNeutral + 1.5 * (sample - double{kNeutral}), 0.0, 65535.0));
        }
    std::size_t pushed = out.outOfGamut(working.data(), outside.data(), pixels);
    if (grey) {
        EXPECT_EQ(pushed, 0U) << "grey keeps lightness alone";
    } else {
        EXPECT_GT(pushed, pixels / 10);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, GamutIdentity,
    testing::Values(IdentityCase{"srgb_8", Profile::Srgb, 8, 8},
                    IdentityCase{"srgb_16", Profile::Srgb, 16, 16},
                    IdentityCase{"srgb_8_to_16", Profile::Srgb, 8, 16},
                    IdentityCase{"display_p3_16_to_8", Profile::DisplayP3, 16, 8},
                    IdentityCase{"adobe_like_8", Profile::AdobeLike, 8, 8},
                    IdentityCase{"adobe_like_16", Profile::AdobeLike, 16, 16},
                    IdentityCase{"prophoto_like_16", Profile::ProPhotoLike, 16, 16},
                    IdentityCase{"lut_8", Profile::Lut, 8, 8},
                    IdentityCase{"lut_16", Profile::Lut, 16, 16},
                    IdentityCase{"grey_16", Profile::Grey, 16, 16}),
    testing_support::CaseName());

struct UnclampedCase {
    std::string name;
    Profile profile;
    int bits;
};

class GamutUnclamped : public testing::TestWithParam<UnclampedCase> {};

// Inside the range the codes agree with LittleCMS's to a quarter of a code on
// 8 bits and one on 16 (as the rounded way back does; near the sRGB curve's
// joint LittleCMS's float evaluation of it differs by a third of a code);
// outside, they lie on the same side of it.
TEST_P(GamutUnclamped, CodesAgreeWithLittleCmsAndKeepTheirSignOutside)
{
    const UnclampedCase& c = GetParam();
    ColourSpace space(gamut_test::bytesOf(c.profile), false, c.bits);
    Oracle oracle(c.profile);
    const double maximum = c.bits == 16 ? 65535.0 : 255.0;
    std::mt19937 random(5);
    std::uniform_int_distribution<int> lightness(0, 65535), chroma(32767 - 25600, 32767 + 25600);
    constexpr std::size_t kPixels = 20000;
    std::vector<uint16_t> working(kPixels * kChannels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        working[3 * i] = uint16_t(lightness(random));
        working[3 * i + 1] = uint16_t(chroma(random));
        working[3 * i + 2] = uint16_t(chroma(random));
    }
    std::vector<float> codes(kPixels * 3);
    space.fromWorkingUnclamped(working.data(), codes.data(), kPixels);
    int inside = 0, outside = 0;
    for (std::size_t i = 0; i < kPixels; ++i) {
        std::array<double, 3> device = oracle.toDevice(&working[3 * i]);
        for (std::size_t ch = 0; ch < 3; ++ch) {
            double expected = device[ch] * maximum, ours = codes[3 * i + ch];
            if (expected >= 0 && expected <= maximum) {
                ++inside;
                ASSERT_NEAR(ours, expected, c.bits == 16 ? 1.0 : 0.25)
                    << "pixel " << i << " channel " << ch << " " << working[3 * i] << " "
                    << working[3 * i + 1] << " " << working[3 * i + 2];
            } else if (expected < -1 || expected > maximum + 1) {
                ++outside;
                ASSERT_EQ(ours < 0, expected < 0) << "pixel " << i << " channel " << ch;
                ASSERT_TRUE(ours < -0.5 || ours > maximum + 0.5) << "pixel " << i;
            }
        }
    }
    EXPECT_GT(inside, 1000);
    EXPECT_GT(outside, 1000);
}

INSTANTIATE_TEST_SUITE_P(Profiles, GamutUnclamped,
                         testing::Values(UnclampedCase{"srgb_8", Profile::Srgb, 8},
                                         UnclampedCase{"srgb_16", Profile::Srgb, 16},
                                         UnclampedCase{"display_p3_16", Profile::DisplayP3, 16},
                                         UnclampedCase{"lut_16", Profile::Lut, 16}),
                         testing_support::CaseName());

// --- photos through the chain ---

constexpr int kPatch = 3; // pixels per side of a patch
constexpr int kPatchesAcross = 12;

Photo photoOf(const std::vector<Colour>& colours, Profile profile, int bits)
{
    bool grey = gamut_test::isGrey(profile);
    int channels = grey ? 1 : 3;
    int rows = int((colours.size() + kPatchesAcross - 1) / kPatchesAcross);
    int width = kPatchesAcross * kPatch, height = rows * kPatch;
    double maximum = bits == 16 ? 65535.0 : 255.0;
    std::vector<uint16_t> samples;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::size_t patch = std::size_t(y / kPatch) * kPatchesAcross + std::size_t(x / kPatch);
            const Colour& colour = colours[std::min(patch, colours.size() - 1)];
            for (int c = 0; c < channels; ++c)
                samples.push_back(uint16_t(std::lround(colour[std::size_t(c)] * maximum)));
        }
    VImage image = VImage::new_from_memory(samples.data(), samples.size() * 2, width, height,
                                           channels, VIPS_FORMAT_USHORT)
                       .cast(bandFormatOf(bits))
                       .copy(VImage::option()->set("interpretation", interpretationOf(grey, bits)));
    Photo photo{.format = FileFormat::Tiff, .bits = bits, .grey = grey};
    photo.profile = gamut_test::bytesOf(profile);
    photo.image = image.copy_memory();
    return photo;
}

using gamut_test::expectedResults;
using gamut_test::pixelBytes;

std::vector<Colour> devicePixels(const Photo& photo)
{
    return gamut_test::devicePixels(photo.image, photo.bits, photo.grey ? 1 : 3);
}

struct ChainMarks {
    std::vector<uint8_t> marks;
    GamutCounts counts;
    std::vector<unsigned char> result;
};

ChainMarks runChain(StageHost* stage, const Photo& photo, int outputBits, GamutMode mode)
{
    ChainMarks run;
    ChainOptions options{.outputBits = outputBits,
                         .rowsPerStrip = 5,
                         .gamut = mode,
                         .outOfGamutPixels = &run.marks,
                         .countGamut = true};
    auto chain = stage != nullptr ? std::make_unique<Chain>(*stage, photo, options)
                                  : std::make_unique<Chain>(photo, options);
    chain->run([&] { run.result = pixelBytes(chain->result()); });
    run.counts = chain->gamutCounts();
    return run;
}

std::vector<Colour> colourGrid()
{
    const double levels[] = {0.0, 0.15, 0.35, 0.55, 0.8, 1.0};
    std::vector<Colour> colours;
    for (double r : levels)
        for (double g : levels)
            for (double b : levels)
                colours.push_back({r, g, b});
    return colours;
}

// Colours whose verdict after the stage is the same at half a code and at 2 %
// of the range: the two counts must agree on them, whatever the slack.
std::vector<Colour> clearCut(const std::vector<Colour>& colours, Profile profile, int outputBits,
                             const AxisResponses& responses)
{
    Oracle oracle(profile);
    double halfCode = 0.5 / (outputBits == 16 ? 65535.0 : 255.0);
    std::vector<Colour> kept;
    for (const Colour& colour : colours) {
        std::array<uint16_t, 3> result = expectedResults(oracle, {colour}, responses)[0];
        if (oracle.outside(result.data(), halfCode) == oracle.outside(result.data(), 0.02))
            kept.push_back(colour);
    }
    return kept;
}

struct CountCase {
    std::string name;
    Profile profile;
    int bits, outputBits;
    int32_t rg, by;
    bool chart; // the example chart rather than a grid of colours
};

class GamutCounting : public testing::TestWithParam<CountCase> {};

TEST_P(GamutCounting, ChainMarksWhatLittleCmsFindsOutside)
{
    const CountCase& c = GetParam();
    startImageLibrary("vivanto_tests");
    StageHost stage(SERVE_TEST_PLUGIN);
    stage.edit("vivanto_rg", c.rg);
    stage.edit("vivanto_by", c.by);
    AxisResponses responses = stageResponses(stage, c.rg, c.by);
    Photo photo;
    if (c.chart) {
        photo = Photo{.format = FileFormat::Tiff, .bits = 16};
        photo.image = referenceChart().copy_memory();
    } else {
        photo =
            photoOf(clearCut(colourGrid(), c.profile, c.outputBits, responses), c.profile, c.bits);
    }
    Oracle oracle(c.profile);
    uint64_t clamped = 0;
    std::vector<std::array<uint16_t, 3>> results =
        expectedResults(oracle, devicePixels(photo), responses, &clamped);
    double halfCode = 0.5 / (c.outputBits == 16 ? 65535.0 : 255.0);
    // 1 out, 0 in; 2 where the verdict at half a code and at 2 % of the range
    // differ: a pixel that close to the edge may lie within the working
    // encoding's rounding of it, and may go either way.
    std::vector<uint8_t> expected;
    for (const auto& result : results) {
        bool strict = oracle.outside(result.data(), halfCode);
        expected.push_back(strict == oracle.outside(result.data(), 0.02) ? (strict ? 1 : 0) : 2);
    }
    auto outside = uint64_t(std::count(expected.begin(), expected.end(), 1));
    auto nearEdge = uint64_t(std::count(expected.begin(), expected.end(), 2));
    if (!c.chart) {
        EXPECT_EQ(nearEdge, 0U) << "the photo holds only clear-cut colours";
    }
    if (gamut_test::isGrey(c.profile)) {
        EXPECT_EQ(outside, 0U);
    } else {
        EXPECT_GT(outside, expected.size() / 20) << "the photo must have pixels out of gamut";
    }

    ChainMarks run = runChain(&stage, photo, c.outputBits, GamutMode::Clip);
    EXPECT_GE(run.counts.outOfGamut, outside);
    EXPECT_LE(run.counts.outOfGamut, outside + nearEdge);
    EXPECT_EQ(run.counts.clippedOnTheWayIn, clamped);
    if (c.profile == Profile::ProPhotoLike) {
        EXPECT_GT(clamped, 0U) << "its greens and blues lie beyond a* or b* of 128";
    }
    ASSERT_EQ(run.marks.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p) {
        if (expected[p] != 2) {
            ASSERT_EQ(run.marks[p], expected[p]) << "pixel " << p;
        }
    }

    // Unchanged, nothing is out of gamut, whether the stage is at 0 or not
    // called (unless the working encoding clipped it on the way in).
    if (clamped != 0)
        return;
    stage.edit("vivanto_rg", 0);
    stage.edit("vivanto_by", 0);
    EXPECT_EQ(runChain(&stage, photo, c.outputBits, GamutMode::Clip).counts.outOfGamut, 0U);
    EXPECT_EQ(runChain(nullptr, photo, c.outputBits, GamutMode::Clip).counts.outOfGamut, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Photos, GamutCounting,
    testing::Values(CountCase{"srgb_8", Profile::Srgb, 8, 8, 150, 100, false},
                    CountCase{"srgb_16", Profile::Srgb, 16, 16, 80, 200, false},
                    CountCase{"display_p3_8_to_16", Profile::DisplayP3, 8, 16, 150, 100, false},
                    CountCase{"display_p3_16_to_8", Profile::DisplayP3, 16, 8, 250, -50, false},
                    CountCase{"prophoto_like_16_clipped_on_the_way_in", Profile::ProPhotoLike, 16,
                              16, 100, 100, false},
                    CountCase{"grey_8", Profile::Grey, 8, 8, 300, 300, false},
                    CountCase{"example_chart", Profile::Srgb, 16, 16, 40, 35, true}),
    testing_support::CaseName());

// --- compression ---

// Hues all round at a fair chroma, and greys.
std::vector<Colour> hueRamp()
{
    std::vector<Colour> colours;
    for (int step = 0; step < 72; ++step) {
        double h = step / 12.0; // HSV at S 0.7, V 0.85
        double v = 0.85, low = v * 0.3, f = h - std::floor(h);
        double rising = low + (v - low) * f, falling = v - (v - low) * f;
        switch (int(h) % 6) {
        case 0:
            colours.push_back({v, rising, low});
            break;
        case 1:
            colours.push_back({falling, v, low});
            break;
        case 2:
            colours.push_back({low, v, rising});
            break;
        case 3:
            colours.push_back({low, falling, v});
            break;
        case 4:
            colours.push_back({rising, low, v});
            break;
        default:
            colours.push_back({v, low, falling});
            break;
        }
    }
    for (double grey : {0.1, 0.5, 0.9})
        colours.push_back({grey, grey, grey});
    return colours;
}

struct CompressCase {
    std::string name;
    Profile profile;
    int bits, outputBits;
    int32_t rg, by;
    bool chart;
};

class GamutCompress : public testing::TestWithParam<CompressCase> {};

// Lightness within 0.6 of L* and hue within 1.5 degrees of the stage's result
// (as LittleCMS measures the written codes), on the gamut's edge; pixels in
// gamut exactly as clipped; and where nothing is out, the same as clip.
TEST_P(GamutCompress, KeepsLightnessAndHueWhereClipTurnsThem)
{
    const CompressCase& c = GetParam();
    startImageLibrary("vivanto_tests");
    StageHost stage(SERVE_TEST_PLUGIN);
    stage.edit("vivanto_rg", c.rg);
    stage.edit("vivanto_by", c.by);
    Photo photo;
    if (c.chart) {
        photo = Photo{.format = FileFormat::Tiff, .bits = 16};
        photo.image = referenceChart().copy_memory();
    } else {
        photo = photoOf(hueRamp(), c.profile, c.bits);
    }
    Oracle oracle(c.profile);
    std::vector<std::array<uint16_t, 3>> wanted =
        expectedResults(oracle, devicePixels(photo), stageResponses(stage, c.rg, c.by));
    ChainMarks clip = runChain(&stage, photo, c.outputBits, GamutMode::Clip);
    ChainMarks compress = runChain(&stage, photo, c.outputBits, GamutMode::Compress);
    ASSERT_EQ(clip.marks, compress.marks);
    ASSERT_GT(clip.counts.outOfGamut, 0U);

    Photo written = photo;
    written.bits = c.outputBits;
    written.image =
        VImage::new_from_memory(compress.result.data(), compress.result.size(), photo.image.width(),
                                photo.image.height(), 3, bandFormatOf(c.outputBits))
            .copy_memory();
    std::vector<Colour> compressed = devicePixels(written);
    written.image =
        VImage::new_from_memory(clip.result.data(), clip.result.size(), photo.image.width(),
                                photo.image.height(), 3, bandFormatOf(c.outputBits))
            .copy_memory();
    std::vector<Colour> clipped = devicePixels(written);
    std::size_t pixelBytes = std::size_t(3 * c.outputBits / 8);
    double largestClipTurn = 0;
    for (std::size_t p = 0; p < wanted.size(); ++p) {
        if (clip.marks[p] == 0) {
            ASSERT_EQ(0,
                      std::memcmp(clip.result.data() + p * pixelBytes,
                                  compress.result.data() + p * pixelBytes, pixelBytes))
                << "pixel " << p << " is in gamut and must be left as clip leaves it";
            continue;
        }
        std::array<double, 3> target = gamut_test::labOfWorking(wanted[p].data());
        std::array<double, 3> got = oracle.labOf(compressed[p].data());
        std::array<double, 3> clippedLab = oracle.labOf(clipped[p].data());
        double targetHue = gamut_test::hueDegrees(target[1], target[2]);
        EXPECT_NEAR(got[0], target[0], 0.6) << "pixel " << p;
        EXPECT_LT(gamut_test::hueDistance(gamut_test::hueDegrees(got[1], got[2]), targetHue), 1.5)
            << "pixel " << p;
        EXPECT_LE(std::hypot(got[1], got[2]), std::hypot(target[1], target[2]) + 0.5);
        auto [lowest, highest] = std::minmax_element(compressed[p].begin(), compressed[p].end());
        EXPECT_TRUE(*lowest < 0.01 || *highest > 0.99) << "pixel " << p << " is not on the edge";
        largestClipTurn =
            std::max(largestClipTurn,
                     gamut_test::hueDistance(gamut_test::hueDegrees(clippedLab[1], clippedLab[2]),
                                             targetHue));
    }
    EXPECT_GT(largestClipTurn, 3.0) << "clipping should turn some hue";

    stage.edit("vivanto_rg", 0);
    stage.edit("vivanto_by", 0);
    EXPECT_EQ(runChain(&stage, photo, c.outputBits, GamutMode::Compress).result,
              runChain(&stage, photo, c.outputBits, GamutMode::Clip).result);
}

INSTANTIATE_TEST_SUITE_P(
    Photos, GamutCompress,
    testing::Values(CompressCase{"reference_patches", Profile::Srgb, 16, 16, 150, 150, true},
                    CompressCase{"hue_ramp_srgb_8", Profile::Srgb, 8, 8, 200, 200, false},
                    CompressCase{"hue_ramp_display_p3_16", Profile::DisplayP3, 16, 16, 150, 120,
                                 false}),
    testing_support::CaseName());

} // namespace
