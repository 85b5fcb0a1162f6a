// How far a photo can be pushed: for each opponent axis, how many samples the
// chosen setting drives onto 0 or 65535 (where distinct colours flatten into
// one at the edge of the encoding), and the largest slider value that drives
// none there. Everything is measured by running the plug-in's own stage on a
// ramp of all 65536 sample values, so it holds whatever evaluation the built
// plug-in uses; the photo contributes only its histogram.
#pragma once

#include "chain.h"
#include "stage_host.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vivanto {

inline constexpr int32_t kLowestSlider = -100; // the stage treats lower values as -100
inline constexpr int32_t kHighestSlider = 600; // and higher ones as 600

struct AxisStats {
    std::string key;            // the slider that drives this axis
    int32_t chosen = 0;         // its value in the current settings
    uint64_t samples = 0;       // samples of the photo on this axis
    uint64_t clipped = 0;       // pushed onto 0 or 65535 by the current settings
    uint64_t alreadyAtEdge = 0; // 0 or 65535 before the stage ran
    int32_t largestClean = 0;   // largest slider value (-100..600) clipping none
};

struct ClipStats {
    bool enabled = false;
    std::array<AxisStats, 2> axes; // red-green, blue-yellow
};

// Per opponent axis: what the stage makes of every sample value 0..65535.
using AxisResponses = std::array<std::vector<uint16_t>, 2>;

// The stage's response with its switch on and the sliders at `rg` and `by`.
// Settings are restored before returning; nothing else may call the stage meanwhile.
AxisResponses stageResponses(StageHost& stage, int32_t rg, int32_t by);

// `counts` are the photo's opponent samples before the stage ran. Settings
// are restored before returning; nothing else may call the stage meanwhile.
ClipStats measureClipping(StageHost& stage, const AxisHistograms& counts);

// Two lines, one per axis, each starting with `name`.
std::string describe(const ClipStats& stats, const std::string& name);

} // namespace vivanto
