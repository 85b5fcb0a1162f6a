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

#include "ab_density.h"
#include "chain.h"
#include "colour.h"
#include "gamut.h"
#include "photo.h"
#include "stage_host.h"

#include <cstdint>
#include <memory>
#include <mutex>
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
    // Results out of 8-bit sRGB's gamut, before any compression (gamut.h):
    // what the way back clips or compresses.
    uint64_t outOfGamutPixels = 0;
    double stageMilliseconds = 0; // summed over threads, waiting for the plug-in included
    double backMilliseconds = 0;  // the way back to sRGB and the marks, summed over threads
};

// How a render reaches the plug-in, or no stage at all when `host` is null.
struct StageUse {
    StageHost* host = nullptr;
    StageCallWrapper aroundCall; // holds the plug-in and its settings for each call
    HostBool* cancelFlag = nullptr;
};

struct RenderChoices {
    bool marks = false; // out-of-gamut pixels painted in a black and white check
    GamutMode gamut = GamutMode::Clip;
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

    // The preview through the stage, as `choices` ask. Throws RenderFailed.
    FrameRender render(const StageUse& stage, const RenderChoices& choices = {}) const;

    // The preview's a*b* density before the stage, counted on first use and kept.
    const AbDensity& beforeDensity() const;
    // Counts into `density` the working pixels of the latest render through
    // the stage, as they came back (compressed where it was asked), when it
    // was made with `gamut`; false when there is none such.
    bool addLatestTo(AbDensity& density, GamutMode gamut) const;
    // The same pixels, row after row without border; empty when there are none such.
    std::vector<uint16_t> latestPixels(GamutMode gamut) const;

private:
    std::size_t stride() const; // samples per row, border included
    std::shared_ptr<const std::vector<uint16_t>> latest(GamutMode gamut) const;

    int32_t width_ = 0;
    int32_t height_ = 0;
    int threads_ = 1;
    bool grey_ = false; // shown as it is saved: lightness only, whatever the stage did to colour
    std::vector<uint16_t> working_; // every row with its border columns
    std::vector<uint8_t> alpha_;    // 8 bits per pixel; empty for an opaque photo
    ColourSpace display_;           // working to 8-bit sRGB, or sRGB grey
    Frame before_;

    // The working buffer of the latest render is kept rather than freed, so
    // that the vectorscope reads it later, off the frame's path.
    struct Latest {
        std::mutex lock; // guards what follows
        std::shared_ptr<const std::vector<uint16_t>> working;
        GamutMode gamut = GamutMode::Clip;
        std::once_flag beforeCounted;
        std::unique_ptr<AbDensity> before;
    };
    std::unique_ptr<Latest> latest_ = std::make_unique<Latest>();
};

} // namespace vivanto
