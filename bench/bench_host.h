// A host record for timing the stage: the plug-in is registered with the
// stand-in host and its process hook called as the editor calls it, but the
// settings and image operations it reaches on every call answer directly.
// The stand-in host logs every call with its arguments (a tile costs 270
// calls), which would cost more than the tile's arithmetic.
#pragma once

#include "host.h"
#include "plugin_library.h"

#include <cstdint>

namespace bench {

// One image as the stage sees it: rows of width + 2 x border pixels, packed.
struct Tile {
    uint16_t* pixel0 = nullptr; // first sample of pixel 0 of row 0
    int32_t width = 0, height = 0, border = 0, pixelStep = 3;

    int64_t rowSamples() const { return (int64_t{width} + 2 * int64_t{border}) * pixelStep; }
    uint16_t* row(int32_t row) const { return pixel0 + row * rowSamples(); }

    // The tile whose first row starts (border pixel first) at `block`.
    static Tile over(uint16_t* block, int32_t width, int32_t height, int32_t border,
                     int32_t pixelStep)
    {
        return Tile{block + int64_t{border} * pixelStep, width, height, border, pixelStep};
    }
};

class Host {
public:
    explicit Host(standin::PluginLibrary& library);
    void setSliders(int32_t redGreen, int32_t blueYellow);
    // One call of the registered process hook on `tile`, switch on.
    int process(const Tile& tile);

private:
    standin::Host standin_;
    BibblePluginData record_{};
    ProcessHook hook_ = nullptr;
};

} // namespace bench
