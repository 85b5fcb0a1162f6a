// A photo's chain cut any way gives exactly the pixels of one stage call over
// the whole photo: regions of any size, in any order, from more threads than
// there are strips, on photos whose sizes are no multiple of anything. The
// reference is made here, independently: the whole photo converted, one host
// image with its border filled with copies of the edge pixels, one call, and
// back. A fake stage whose every pixel mixes its neighbours across the whole
// border shows a border that holds anything but the real neighbours inside
// the photo and the edge pixel beyond it.
#include "case_name.h"
#include "chain.h"
#include "colour.h"
#include "stage_host.h"
#include "tool_support.h"
#include "working_image.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace {

using namespace vivanto;
using vips::VImage;

constexpr int32_t kBorder = 4;

struct ChainCase {
    std::string name;
    int32_t width, height;
    int bits;
    bool grey, alpha, profile;
    int outputBits;
    const char* plugin;
    int32_t rowsPerStrip;
    int tileWidth, tileHeight, threads;
};

void PrintTo(const ChainCase& row, std::ostream* out)
{
    *out << row.name;
}

std::vector<unsigned char> displayP3Profile()
{
    tool_test::ScratchFolder folder;
    std::string path = folder / "p3.png";
    tool_test::writePhoto({tool_test::Kind::Png, 8, false, false, true}, path);
    size_t length = 0;
    VImage image = tool_test::load(path);
    auto* bytes = static_cast<const unsigned char*>(image.get_blob("icc-profile-data", &length));
    return {bytes, bytes + length};
}

// Every sample from a fixed pseudo-random sequence over its whole range.
Photo noisePhoto(const ChainCase& c)
{
    int bands = (c.grey ? 1 : 3) + (c.alpha ? 1 : 0);
    std::mt19937 random(uint32_t(c.width * 7919 + c.height));
    std::vector<uint16_t> samples(std::size_t(c.width) * std::size_t(c.height)
                                  * std::size_t(bands));
    for (uint16_t& s : samples)
        s = uint16_t(random() & (c.bits == 16 ? 0xFFFF : 0xFF));
    VImage image =
        VImage::new_from_memory(samples.data(), samples.size() * 2, c.width, c.height, bands,
                                VIPS_FORMAT_USHORT)
            .cast(bandFormatOf(c.bits))
            .copy(VImage::option()->set("interpretation", interpretationOf(c.grey, c.bits)));
    Photo photo{.format = FileFormat::Tiff, .bits = c.bits, .grey = c.grey, .hasAlpha = c.alpha};
    if (c.profile)
        photo.profile = displayP3Profile();
    photo.image = image.copy_memory();
    return photo;
}

std::vector<unsigned char> bytesOf(const VImage& image)
{
    size_t size = 0;
    void* memory = image.write_to_memory(&size);
    std::vector<unsigned char> bytes(static_cast<unsigned char*>(memory),
                                     static_cast<unsigned char*>(memory) + size);
    g_free(memory);
    return bytes;
}

unsigned sampleAt(const unsigned char* samples, std::size_t index, int bits)
{
    if (bits == 8)
        return samples[index];
    uint16_t value = 0;
    std::memcpy(&value, samples + index * 2, 2);
    return value;
}

void putSample(unsigned char* samples, std::size_t index, int bits, unsigned value)
{
    if (bits == 8) {
        samples[index] = static_cast<unsigned char>(value);
        return;
    }
    auto sample = static_cast<uint16_t>(value);
    std::memcpy(samples + index * 2, &sample, 2);
}

