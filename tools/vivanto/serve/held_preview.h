// One size of the preview, held ready for renders that must keep up with a
// slider: the scaled photo converted to the working image once, with the
// stage's border columns already in place, so that a render is only a copy,
// the stage and the way back to 8-bit sRGB for the screen. The way back is
// split over threads; the stage calls take turns on the plug-in.
//
// A render gives the same pixels as the photo's chain (chain.h) over the
// same scaled photo, shown through forDisplay (photo.h): the same strips,
// the same border, the same rounding. Photos with an embedded profile come
// back to sRGB in one conversion instead of two, so they may differ from it
// by a step or two.
#pragma once

#include "chain.h"
#include "colour.h"
#include "photo.h"
#include "stage_host.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vivanto {

// The stage was cancelled (the server is stopping) or refused the image.
struct RenderFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// 8-bit sRGB with alpha 255, row after row: what a canvas takes as it is.
struct Frame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgba;
};

struct FrameRender {
    Frame frame;
    uint64_t clippedPixels = 0;   // see ChainOptions::clippedPixels
    double stageMilliseconds = 0; // summed over threads, waiting for the plug-in included
    double backMilliseconds = 0;  // the way back to sRGB and the marks, summed over threads
};

// How a render reaches the plug-in, or no stage at all when `host` is null.
struct StageUse {
    StageHost* host = nullptr;
    StageCallWrapper aroundCall; // holds the plug-in and its settings for each call
    HostBool* cancelFlag = nullptr;
};

class HeldPreview {
public:
    // `photo` is held in memory already (scaled). Throws PhotoError when its
    // colours cannot be converted.
    HeldPreview(const Photo& photo, int threads);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    std::size_t heldBytes() const;

    // The preview with no stage.
    const Frame& before() const { return before_; }

    // The preview through the stage, clipped pixels painted in a black and
    // white check when `markClipping`. Throws RenderFailed.
    FrameRender render(const StageUse& stage, bool markClipping) const;

private:
    std::size_t stride() const; // samples per row, border included

    int32_t width_ = 0;
    int32_t height_ = 0;
    int threads_ = 1;
    bool grey_ = false; // shown as it is saved: lightness only, whatever the stage did to colour
    std::vector<uint16_t> working_; // every row with its border columns
    std::vector<uint8_t> edges_;    // opponentEdges of every pixel before the stage
    std::vector<uint8_t> alpha_;    // 8 bits per pixel; empty for an opaque photo
    ColourSpace display_;           // working to 8-bit sRGB, or sRGB grey
    Frame before_;
};

} // namespace vivanto
