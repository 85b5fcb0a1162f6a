// Out of gamut, in the output's colour space: a pixel whose colour, converted
// to the output's profile without clamping, lies outside the output
// encoding's range in some channel by more than half a code, and by more than
// the working encoding's own rounding could carry a colour that is inside
// (ColourSpace::outOfGamut; an unchanged photo is never out of gamut of its
// own profile, saturated primaries included). How such a colour comes back:
// clipped per channel, or brought onto the gamut's boundary at its lightness
// and hue.
#pragma once

#include "colour.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vivanto {

enum class GamutMode {
    Clip,     // every channel clamped on its own: hues may turn (a pushed orange goes yellow)
    Compress, // chroma reduced at constant L* and hue angle to the gamut's boundary
};

std::optional<GamutMode> gamutModeNamed(const std::string& name); // "clip" or "compress"
const char* nameOf(GamutMode mode);

// For every pixel marked in `outside` (from output.outOfGamut), a* and b*
// scaled towards neutral by one factor, the largest that keeps the pixel in
// gamut, to within half a working sample. Other pixels are not touched.
void compressIntoGamut(const ColourSpace& output, uint16_t* working, const uint8_t* outside,
                       std::size_t pixels);

} // namespace vivanto
