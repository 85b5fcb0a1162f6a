// What a chain shows its observer: every pixel of the photo exactly once, as
// the stage got it (the photo converted to the working image, as a chain
// without its stage would hand it on) and as the stage left it (one stage
// call over the whole photo, made here), paired, however the photo is cut and
// on however many threads; and the chain's result the same with or without
// an observer.
#include "case_name.h"
#include "chain.h"
#include "colour.h"
#include "stage_host.h"
#include "working_image.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <mutex>
#include <random>

namespace {

using namespace vivanto;
using vips::VImage;
using Pair = std::array<uint16_t, 6>; // before, then after

constexpr int32_t kBorder = 4;

struct ObserverCase {
    std::string name;
    const char* plugin;
    int32_t width, height, rowsPerStrip;
    int threads;
};

void PrintTo(const ObserverCase& row, std::ostream* out)
{
    *out << row.name;
}

std::vector<uint16_t> noise(int32_t width, int32_t height)
{
    std::mt19937 random(uint32_t(width * 31 + height));
    std::vector<uint16_t> samples(std::size_t(width) * std::size_t(height) * 3);
    for (uint16_t& s : samples)
        s = uint16_t(random());
    return samples;
}

// Every pixel before and after one stage call over the whole photo.
std::vector<Pair> oneCallPairs(StageHost& stage, const std::vector<uint16_t>& rgb, int32_t width,
                               int32_t height)
{
    ColourSpace space({}, false, 16);
    standin::Host& host = stage.host();
    const standin::Geometry geometry{
        .width = width, .height = height, .border = kBorder, .kind = kPixelFormat};
    standin::Image& image = host.addImage(geometry);
    std::vector<uint16_t> before(rgb.size());
    space.toWorking(rgb.data(), before.data(), std::size_t(width) * std::size_t(height));
    for (int32_t y = 0; y < height; ++y) {
        std::copy_n(before.data() + std::size_t(y) * std::size_t(width) * 3, std::size_t(width) * 3,
                    image.row(y));
        for (int32_t b = 1; b <= kBorder; ++b)
            for (int c = 0; c < kChannels; ++c) {
                image.at(-b, y, c) = image.at(0, y, c);
                image.at(width - 1 + b, y, c) = image.at(width - 1, y, c);
            }
    }
    PipeData pipe = host.pipe(&image);
    EXPECT_EQ(stage.processHook()(host.record(), &pipe), 0);
    std::vector<Pair> pairs;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const uint16_t* in =
                before.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
            pairs.push_back(
                {in[0], in[1], in[2], image.at(x, y, 0), image.at(x, y, 1), image.at(x, y, 2)});
        }
    host.removeImage(image);
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

std::vector<unsigned char> resultBytes(Chain& chain)
{
    std::vector<unsigned char> bytes;
    chain.run([&] {
        std::size_t size = 0;
        void* memory = chain.result().write_to_memory(&size);
        bytes.assign(static_cast<unsigned char*>(memory),
                     static_cast<unsigned char*>(memory) + size);
        g_free(memory);
    });
    return bytes;
}

class ChainObserver : public testing::TestWithParam<ObserverCase> {};

TEST_P(ChainObserver, SeesEveryPixelOnceBeforeAndAfterTheStage)
{
    const ObserverCase& c = GetParam();
    startImageLibrary("vivanto_tests");
    StageHost stage(c.plugin);
    stage.edit("vivanto_rg", 250);
    stage.edit("vivanto_by", -30);
    std::vector<uint16_t> rgb = noise(c.width, c.height);
    Photo photo{.format = FileFormat::Tiff, .bits = 16};
    photo.image = VImage::new_from_memory(rgb.data(), rgb.size() * 2, c.width, c.height, 3,
                                          VIPS_FORMAT_USHORT)
                      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16))
                      .copy_memory();
    std::vector<Pair> expected = oneCallPairs(stage, rgb, c.width, c.height);

    vips_concurrency_set(c.threads);
    ChainOptions options{.outputBits = 16, .rowsPerStrip = c.rowsPerStrip};
    std::vector<unsigned char> unobserved;
    {
        Chain chain(stage, photo, options);
        unobserved = resultBytes(chain);
    }
    std::mutex mutex;
    std::vector<Pair> seen;
    options.observeWorking = [&](const uint16_t* before, const uint16_t* after, std::size_t n) {
        std::lock_guard lock(mutex);
        for (std::size_t p = 0; p < n; ++p)
            seen.push_back({before[p * 3], before[p * 3 + 1], before[p * 3 + 2], after[p * 3],
                            after[p * 3 + 1], after[p * 3 + 2]});
    };
    Chain chain(stage, photo, options);
    EXPECT_EQ(resultBytes(chain), unobserved) << "an observer must not change the result";
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(seen.size(), expected.size());
    EXPECT_TRUE(seen == expected) << "pairs differ from one stage call over the whole photo";
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const Pair& p) {
        return p[1] != p[4] || p[2] != p[5];
    })) << "the stage must have changed something";
}

INSTANTIATE_TEST_SUITE_P(EveryCut, ChainObserver,
                         testing::Values(ObserverCase{"real_stage_strips_of_7_three_threads",
                                                      SERVE_TEST_PLUGIN, 173, 91, 7, 3},
                                         ObserverCase{"neighbours_strips_of_256_one_thread",
                                                      FAKE_PLUGIN_NEIGHBOURS, 64, 301, 256, 1},
                                         ObserverCase{"neighbours_one_call_four_threads",
                                                      FAKE_PLUGIN_NEIGHBOURS, 97, 53, 0, 4},
                                         ObserverCase{"real_stage_one_row_strips_eight_threads",
                                                      SERVE_TEST_PLUGIN, 31, 77, 1, 8}),
                         testing_support::CaseName());

} // namespace
