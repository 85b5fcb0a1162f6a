#include "gamut.h"

#include "working_image.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vivanto {

namespace {

// Pixels searched together: one conversion call per step for all of them.
constexpr std::size_t kGroup = 256;
// Halvings of the chroma factor: 2^-17 of the largest chroma (a* of 7 x 128,
// 229 000 samples) is under half a sample.
constexpr int kSteps = 17;

// Towards neutral, never past the factor: a truncated sample stays on the
// side of the gamut the factor was found on.
uint16_t scaledChroma(uint16_t sample, double factor)
{
    double offset = (double(sample) - kNeutral) * factor;
    return static_cast<uint16_t>(kNeutral + static_cast<int32_t>(std::trunc(offset)));
}

void compressGroup(const ColourSpace& output, uint16_t* working, const std::size_t* which,
                   std::size_t count)
{
    std::array<double, kGroup> inside{}, outside{};
    std::array<uint16_t, kGroup * kChannels> trial{};
    std::array<uint8_t, kGroup> out{};
    outside.fill(1.0);
    auto fill = [&](const std::array<double, kGroup>& factors, bool mid) {
        for (std::size_t i = 0; i < count; ++i) {
            const uint16_t* pixel = working + which[i] * kChannels;
            double factor = mid ? 0.5 * (inside[i] + outside[i]) : factors[i];
            trial[i * kChannels] = pixel[0];
            trial[i * kChannels + 1] = scaledChroma(pixel[1], factor);
            trial[i * kChannels + 2] = scaledChroma(pixel[2], factor);
        }
    };
    for (int step = 0; step < kSteps; ++step) {
        fill(inside, true);
        output.outOfGamut(trial.data(), out.data(), count);
        for (std::size_t i = 0; i < count; ++i)
            (out[i] != 0 ? outside[i] : inside[i]) = 0.5 * (inside[i] + outside[i]);
    }
    fill(inside, false);
    for (std::size_t i = 0; i < count; ++i)
        std::copy_n(trial.data() + i * kChannels, kChannels, working + which[i] * kChannels);
}

} // namespace

std::optional<GamutMode> gamutModeNamed(const std::string& name)
{
    if (name == "clip")
        return GamutMode::Clip;
    if (name == "compress")
        return GamutMode::Compress;
    return std::nullopt;
}

const char* nameOf(GamutMode mode)
{
    return mode == GamutMode::Compress ? "compress" : "clip";
}

void compressIntoGamut(const ColourSpace& output, uint16_t* working, const uint8_t* outside,
                       std::size_t pixels)
{
    std::array<std::size_t, kGroup> which{};
    std::size_t count = 0;
    for (std::size_t p = 0; p < pixels; ++p) {
        if (outside[p] == 0)
            continue;
        which[count++] = p;
        if (count == kGroup) {
            compressGroup(output, working, which.data(), count);
            count = 0;
        }
    }
    if (count > 0)
        compressGroup(output, working, which.data(), count);
}

} // namespace vivanto
