// The edge of what an output colour space holds, in the a*b* plane at a few
// lightness levels: per hue angle, the largest chroma of any colour the space
// can show at that L*. Drawn on the vectorscope, it shows how far the stage
// may push a colour before the way back clips it.
//
// Found from the surface of the space's RGB cube (every colour of largest
// chroma at its lightness and hue lies there), converted to the working
// encoding as the chain's way in converts: each surface colour within half a
// unit of L* of a level raises that level's chroma at its hue, to the degree.
// Hues no surface colour reached (seldom, near black and white) take the
// chroma between their neighbours. A grey space holds neutral only: chroma 0.
#pragma once

#include "colour.h"

#include <array>
#include <cstddef>
#include <vector>

namespace vivanto {

class GamutBoundary {
public:
    static constexpr int kHueSteps = 360;

    explicit GamutBoundary(const ColourSpace& output,
                           std::vector<double> lightnesses = {25, 50, 75});

    const std::vector<double>& lightnesses() const { return lightnesses_; }

    // The largest chroma the space holds at lightness level `level` and hue
    // angle `hueDegrees` (0 along +a*, 90 along +b*), between whole degrees
    // in a straight line.
    double chromaAt(std::size_t level, double hueDegrees) const;

    // The boundary at `level` as a*, b* points, one per degree of hue, in order.
    std::vector<std::array<double, 2>> outline(std::size_t level) const;

private:
    void collect(const ColourSpace& output);
    void fillGaps();

    std::vector<double> lightnesses_;
    std::vector<std::array<double, kHueSteps>> chroma_; // per level; negative: not reached
};

} // namespace vivanto
