#include "stats.h"

#include "working_image.h"

#include <cstdio>
#include <stdexcept>

namespace vivanto {

namespace {

constexpr int kSampleValues = 65536;
constexpr const char* kSwitchKey = "vivanto_enabled";
constexpr std::array<const char*, 2> kAxisKeys{"vivanto_rg", "vivanto_by"};
constexpr std::array<const char*, 2> kAxisNames{"red-green", "blue-yellow"};

using Histogram = std::vector<uint64_t>;
using Response = AxisResponses;

// A one-row host image holding every sample value once on both axes, reused
// for every measurement.
class Ramp {
public:
    explicit Ramp(StageHost& stage)
        : stage_(stage)
        , image_(stage.host().addImage({.width = kSampleValues, .height = 1, .kind = kPixelFormat},
                                       {.samples = 0, .rows = 0}))
    {
    }
    ~Ramp() { stage_.host().removeImage(image_); }
    Ramp(const Ramp&) = delete;
    Ramp& operator=(const Ramp&) = delete;

    // What the stage makes of every sample value on both axes, with the
    // settings as they stand.
    Response response()
    {
        uint16_t* samples = image_.row(0);
        for (int32_t x = 0; x < kSampleValues; ++x)
            for (int c = 0; c < kChannels; ++c)
                samples[x * kChannels + c] = static_cast<uint16_t>(x);
        standin::Host& host = stage_.host();
        PipeData pipe = host.pipe(&image_);
        if (stage_.processHook()(host.record(), &pipe) != 0)
            throw std::runtime_error("the stage refused the measuring ramp");
        host.log().clear();
        Response out;
        for (std::size_t axis = 0; axis < 2; ++axis) {
            out[axis].resize(kSampleValues);
            for (int32_t x = 0; x < kSampleValues; ++x)
                out[axis][std::size_t(x)] = samples[x * kChannels + int(axis) + 1];
        }
        return out;
    }

private:
    StageHost& stage_;
    standin::Image& image_;
};

bool atEdge(uint32_t value)
{
    return value == 0 || value == kSampleValues - 1;
}

uint64_t clippedBy(const std::vector<uint16_t>& response, const Histogram& counts)
{
    uint64_t clipped = 0;
    for (uint32_t x = 0; x < kSampleValues; ++x)
        if (counts[x] != 0 && !atEdge(x) && atEdge(response[x]))
            clipped += counts[x];
    return clipped;
}

int32_t valueOf(StageHost& stage, const char* key)
{
    for (const standin::Option& option : stage.options())
        if (option.key == key)
            return option.value;
    throw std::runtime_error(std::string("the plug-in defines no option \"") + key + "\"");
}

} // namespace

ClipStats measureClipping(StageHost& stage, const AxisHistograms& counts)
{
    ClipStats stats;
    stats.enabled = valueOf(stage, kSwitchKey) != 0;
    uint64_t pixels = 0;
    for (uint64_t n : counts[0])
        pixels += n;
    Ramp ramp(stage);
    Response chosen = ramp.response();
    for (std::size_t axis = 0; axis < 2; ++axis) {
        AxisStats& a = stats.axes[axis];
        a.key = kAxisKeys[axis];
        a.chosen = valueOf(stage, kAxisKeys[axis]);
        a.samples = pixels;
        a.alreadyAtEdge = counts[axis][0] + counts[axis][kSampleValues - 1];
        a.clipped = clippedBy(chosen[axis], counts[axis]);
        a.largestClean = kLowestSlider;
    }

    // From the top down: the first value that clips nothing is the answer.
    int32_t savedRg = stats.axes[0].chosen, savedBy = stats.axes[1].chosen;
    std::array<bool, 2> found{false, false};
    stage.storeQuietly(kSwitchKey, 1);
    for (int32_t value = kHighestSlider; value >= kLowestSlider && !(found[0] && found[1]);
         --value) {
        stage.storeQuietly(kAxisKeys[0], value);
        stage.storeQuietly(kAxisKeys[1], value);
        Response response = ramp.response();
        for (std::size_t axis = 0; axis < 2; ++axis)
            if (!found[axis] && clippedBy(response[axis], counts[axis]) == 0) {
                stats.axes[axis].largestClean = value;
                found[axis] = true;
            }
    }
    stage.storeQuietly(kSwitchKey, stats.enabled ? 1 : 0);
    stage.storeQuietly(kAxisKeys[0], savedRg);
    stage.storeQuietly(kAxisKeys[1], savedBy);
    return stats;
}

AxisResponses stageResponses(StageHost& stage, int32_t rg, int32_t by)
{
    // The settings as they were, put back however the ramp ends.
    struct Restore {
        StageHost& stage;
        int32_t saved[3];
        ~Restore()
        {
            stage.storeQuietly(kSwitchKey, saved[0]);
            stage.storeQuietly(kAxisKeys[0], saved[1]);
            stage.storeQuietly(kAxisKeys[1], saved[2]);
        }
    } restore{
        stage,
        {valueOf(stage, kSwitchKey), valueOf(stage, kAxisKeys[0]), valueOf(stage, kAxisKeys[1])}};
    stage.storeQuietly(kSwitchKey, 1);
    stage.storeQuietly(kAxisKeys[0], rg);
    stage.storeQuietly(kAxisKeys[1], by);
    Ramp ramp(stage);
    return ramp.response();
}

std::string describe(const ClipStats& stats, const std::string& name)
{
    std::string text;
    for (std::size_t axis = 0; axis < 2; ++axis) {
        const AxisStats& a = stats.axes[axis];
        char line[512];
        double share = a.samples == 0 ? 0.0 : 100.0 * double(a.clipped) / double(a.samples);
        std::snprintf(line, sizeof line,
                      "%s: %-11s %s=%d%s: %llu of %llu samples clipped at 0 or 65535 (%.3f %%), "
                      "%llu already there; clips none up to %d%s\n",
                      name.c_str(), kAxisNames[axis], a.key.c_str(), a.chosen,
                      stats.enabled ? "" : " (switch off)",
                      static_cast<unsigned long long>(a.clipped),
                      static_cast<unsigned long long>(a.samples), share,
                      static_cast<unsigned long long>(a.alreadyAtEdge), a.largestClean,
                      a.largestClean == kHighestSlider ? " (the top of the range)" : "");
        text += line;
    }
    return text;
}

} // namespace vivanto
