// The built-in example: a chart of the 24 patches of a common colour
// rendition chart, six across and four down, each filled with the published
// CIE L*a*b* (D50) reference value of its patch, converted to sRGB at 16 bits.
// Real reference colours, so the example shows what the stage does to skin,
// sky, foliage, saturated primaries and a grey ramp.
#pragma once

#include <vips/vips8>

namespace vivanto {

// The chart as a 16-bit sRGB image in memory, with no embedded profile.
vips::VImage referenceChart();

} // namespace vivanto
