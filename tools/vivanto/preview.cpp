#include "preview.h"

#include "reference_chart.h"
#include "strips.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace vivanto {

using vips::VImage;

namespace {

bool atEdge(uint16_t sample)
{
    return sample == 0 || sample == 65535;
}

// libvips' message for the user, with its error buffer cleared for the next one.
PhotoError photoError(const std::string& what, const vips::VError& error)
{
    std::string text = error.what();
    vips_error_clear();
    return PhotoError(what + ": " + text.substr(0, text.find('\n')));
}

// The photo scaled so that its longest side is at most `side`, kind, depth and
// profile unchanged. Transparent pixels carry no colour, so with alpha the
// colours are weighted by it while scaling and divided out again afterwards.
Photo scaledDown(const Photo& photo, int side)
{
    double scale = double(side) / std::max(photo.image.width(), photo.image.height());
    if (scale >= 1.0)
        return photo;
    Photo small = photo;
    try {
        double maxAlpha = photo.bits == 16 ? 65535.0 : 255.0;
        VImage image = photo.image;
        VipsInterpretation interpretation = image.interpretation();
        if (photo.hasAlpha)
            image = image.premultiply(VImage::option()->set("max_alpha", maxAlpha));
        image = image.resize(scale, VImage::option()->set("kernel", VIPS_KERNEL_LANCZOS3));
        if (photo.hasAlpha)
            image = image.unpremultiply(VImage::option()->set("max_alpha", maxAlpha));
        small.image = image.cast(photo.bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR)
                          .copy(VImage::option()->set("interpretation", interpretation))
                          .copy_memory();
    } catch (const vips::VError& error) {
        throw photoError("cannot scale it down for the preview", error);
    }
    return small;
}

// A working image back to 8-bit sRGB for the page.
VImage shown(const WorkingImage& working, const Photo& photo, int threads)
{
    try {
        return forDisplay(fromWorking(working, photo, 8, threads), photo).copy_memory();
    } catch (const vips::VError& error) {
        throw photoError("cannot convert it for display", error);
    }
}

// Paints the marked pixels in a black and white check, which stands out on
// any colour, even on the saturated ones that clip.
VImage withMarks(const VImage& image, const std::vector<bool>& marked)
{
    size_t size = 0;
    auto* memory = static_cast<unsigned char*>(image.write_to_memory(&size));
    std::vector<unsigned char> pixels(memory, memory + size);
    g_free(memory);
    auto width = std::size_t(image.width());
    auto bands = std::size_t(image.bands());
    for (std::size_t at = 0; at < marked.size(); ++at) {
        if (!marked[at])
            continue;
        std::size_t x = at % width, y = at / width;
        unsigned char value = ((x / 2 + y / 2) % 2) != 0 ? 255 : 0;
        std::fill_n(pixels.begin() + std::ptrdiff_t(at * bands), bands, value);
    }
    return VImage::new_from_memory(pixels.data(), pixels.size(), image.width(), image.height(),
                                   image.bands(), image.format())
        .copy(VImage::option()->set("interpretation", image.interpretation()))
        .copy_memory();
}

// The page asks for a preview on every slider move: the least compression
// costs some bytes on a local connection and saves most of the encoding time.
std::vector<unsigned char> pngForPage(const VImage& image)
{
    return encodedPhoto(image, FileFormat::Png, 0, 1);
}

} // namespace

std::vector<bool> clippedByStage(const WorkingImage& before, const WorkingImage& after)
{
    std::size_t pixels = std::min(before.samples.size(), after.samples.size()) / kChannels;
    std::vector<bool> clipped(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        for (std::size_t channel = 1; channel < std::size_t(kChannels); ++channel) {
            uint16_t was = before.samples[p * kChannels + channel];
            uint16_t is = after.samples[p * kChannels + channel];
            if (atEdge(is) && !atEdge(was))
                clipped[p] = true;
        }
    return clipped;
}

LivePhoto::LivePhoto(Photo photo, std::string name, int previewSide, int threads)
    : photo_(std::move(photo))
    , name_(std::move(name))
    , threads_(threads)
    , previewPhoto_(scaledDown(photo_, previewSide))
    , previewWorking_(toWorking(previewPhoto_, threads))
    , beforePng_(pngForPage(shown(previewWorking_, previewPhoto_, threads)))
{
}

LivePhoto LivePhoto::fromFile(const std::string& path, int previewSide, int threads)
{
    try {
        return {decodePhoto(path), std::filesystem::path(path).filename().string(), previewSide,
                threads};
    } catch (const PhotoError& error) { // its messages leave the file to the caller
        throw PhotoError(path + ": " + error.what());
    }
}

LivePhoto LivePhoto::example(int previewSide, int threads)
{
    Photo chart{.format = FileFormat::Png, .bits = 16, .image = referenceChart()};
    return {std::move(chart), "example_chart.png", previewSide, threads};
}

double LivePhoto::runStage(StageHost& stage, std::mutex& stageLock, WorkingImage& image,
                           HostBool* cancelFlag) const
{
    std::scoped_lock lock(stageLock);
    auto started = std::chrono::steady_clock::now();
    StripRun run =
        runInStrips(stage, image, {.threads = threads_, .rowsPerStrip = 256}, cancelFlag);
    double milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    switch (run.result) {
    case StageResult::Done:
        return milliseconds;
    case StageResult::Cancelled:
        throw RenderFailed("the render was cancelled: the server is stopping");
    case StageResult::Refused:
        throw RenderFailed("the plug-in's stage refused the image (result -1)");
    case StageResult::HostRulesBroken:
        throw RenderFailed("the plug-in broke the host's rules: "
                           + stage.host().violations().front());
    }
    return milliseconds;
}

PreviewRender LivePhoto::preview(StageHost& stage, std::mutex& stageLock, bool markClipping,
                                 HostBool* cancelFlag) const
{
    WorkingImage after = previewWorking_;
    PreviewRender render;
    render.stageMilliseconds = runStage(stage, stageLock, after, cancelFlag);
    std::vector<bool> clipped = clippedByStage(previewWorking_, after);
    render.clippedPixels = uint64_t(std::count(clipped.begin(), clipped.end(), true));
    VImage image = shown(after, previewPhoto_, threads_);
    if (markClipping && render.clippedPixels > 0)
        image = withMarks(image, clipped);
    render.png = pngForPage(image);
    return render;
}

FullRender LivePhoto::full(StageHost& stage, std::mutex& stageLock, int quality,
                           HostBool* cancelFlag) const
{
    WorkingImage working = toWorking(photo_, threads_);
    FullRender render;
    render.stageMilliseconds = runStage(stage, stageLock, working, cancelFlag);
    VImage result = fromWorking(working, photo_, photo_.bits, threads_);
    render.bytes = encodedPhoto(result, photo_.format, quality);
    render.fileName =
        std::filesystem::path(name_).stem().string() + "_vivanto" + suffixOf(photo_.format);
    render.mimeType = mimeTypeOf(photo_.format);
    return render;
}

} // namespace vivanto
