// The vectorscope: the a*b* plane as two panels side by side, the photo
// before the stage on the left and after it on the right, each with the same
// scale, graticule and output gamut, so that where a colour went is read off
// the same rings in both.
//
// In each panel a* runs to the right and b* up, crossing at neutral; rings
// mark chroma every 20 (labelled every 40), every 10 when zoomed in twice or
// more. The trace is white, its brightness the logarithm of how many pixels
// fall on the spot, on one scale for both panels, so that a cloud the stage
// spreads wider also shows fainter; a single pixel still shows. Colours
// beyond the panel's edge (and those the working encoding clamped) are drawn
// on the edge. The output gamut's boundary is drawn at each of its lightness
// levels in its own colour, named in the panel's corner.
#pragma once

#include "ab_density.h"
#include "gamut_boundary.h"

#include <cstdint>
#include <vector>

namespace vivanto {

struct ScopeView {
    int panelSize = 512; // pixels across and down per panel
    // 1: a* and b* from -128 to 128 (all the working encoding holds); 2: the
    // middle half, -64 to 64, where most photos lie; and so on.
    double zoom = 1.0;
};

struct ScopeImage {
    int width = 0, height = 0; // 2 x panelSize by panelSize
    std::vector<uint8_t> rgb;  // 8-bit sRGB, 3 samples per pixel, row after row
};

// `gamut` may be null: no boundary is drawn.
ScopeImage renderScope(const AbDensity& before, const AbDensity& after, const GamutBoundary* gamut,
                       const ScopeView& view = {});

// The image as a PNG file's bytes (libvips), at zlib's `compression` 0..9:
// a plot is mostly black and small at any level, and 1 is several times
// faster to make than 6.
std::vector<unsigned char> scopePng(const ScopeImage& image, int compression = 6);

// Where a*, b* lands in a panel, in pixels from the panel's top left corner
// (not clamped to the panel).
struct PanelPoint {
    double x, y;
};
PanelPoint panelPointOf(double a, double b, const ScopeView& view);

} // namespace vivanto
