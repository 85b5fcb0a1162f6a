// One photo held for the live preview page: the photo (its file, opened anew
// for each full-size render, or the example chart in memory), a copy scaled
// down to preview size, and renders of either through a chain (see chain.h),
// the same chain a batch runs. Every render starts again from the photo, so
// the page always shows the current settings applied once, never on top of
// an earlier render.
#pragma once

#include "chain.h"
#include "photo.h"
#include "stage_host.h"
#include "working_image.h"

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivanto {

// The stage was cancelled (the server is stopping) or refused the image.
struct RenderFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PreviewRender {
    std::vector<unsigned char> png; // 8-bit sRGB
    double stageMilliseconds = 0;   // the stage's time over the whole preview, summed over threads
    uint64_t clippedPixels = 0;     // see ChainOptions::clippedPixels
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
    int32_t previewWidth() const { return preview_.image.width(); }
    int32_t previewHeight() const { return preview_.image.height(); }

    // The preview with no stage, as PNG.
    const std::vector<unsigned char>& beforePng() const { return beforePng_; }

    // Renders share the plug-in with edits through `stageLock`, which guards
    // `stage`: each render runs under the settings `stage` held when it
    // started, every one of its stage calls holding the lock alone, so that
    // an edit landing between two strips of a long render (a full-size
    // download takes seconds) changes only the renders after it, and holds up
    // neither the render nor the page.

    // The preview through the stage, the clipped pixels painted in a black
    // and white check when `markClipping`. Throws RenderFailed or PhotoError.
    PreviewRender preview(StageHost& stage, std::mutex& stageLock, bool markClipping,
                          HostBool* cancelFlag) const;

    // The whole photo through the stage, encoded as the input was (JPEG at
    // `quality`). Throws RenderFailed or PhotoError.
    FullRender full(StageHost& stage, std::mutex& stageLock, int quality,
                    HostBool* cancelFlag) const;

private:
    LivePhoto(Photo photo, std::string path, std::string name, int previewSide, int threads);
    void makeBefore();
    Photo source() const; // the photo for one full-size render

    Photo photo_;      // the header, and the pixels too for a photo held in memory
    std::string path_; // empty for the example chart
    std::string name_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    Photo preview_; // in memory
    std::vector<unsigned char> beforePng_;
};

} // namespace vivanto