// The whole photo through one stage call, as the editor would render it at
// once; or there and back without calling the stage.
std::vector<unsigned char> oneCall(StageHost& stage, const Photo& photo, int outputBits,
                                   bool callStage = true)
{
    const int32_t width = photo.image.width(), height = photo.image.height();
    const int colourBands = photo.grey ? 1 : 3;
    const int bands = colourBands + (photo.hasAlpha ? 1 : 0);
    std::vector<unsigned char> decoded = bytesOf(photo.image);
    std::vector<unsigned char> colour(std::size_t(width) * std::size_t(height)
                                      * std::size_t(colourBands) * std::size_t(photo.bits / 8));
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    for (std::size_t p = 0; p < pixels; ++p)
        for (int b = 0; b < colourBands; ++b)
            putSample(
                colour.data(), p * std::size_t(colourBands) + std::size_t(b), photo.bits,
                sampleAt(decoded.data(), p * std::size_t(bands) + std::size_t(b), photo.bits));

    standin::Host& host = stage.host();
    const standin::Geometry geometry{
        .width = width, .height = height, .border = kBorder, .kind = kPixelFormat};
    const standin::Guards guards{};
    standin::Image& image = host.addImage(geometry, guards);
    ColourSpace in(photo.profile, photo.grey, photo.bits);
    const std::size_t colourRow = std::size_t(width) * std::size_t(colourBands * photo.bits / 8);
    for (int32_t y = 0; y < height; ++y) {
        in.toWorking(colour.data() + std::size_t(y) * colourRow, image.row(y), std::size_t(width));
        for (int32_t b = 1; b <= kBorder; ++b)
            for (int c = 0; c < kChannels; ++c) {
                image.at(-b, y, c) = image.at(0, y, c);
                image.at(width - 1 + b, y, c) = image.at(width - 1, y, c);
            }
    }
    PipeData pipe = host.pipe(&image);
    if (callStage) {
        EXPECT_EQ(stage.processHook()(host.record(), &pipe), 0);
    }

    ColourSpace out(photo.profile, photo.grey, outputBits);
    const std::size_t outRow = std::size_t(width) * std::size_t(colourBands * outputBits / 8);
    std::vector<unsigned char> back(outRow * std::size_t(height));
    for (int32_t y = 0; y < height; ++y)
        out.fromWorking(image.row(y), back.data() + std::size_t(y) * outRow, std::size_t(width));
    host.removeImage(image);

    std::vector<unsigned char> result(pixels * std::size_t(bands) * std::size_t(outputBits / 8));
    for (std::size_t p = 0; p < pixels; ++p) {
        for (int b = 0; b < colourBands; ++b)
            putSample(
                result.data(), p * std::size_t(bands) + std::size_t(b), outputBits,
                sampleAt(back.data(), p * std::size_t(colourBands) + std::size_t(b), outputBits));
        if (photo.hasAlpha) {
            unsigned alpha = sampleAt(decoded.data(),
                                      p * std::size_t(bands) + std::size_t(bands - 1), photo.bits);
            if (photo.bits == 8 && outputBits == 16)
                alpha *= 257;
            if (photo.bits == 16 && outputBits == 8)
                alpha = unsigned(std::lround(std::floor(alpha / 257.0 + 0.5)));
            putSample(result.data(), p * std::size_t(bands) + std::size_t(bands - 1), outputBits,
                      alpha);
        }
    }
    return result;
}

// libvips' address macro mixes signed and unsigned arithmetic.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
const VipsPel* addressIn(VipsRegion* region, int x, int y)
{
    return VIPS_REGION_ADDR(region, x, y);
}
#pragma GCC diagnostic pop

// `image` asked for in tiles of the given size, handed out in an order that
// jumps about, to `threads` threads at once, each with its own region.
std::vector<unsigned char> inTiles(const VImage& image, int tileWidth, int tileHeight, int threads)
{
    const int width = image.width(), height = image.height();
    const std::size_t pixelBytes =
        std::size_t(image.bands()) * (image.format() == VIPS_FORMAT_USHORT ? 2 : 1);
    std::vector<VipsRect> tiles;
    for (int top = 0; top < height; top += tileHeight)
        for (int left = 0; left < width; left += tileWidth)
            tiles.push_back(
                {left, top, std::min(tileWidth, width - left), std::min(tileHeight, height - top)});
    std::shuffle(tiles.begin(), tiles.end(), std::mt19937(7));
    std::vector<unsigned char> out(std::size_t(width) * std::size_t(height) * pixelBytes);
    std::atomic<std::size_t> next{0};
    std::atomic<int> failures{0};
    auto work = [&] {
        VipsRegion* region = vips_region_new(image.get_image());
        for (std::size_t t = next++; t < tiles.size(); t = next++) {
            VipsRect rect = tiles[t];
            if (vips_region_prepare(region, &rect) != 0) {
                ++failures;
                continue;
            }
            for (int y = rect.top; y < rect.top + rect.height; ++y)
                std::memcpy(out.data()
                                + (std::size_t(y) * std::size_t(width) + std::size_t(rect.left))
                                    * pixelBytes,
                            addressIn(region, rect.left, y), std::size_t(rect.width) * pixelBytes);
        }
        g_object_unref(region);
    };
    {
        std::vector<std::jthread> helpers;
        for (int t = 1; t < threads; ++t)
            helpers.emplace_back(work);
        work();
    }
    EXPECT_EQ(failures.load(), 0);
    return out;
}

