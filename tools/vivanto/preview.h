// One photo held for the live preview page: the photo as read, a copy scaled
// down to preview size whose working image is made once, and renders of
// either through the plug-in's stage. Every render starts again from the
// untouched working image, so the page always shows the current settings
// applied once, never on top of an earlier render.
#pragma once

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
    double stageMilliseconds = 0;   // wall-clock time of the stage over the whole preview
    uint64_t clippedPixels = 0;     // see clippedByStage()
};

struct FullRender {
    std::vector<unsigned char> bytes; // in the photo's own format and depth
    std::string fileName;
    std::string mimeType;
    double stageMilliseconds = 0;
};

// Marks the pixels whose red-green or blue-yellow sample the stage left at 0
// or 65535 when it was not there before: where the scaled value fell outside
// the encoding and was clamped, so distinct colours became one. Samples
// already at an edge are not counted, since the photo had them so.
std::vector<bool> clippedByStage(const WorkingImage& before, const WorkingImage& after);

class LivePhoto {
public:
    // `name` is the file name shown and used for the download.
    LivePhoto(Photo photo, std::string name, int previewSide, int threads);

    // Reads a file (throws PhotoError), or the built-in example chart.
    static LivePhoto fromFile(const std::string& path, int previewSide, int threads);
    static LivePhoto example(int previewSide, int threads);

    const std::string& name() const { return name_; }
    int32_t width() const { return photo_.image.width(); }
    int32_t height() const { return photo_.image.height(); }
    int32_t previewWidth() const { return previewWorking_.width; }
    int32_t previewHeight() const { return previewWorking_.height; }

    // The preview with no stage, as PNG.
    const std::vector<unsigned char>& beforePng() const { return beforePng_; }

    // Both renders hold `stageLock`, which guards `stage` against edits, only
    // while the stage runs, so that one render's colour conversion and encoding
    // (seconds for a full-size photo) hold up neither edits nor other renders.

    // The preview through the stage with the settings `stage` holds now, the
    // clipped pixels painted in a black and white check when `markClipping`.
    // Throws RenderFailed or PhotoError.
    PreviewRender preview(StageHost& stage, std::mutex& stageLock, bool markClipping,
                          HostBool* cancelFlag) const;

    // The whole photo through the stage, encoded as the input was (JPEG at
    // `quality`). Throws RenderFailed or PhotoError.
    FullRender full(StageHost& stage, std::mutex& stageLock, int quality,
                    HostBool* cancelFlag) const;

private:
    // The stage over `image`, in strips on the render threads, every strip
    // under the same settings; returns its wall-clock milliseconds.
    double runStage(StageHost& stage, std::mutex& stageLock, WorkingImage& image,
                    HostBool* cancelFlag) const;

    Photo photo_;
    std::string name_;
    int threads_;
    Photo previewPhoto_;
    WorkingImage previewWorking_;
    std::vector<unsigned char> beforePng_;
};

} // namespace vivanto
