#include "gamut_boundary.h"

#include "working_image.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vivanto {

namespace {

constexpr double kLightnessBand = 0.5; // L* on either side of a level
// Steps along each edge of the RGB cube: every code of an 8-bit space; for a
// 16-bit one, as many as keep neighbouring surface colours well within a
// unit of chroma of each other.
constexpr int kStepsFor16Bits = 512;

double hueOf(double a, double b)
{
    double degrees = std::atan2(b, a) * 180.0 / std::numbers::pi;
    return degrees < 0 ? degrees + 360.0 : degrees;
}

// One face of the cube: channel `fixed` at `level`, the other two over the grid.
std::vector<uint16_t> faceSamples(int fixed, unsigned level, int steps, unsigned maximum)
{
    std::vector<uint16_t> samples;
    samples.reserve(std::size_t(steps) * std::size_t(steps) * 3);
    for (int i = 0; i < steps; ++i)
        for (int j = 0; j < steps; ++j) {
            unsigned u = unsigned(std::lround(double(i) * maximum / (steps - 1)));
            unsigned v = unsigned(std::lround(double(j) * maximum / (steps - 1)));
            unsigned rgb[3] = {u, v, 0};
            if (fixed == 0)
                rgb[0] = level, rgb[1] = u, rgb[2] = v;
            else if (fixed == 1)
                rgb[0] = u, rgb[1] = level, rgb[2] = v;
            else
                rgb[2] = level;
            for (unsigned channel : rgb)
                samples.push_back(uint16_t(channel));
        }
    return samples;
}

// 16-bit values as the space's own samples (8-bit ones narrowed in place).
const void* asSamples(std::vector<uint16_t>& values, int bits)
{
    if (bits == 16)
        return values.data();
    auto* narrow = reinterpret_cast<uint8_t*>(values.data());
    for (std::size_t i = 0; i < values.size(); ++i)
        narrow[i] = uint8_t(values[i]);
    return narrow;
}

} // namespace

GamutBoundary::GamutBoundary(const ColourSpace& output, std::vector<double> lightnesses)
    : lightnesses_(std::move(lightnesses))
{
    std::array<double, kHueSteps> unreached{};
    unreached.fill(-1.0);
    chroma_.assign(lightnesses_.size(), unreached);
    collect(output);
    fillGaps();
}

void GamutBoundary::collect(const ColourSpace& output)
{
    const int bits = output.bits();
    const unsigned maximum = bits == 16 ? 65535U : 255U;
    const int steps = bits == 16 ? kStepsFor16Bits : 256;
    std::vector<std::vector<uint16_t>> faces;
    if (output.grey()) {
        std::vector<uint16_t> ramp(std::size_t(steps), 0);
        for (int i = 0; i < steps; ++i)
            ramp[std::size_t(i)] = uint16_t(std::lround(double(i) * maximum / (steps - 1)));
        faces.push_back(ramp);
    } else {
        for (int fixed = 0; fixed < 3; ++fixed)
            for (unsigned level : {0U, maximum})
                faces.push_back(faceSamples(fixed, level, steps, maximum));
    }
    const std::size_t channels = output.grey() ? 1 : 3;
    std::vector<uint16_t> working;
    for (std::vector<uint16_t>& face : faces) {
        std::size_t pixels = face.size() / channels;
        working.resize(pixels * kChannels);
        output.toWorking(asSamples(face, bits), working.data(), pixels);
        for (std::size_t p = 0; p < pixels; ++p) {
            const uint16_t* pixel = working.data() + p * kChannels;
            double lightness = pixel[0] / kLightnessPerUnit;
            double a = (pixel[1] - double(kNeutral)) / kChromaPerUnit;
            double b = (pixel[2] - double(kNeutral)) / kChromaPerUnit;
            auto hue = std::size_t(std::lround(hueOf(a, b))) % kHueSteps;
            double chroma = std::hypot(a, b);
            for (std::size_t level = 0; level < lightnesses_.size(); ++level)
                if (std::abs(lightness - lightnesses_[level]) <= kLightnessBand)
                    chroma_[level][hue] = std::max(chroma_[level][hue], chroma);
        }
    }
}

void GamutBoundary::fillGaps()
{
    for (auto& level : chroma_) {
        std::vector<int> reached;
        for (int hue = 0; hue < kHueSteps; ++hue)
            if (level[std::size_t(hue)] >= 0)
                reached.push_back(hue);
        if (reached.empty()) {
            level.fill(0.0);
            continue;
        }
        for (std::size_t r = 0; r < reached.size(); ++r) {
            int from = reached[r];
            int to = reached[(r + 1) % reached.size()];
            int gap = (to - from + kHueSteps) % kHueSteps;
            if (gap == 0)
                gap = kHueSteps; // a single reached hue: its chroma all round
            double start = level[std::size_t(from)], end = level[std::size_t(to)];
            for (int step = 1; step < gap; ++step)
                level[std::size_t((from + step) % kHueSteps)] = start + (end - start) * step / gap;
        }
    }
}

double GamutBoundary::chromaAt(std::size_t level, double hueDegrees) const
{
    double hue = std::fmod(hueDegrees, double(kHueSteps));
    if (hue < 0)
        hue += kHueSteps;
    auto below = std::size_t(std::floor(hue));
    double share = hue - double(below);
    const auto& chroma = chroma_.at(level);
    return chroma[below % kHueSteps] * (1 - share) + chroma[(below + 1) % kHueSteps] * share;
}

std::vector<std::array<double, 2>> GamutBoundary::outline(std::size_t level) const
{
    std::vector<std::array<double, 2>> points;
    for (int hue = 0; hue < kHueSteps; ++hue) {
        double chroma = chroma_.at(level)[std::size_t(hue)];
        double angle = hue * std::numbers::pi / 180.0;
        points.push_back({chroma * std::cos(angle), chroma * std::sin(angle)});
    }
    return points;
}

} // namespace vivanto