class ChainStrips : public testing::TestWithParam<ChainCase> {};

TEST_P(ChainStrips, EqualOneCallOverTheWholePhotoHoweverCut)
{
    const ChainCase& c = GetParam();
    startImageLibrary("vivanto_tests");
    StageHost stage(c.plugin);
    stage.edit("vivanto_rg", 300);
    stage.edit("vivanto_by", -40);
    Photo photo = noisePhoto(c);
    std::vector<unsigned char> reference = oneCall(stage, photo, c.outputBits);
    ASSERT_NE(reference, bytesOf(photo.image)) << "the stage must have changed something";

    ChainOptions options{.outputBits = c.outputBits, .rowsPerStrip = c.rowsPerStrip};
    {
        Chain chain(stage, photo, options);
        EXPECT_EQ(inTiles(chain.result(), c.tileWidth, c.tileHeight, c.threads), reference)
            << "tiles of " << c.tileWidth << " x " << c.tileHeight << " on " << c.threads
            << " threads";
    }
    vips_concurrency_set(c.threads);
    {
        Chain chain(stage, photo, options);
        std::vector<unsigned char> sunk;
        chain.run([&] { sunk = bytesOf(chain.result()); });
        EXPECT_EQ(sunk, reference) << "as libvips' own sink asks for it";
    }
    {
        options.rowsPerStrip = 0;
        Chain chain(stage, photo, options);
        EXPECT_EQ(inTiles(chain.result(), c.tileWidth, c.tileHeight, c.threads), reference)
            << "--strip-rows 0: one call";
    }
    {
        Chain withoutStage(photo, options);
        EXPECT_EQ(inTiles(withoutStage.result(), c.tileWidth, c.tileHeight, c.threads),
                  oneCall(stage, photo, c.outputBits, false))
            << "the chain without its stage";
    }
    EXPECT_TRUE(stage.host().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryCut, ChainStrips,
    testing::Values(ChainCase{"rgb16_real_stage_odd_tiles", 301, 211, 16, false, false, false, 16,
                              SERVE_TEST_PLUGIN, 7, 37, 23, 5},
                    ChainCase{"rgba8_to_16_neighbours_thin_tiles", 129, 67, 8, false, true, false,
                              16, FAKE_PLUGIN_NEIGHBOURS, 256, 13, 1, 3},
                    ChainCase{"grey16_alpha_to_8_neighbours_full_rows", 97, 203, 16, true, true,
                              false, 8, FAKE_PLUGIN_NEIGHBOURS, 2, 97, 5, 4},
                    ChainCase{"rgb8_profile_one_strip_eight_threads", 255, 3, 8, false, false, true,
                              8, SERVE_TEST_PLUGIN, 256, 256, 256, 8},
                    ChainCase{"grey8_one_pixel_wide_neighbours", 1, 45, 8, true, false, false, 8,
                              FAKE_PLUGIN_NEIGHBOURS, 3, 1, 4, 3},
                    ChainCase{"rgb16_to_8_neighbours_narrower_than_border", 6, 17, 16, false, false,
                              false, 8, FAKE_PLUGIN_NEIGHBOURS, 256, 3, 2, 6}),
    testing_support::CaseName());

} // namespace
