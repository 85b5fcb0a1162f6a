// The editor's working image as vivanto fills it: pixel format 3, three
// unsigned 16-bit samples per pixel (lightness, red-green, blue-yellow), rows
// stored one after another with no border. The border the stage expects is
// added per strip when the image is handed over (see strips.h).
//
// The encoding of CIE L*a*b* (D50, as an ICC profile connection space gives it):
//
//     lightness   = round(L* x 655.35)         L*  0..100        -> 0..65535
//     red-green   = round(32767 + 256 x a*)    a* -127.996..128  -> 0..65535
//     blue-yellow = round(32767 + 256 x b*)    b* likewise
//
// rounded half up and clamped to 0..65535, so neutral (a* = b* = 0) is 32767,
// one step of lightness is 1/655.35 of L* and one step of chroma 1/256 of a*.
// 256 steps per unit keeps every colour a display or print space holds well
// inside the range while leaving the stage room to push it outwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vivanto {

inline constexpr double kLightnessPerUnit = 655.35; // samples per unit of L*
inline constexpr double kChromaPerUnit = 256.0;     // samples per unit of a* and b*
inline constexpr uint16_t kNeutral = 32767;
inline constexpr int kChannels = 3;
inline constexpr int32_t kPixelFormat = 3;

struct WorkingImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint16_t> samples; // width x height x 3, row after row

    uint16_t* row(int32_t y)
    {
        return samples.data() + std::size_t(y) * std::size_t(width) * kChannels;
    }
    const uint16_t* row(int32_t y) const
    {
        return samples.data() + std::size_t(y) * std::size_t(width) * kChannels;
    }
};

} // namespace vivanto
