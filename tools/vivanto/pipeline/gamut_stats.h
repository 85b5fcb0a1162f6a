// How far a photo can be pushed before its colours leave the output's gamut:
// pixels out of gamut before the stage and, per opponent axis, with only that
// axis's slider at its chosen value (the other at 0), and the largest slider
// value that keeps fewer than 0.1 % of the photo's pixels out of gamut.
//
// What the stage makes of each sample is measured, not recomputed: ramps of
// every sample value through the plug-in's own stage (stats.h), looked up per
// pixel, as the stage scales each axis sample by sample. The photo streams
// through in passes, each reading it anew and holding a few regions per
// thread; a pass tries several slider values per axis at once, narrowing the
// search fourfold. The answer is exact to its definition: out-of-gamut pixels
// at it are under 0.1 %, and at the next value up not (or it is 600), even
// where the count does not rise steadily with the slider.
#pragma once

#include "bibble_host.h"
#include "photo.h"
#include "stats.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vivanto {

inline constexpr double kOutOfGamutShare = 0.001; // the share the largest value keeps under

struct GamutAxisStats {
    std::string key;
    int32_t chosen = 0;
    uint64_t outOfGamut = 0; // with only this slider at `chosen`
    // The largest value (-100..600) keeping out-of-gamut pixels under the
    // share; none when neither 0, the chosen value, 600 nor -100 does (a
    // photo already out of gamut, say).
    std::optional<int32_t> largestUnderShare;
};

struct GamutStats {
    uint64_t pixels = 0;
    uint64_t outOfGamutBefore = 0;
    uint64_t clippedOnTheWayIn = 0; // |a*| or |b*| beyond the working encoding's 128
    std::array<GamutAxisStats, 2> axes;
    int passes = 0; // times the photo was read
};

// The stage's responses with only `axis`'s slider (0: red-green, 1:
// blue-yellow) at `value`, the other at 0; called between passes.
using ResponsesAt = std::function<AxisResponses(std::size_t axis, int32_t value)>;

// `open` opens the photo anew for each pass; the output is its profile at
// `outputBits`. Throws PhotoError when it cannot be read, ChainCancelled when
// `cancelFlag` is set meanwhile.
GamutStats measureGamut(const std::function<Photo()>& open, int outputBits,
                        const ResponsesAt& responsesAt, std::array<int32_t, 2> chosen,
                        HostBool* cancelFlag = nullptr);

} // namespace vivanto
