// Every slider value from -100 to 600 against every sample value 0..65535,
// through the real stage on a real image, compared with the independent
// oracle; and the two evaluations compared with each other.
#include "exhaustive_tables.h"
#include "loaded_plugin.h"
#include "oracle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using testing_support::LoadedPlugin;

namespace {

TEST(Exhaustive, EverySliderValueAgainstEverySampleMatchesTheOracle)
{
    const auto& expected = testing_support::oracleTables(oracle::builtEvaluation());
    LoadedPlugin plugin;
    plugin.host.setBool("vivanto_enabled", true);
    // 256 pixels a row (254 and a border pixel each side), 256 rows: pixel k
    // carries red-green k and blue-yellow 65535 - k.
    auto& image = plugin.host.addImage({.width = 254, .height = 256, .border = 1});
    auto pixelIndex = [](int32_t x, int32_t y) { return static_cast<uint32_t>(256 * y + x + 1); };
    auto fill = [&] {
        image.fill([&](int32_t x, int32_t y, int32_t channel) -> uint16_t {
            uint32_t k = pixelIndex(x, y);
            return static_cast<uint16_t>(channel == 0 ? k * 40503u : channel == 1 ? k : 65535u - k);
        });
    };

    int64_t mismatches = 0;
    for (int32_t slider = testing_support::kSliderMin; slider <= testing_support::kSliderMax;
         ++slider) {
        // The blue-yellow slider runs the other way so both see every value.
        int32_t other = testing_support::kSliderMin + testing_support::kSliderMax - slider;
        plugin.host.setInt("vivanto_rg", slider);
        plugin.host.setInt("vivanto_by", other);
        fill();
        ASSERT_EQ(plugin.process(plugin.host.pipe(&image)), 0);
        const auto& redGreen =
            expected[static_cast<std::size_t>(slider - testing_support::kSliderMin)];
        const auto& blueYellow =
            expected[static_cast<std::size_t>(other - testing_support::kSliderMin)];
        for (int32_t y = 0; y < 256; ++y)
            for (int32_t x = -1; x < 255; ++x) {
                uint32_t k = pixelIndex(x, y);
                bool ok = image.at(x, y, 1) == redGreen[k]
                    && image.at(x, y, 2) == blueYellow[65535 - k]
                    && image.at(x, y, 0) == static_cast<uint16_t>(k * 40503u);
                if (!ok && ++mismatches <= 10)
                    ADD_FAILURE() << "slider " << slider << "/" << other << ", sample " << k
                                  << ": got " << image.at(x, y, 1) << "/" << image.at(x, y, 2)
                                  << ", expected " << redGreen[k] << "/" << blueYellow[65535 - k];
            }
        plugin.host.log().clear();
    }
    EXPECT_EQ(mismatches, 0);
}

// The plain single-precision evaluation differs from the exact one on about
// 0.17 % of (slider, sample) pairs, always by exactly one, and only where the
// exact value 32767 + (x - 32767)(v + 100)/100 lies within 0.01 of n + 1/2.
TEST(Exhaustive, PlainSingleDiffersFromExactOnlyByOneNearHalves)
{
    const auto& exact = testing_support::oracleTables(oracle::Evaluation::Exact);
    const auto& plain = testing_support::oracleTables(oracle::Evaluation::PlainSingle);
    int64_t differing = 0;
    int64_t total = 0;
    int64_t farFromHalf = 0;
    int64_t notByOne = 0;
    for (int32_t v = testing_support::kSliderMin; v <= testing_support::kSliderMax; ++v) {
        auto index = static_cast<std::size_t>(v - testing_support::kSliderMin);
        for (int32_t x = 0; x < 65536; ++x) {
            ++total;
            int32_t a = exact[index][static_cast<std::size_t>(x)];
            int32_t b = plain[index][static_cast<std::size_t>(x)];
            if (a == b)
                continue;
            ++differing;
            if (std::abs(a - b) != 1)
                ++notByOne;
            // Hundredths of the exact value: 3276700 + (x - 32767)(v + 100).
            int64_t hundredths = 3276700 + int64_t{x - 32767} * (v + 100);
            int64_t fraction = ((hundredths % 100) + 100) % 100;
            if (fraction < 49 || fraction > 51)
                ++farFromHalf;
        }
    }
    double share = 100.0 * static_cast<double>(differing) / static_cast<double>(total);
    RecordProperty("differing_pairs", std::to_string(differing));
    EXPECT_EQ(notByOne, 0);
    EXPECT_EQ(farFromHalf, 0);
    EXPECT_NEAR(share, 0.17, 0.01) << differing << " of " << total << " pairs differ";
}

} // namespace
