#include "reference_chart.h"

#include "colour.h"
#include "working_image.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vivanto {

namespace {

struct Patch {
    const char* name;
    double L, a, b;
};

// Row by row, as the chart is laid out: naturals, miscellaneous colours,
// primaries and secondaries, and the grey scale.
constexpr std::array<Patch, 24> kPatches{{
    {"dark skin", 37.986, 13.555, 14.059},     {"light skin", 65.711, 18.130, 17.810},
    {"blue sky", 49.927, -4.880, -21.925},     {"foliage", 43.139, -13.095, 21.905},
    {"blue flower", 55.112, 8.844, -25.399},   {"bluish green", 70.719, -33.397, -0.199},
    {"orange", 62.661, 36.067, 57.096},        {"purplish blue", 40.020, 10.410, -45.964},
    {"moderate red", 51.124, 48.239, 16.248},  {"purple", 30.325, 22.976, -21.587},
    {"yellow green", 72.532, -23.709, 57.255}, {"orange yellow", 71.941, 19.363, 67.857},
    {"blue", 28.778, 14.179, -50.297},         {"green", 55.261, -38.342, 31.370},
    {"red", 42.101, 53.378, 28.190},           {"yellow", 81.733, 4.039, 79.819},
    {"magenta", 51.935, 49.986, -14.574},      {"cyan", 51.038, -28.631, -28.638},
    {"white", 96.539, -0.425, 1.186},          {"neutral 8", 81.257, -0.638, -0.335},
    {"neutral 6.5", 66.766, -0.734, -0.504},   {"neutral 5", 50.867, -0.153, -0.270},
    {"neutral 3.5", 35.656, -0.421, -1.231},   {"black", 20.461, -0.079, -0.973},
}};

constexpr int kAcross = 6, kDown = 4, kPatchSize = 100, kGap = 12;
constexpr Patch kSurround{"surround", 12.0, 0.0, 0.0};

std::array<uint16_t, 3> encoded(const Patch& p)
{
    auto sample = [](double v) { return static_cast<uint16_t>(std::lround(v)); };
    return {sample(p.L * kLightnessPerUnit), sample(kNeutral + p.a * kChromaPerUnit),
            sample(kNeutral + p.b * kChromaPerUnit)};
}

WorkingImage chart()
{
    WorkingImage image{
        kAcross * (kPatchSize + kGap) + kGap, kDown * (kPatchSize + kGap) + kGap, {}};
    image.samples.resize(std::size_t(image.width) * std::size_t(image.height) * kChannels);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            int column = (x - kGap) / (kPatchSize + kGap), row = (y - kGap) / (kPatchSize + kGap);
            bool inPatch = x >= kGap && y >= kGap && (x - kGap) % (kPatchSize + kGap) < kPatchSize
                && (y - kGap) % (kPatchSize + kGap) < kPatchSize;
            auto value = encoded(
                inPatch ? kPatches[std::size_t(row) * kAcross + std::size_t(column)] : kSurround);
            std::copy(value.begin(), value.end(), image.row(y) + std::size_t(x) * kChannels);
        }
    return image;
}

} // namespace

vips::VImage referenceChart()
{
    WorkingImage lab = chart();
    std::vector<uint16_t> rgb(std::size_t(lab.width) * std::size_t(lab.height) * 3);
    ColourSpace({}, false, 16).fromWorking(lab.samples.data(), rgb.data(), rgb.size() / 3);
    // Copied into an image of its own, so that it outlives `rgb`.
    return vips::VImage::new_from_memory(rgb.data(), rgb.size() * sizeof(uint16_t), lab.width,
                                         lab.height, 3, VIPS_FORMAT_USHORT)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16))
        .copy_memory();
}

} // namespace vivanto
