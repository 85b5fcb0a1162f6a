// One photo held for the live preview page: the photo (its file, opened anew
// for each full-size render, or the example chart in memory), copies scaled
// down to the preview sizes the page asks for, each held converted to the
// working image (held_preview.h), and crops at full size for the loupe. The
// full-size download and the loupe are the chain a batch runs (chain.h).
// Every render starts again from the photo, so the page always shows the
// current settings applied once, never on top of an earlier render.
#pragma once

#include "chain.h"
#include "held_preview.h"
#include "photo.h"
#include "stage_host.h"
#include "working_image.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivanto {

// A preview sized to the page is at most this long on its longest side: a
// large window at two device pixels per CSS pixel.
inline constexpr int32_t kLargestAskedSide = 2000;
inline constexpr int32_t kSmallestAskedSide = 16;
// Sizes held besides the one vivanto started with; the least recently used
// goes first. At 2000 px one holds about 30 MB.
inline constexpr std::size_t kMostSizesHeld = 4;
// The loupe's crops, in photo pixels on each side.
inline constexpr int32_t kSmallestLoupe = 16;
inline constexpr int32_t kLargestLoupe = 512;

// Where the loupe looks: the crop's centre in photo pixels and its side.
struct LoupeSpot {
    int32_t x = 0;
    int32_t y = 0;
    int32_t side = 256;
};

struct LoupeRender {
    Frame frame;      // at 100 %: one pixel of the photo each
    int32_t left = 0; // where the crop lies in the photo: moved inside it near an edge
    int32_t top = 0;
    double renderMilliseconds = 0; // the chain over the crop, reading the photo included
};

// The pixels whose red-green or blue-yellow sample the stage left at 0 or
// 65535 when it was not there before (see clampedByStage in chain.h).
std::vector<bool> clippedByStage(const WorkingImage& before, const WorkingImage& after);

struct FullRender {
    std::vector<unsigned char> bytes; // in the photo's own format and depth
    std::string fileName;
    std::string mimeType;
    double stageMilliseconds = 0;
};

class LivePhoto {
public:
    // Reads a file's header and makes its preview (throws PhotoError), or
    // takes the built-in example chart.
    // Renders run on `threads` of libvips' threads.
    static LivePhoto fromFile(const std::string& path, int previewSide, int threads);
    static LivePhoto example(int previewSide, int threads);

    const std::string& name() const { return name_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t previewWidth() const { return preview_->width(); }
    int32_t previewHeight() const { return preview_->height(); }
    // The longest side a preview may be asked for: kLargestAskedSide, or the
    // photo's own when that is smaller.
    int32_t largestPreviewSide() const;

    // The preview vivanto started with, with no stage, as PNG.
    const std::vector<unsigned char>& beforePng() const { return beforePng_; }

    // A preview whose longest side is `side` (0: the one vivanto started
    // with), made on first use and held; `side` must lie within
    // kSmallestAskedSide..largestPreviewSide(). Throws PhotoError.
    std::shared_ptr<const HeldPreview> held(int32_t side) const;

    // Renders share the plug-in with edits through `stageLock`, which guards
    // `stage`: each render runs under the settings `stage` held when it
    // started, every one of its stage calls holding the lock alone, so that
    // an edit landing between two strips of a long render (a full-size
    // download takes seconds) changes only the renders after it, and holds up
    // neither the render nor the page.

    // The preview of longest side `side` (0: the one vivanto started with)
    // through the stage, as `choices` ask. Throws RenderFailed or PhotoError.
    FrameRender preview(StageHost& stage, std::mutex& stageLock, int32_t side,
                        const RenderChoices& choices, HostBool* cancelFlag) const;

    // A crop at full size around `spot` (within the photo), through the
    // stage, or without it when `stage` is null: the same pixels as that
    // part of the full-size download, shown in 8-bit sRGB. Throws
    // RenderFailed or PhotoError. `gamut` as ChainOptions::gamut.
    LoupeRender loupe(StageHost* stage, std::mutex& stageLock, const LoupeSpot& spot,
                      HostBool* cancelFlag, GamutMode gamut = GamutMode::Clip) const;
    // The same crop as the chain leaves it: the photo's kind at its own depth.
    vips::VImage loupeResult(StageHost* stage, std::mutex& stageLock, const LoupeSpot& spot,
                             HostBool* cancelFlag, VipsRect* placed,
                             GamutMode gamut = GamutMode::Clip) const;

    // The whole photo through the stage, encoded as the input was (JPEG at
    // `quality`). Throws RenderFailed or PhotoError.
    FullRender full(StageHost& stage, std::mutex& stageLock, int quality, HostBool* cancelFlag,
                    GamutMode gamut = GamutMode::Clip) const;

private:
    LivePhoto(Photo photo, std::string path, std::string name, int previewSide, int threads);
    Photo source() const;       // the photo for one full-size render
    Photo randomSource() const; // the photo for crops, opened once

    // The sizes asked for besides the first, most recently used first.
    struct Sizes {
        std::mutex lock; // guards what follows, and making a size
        std::list<std::pair<int32_t, std::shared_ptr<const HeldPreview>>> held;
        Photo cropSource; // opened on the first crop
        bool cropSourceOpen = false;
    };

    Photo photo_;      // the header, and the pixels too for a photo held in memory
    std::string path_; // empty for the example chart
    std::string name_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int threads_ = 1;
    Photo largest_; // in memory, scaled to the largest side a preview may have
    std::shared_ptr<const HeldPreview> preview_;
    std::unique_ptr<Sizes> sizes_;
    std::vector<unsigned char> beforePng_;
};

// A frame as PNG (8-bit sRGB, no alpha), compressed as little as zlib can.
std::vector<unsigned char> pngOf(const Frame& frame);

} // namespace vivanto
