#include "preview.h"

#include "reference_chart.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace vivanto {

using vips::VImage;

namespace {

// libvips' message for the user, with its error buffer cleared for the next one.
PhotoError photoError(const std::string& what, const vips::VError& error)
{
    return PhotoError(what + ": " + libraryMessage(error));
}

// The photo scaled so that its longest side is at most `side`, kind, depth and
// profile unchanged, held in memory; read once, top to bottom, so a photo of
// any size is scaled in bounded memory. Transparent pixels carry no colour, so
// with alpha the colours are weighted by it while scaling and divided out
// again afterwards.
Photo scaledDown(const Photo& photo, int side)
{
    Photo small = photo;
    try {
        double scale = double(side) / std::max(photo.image.width(), photo.image.height());
        VImage image = photo.image;
        if (scale < 1.0) {
            double maxAlpha = photo.bits == 16 ? 65535.0 : 255.0;
            VipsInterpretation interpretation = image.interpretation();
            if (photo.hasAlpha)
                image = image.premultiply(VImage::option()->set("max_alpha", maxAlpha));
            image = image.resize(scale, VImage::option()->set("kernel", VIPS_KERNEL_LANCZOS3));
            if (photo.hasAlpha)
                image = image.unpremultiply(VImage::option()->set("max_alpha", maxAlpha));
            image = image.cast(bandFormatOf(photo.bits))
                        .copy(VImage::option()->set("interpretation", interpretation));
        }
        small.image = image.copy_memory();
    } catch (const vips::VError& error) {
        throw photoError("cannot scale it down for the preview", error);
    }
    return small;
}

// Paints the marked pixels in a black and white check, which stands out on
// any colour, even on the saturated ones that clip.
VImage withMarks(const VImage& image, const std::vector<uint8_t>& marked)
{
    size_t size = 0;
    auto* memory = static_cast<unsigned char*>(image.write_to_memory(&size));
    std::vector<unsigned char> pixels(memory, memory + size);
    g_free(memory);
    auto width = std::size_t(image.width());
    auto bands = std::size_t(image.bands());
    for (std::size_t at = 0; at < marked.size(); ++at) {
        if (marked[at] == 0)
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

// Every stage call of one render holds the plug-in alone and runs under the
// settings the plug-in held when the render started, put back quietly for
// the call and the current ones restored after it.
StageCallWrapper withSettingsOfNow(StageHost& stage, std::mutex& stageLock)
{
    std::vector<standin::Option> started;
    {
        std::scoped_lock lock(stageLock);
        started = stage.options();
    }
    return [&stage, &stageLock, started](const std::function<int()>& call) {
        std::scoped_lock lock(stageLock);
        std::vector<standin::Option> now = stage.options();
        for (const standin::Option& option : started)
            stage.storeQuietly(option.key, option.value);
        int result = call();
        for (const standin::Option& option : now)
            stage.storeQuietly(option.key, option.value);
        return result;
    };
}

ChainOptions renderOptions(StageHost& stage, std::mutex& stageLock, int bits, HostBool* cancelFlag)
{
    ChainOptions options{.outputBits = bits, .rowsPerStrip = 256, .cancelFlag = cancelFlag};
    options.aroundStageCall = withSettingsOfNow(stage, stageLock);
    return options;
}

// Runs `sink` over `chain`, with the chain's failures in the page's words.
template <typename Sink> void rendered(Chain& chain, const Sink& sink)
{
    try {
        chain.run(sink);
    } catch (const ChainCancelled&) {
        throw RenderFailed("the render was cancelled: the server is stopping");
    } catch (const StageFailure& failure) {
        throw RenderFailed(failure.what());
    }
}

double milliseconds(const Chain& chain)
{
    return chain.times().stage * 1e3;
}

} // namespace

std::vector<bool> clippedByStage(const WorkingImage& before, const WorkingImage& after)
{
    std::size_t pixels = std::min(before.samples.size(), after.samples.size()) / kChannels;
    std::vector<bool> clipped(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        clipped[p] = clampedByStage(opponentEdges(&before.samples[p * kChannels]),
                                    &after.samples[p * kChannels]);
    return clipped;
}

LivePhoto::LivePhoto(Photo photo, std::string path, std::string name, int previewSide, int threads)
    : photo_(std::move(photo))
    , path_(std::move(path))
    , name_(std::move(name))
    , width_(photo_.image.width())
    , height_(photo_.image.height())
{
    vips_concurrency_set(std::max(threads, 1));
    // A file is read anew for every render; its preview from a reading of its own.
    preview_ = scaledDown(path_.empty() ? photo_ : openPhoto(path_), previewSide);
}

LivePhoto LivePhoto::fromFile(const std::string& path, int previewSide, int threads)
{
    try {
        LivePhoto photo(openPhoto(path), path, std::filesystem::path(path).filename().string(),
                        previewSide, threads);
        photo.makeBefore();
        return photo;
    } catch (const PhotoError& error) { // its messages leave the file to the caller
        throw PhotoError(path + ": " + error.what());
    }
}

LivePhoto LivePhoto::example(int previewSide, int threads)
{
    Photo chart{.format = FileFormat::Png, .bits = 16, .image = referenceChart()};
    LivePhoto photo(std::move(chart), "", "example_chart.png", previewSide, threads);
    photo.makeBefore();
    return photo;
}

Photo LivePhoto::source() const
{
    return path_.empty() ? photo_ : openPhoto(path_);
}

// The preview's way there and back without the stage, as the page shows it
// beside the stage's work.
void LivePhoto::makeBefore()
{
    Chain chain(preview_, {.outputBits = 8});
    VImage shown;
    rendered(chain, [&] { shown = forDisplay(chain.result(), preview_).copy_memory(); });
    beforePng_ = pngForPage(shown);
}

PreviewRender LivePhoto::preview(StageHost& stage, std::mutex& stageLock, bool markClipping,
                                 HostBool* cancelFlag) const
{
    std::vector<uint8_t> clipped;
    ChainOptions options = renderOptions(stage, stageLock, 8, cancelFlag);
    options.clippedPixels = &clipped;
    Chain chain(stage, preview_, options);
    VImage shown;
    rendered(chain, [&] { shown = forDisplay(chain.result(), preview_).copy_memory(); });
    PreviewRender render;
    render.stageMilliseconds = milliseconds(chain);
    render.clippedPixels = uint64_t(std::count(clipped.begin(), clipped.end(), uint8_t{1}));
    if (markClipping && render.clippedPixels > 0)
        shown = withMarks(shown, clipped);
    render.png = pngForPage(shown);
    return render;
}

FullRender LivePhoto::full(StageHost& stage, std::mutex& stageLock, int quality,
                           HostBool* cancelFlag) const
{
    Photo photo = source();
    Chain chain(stage, photo, renderOptions(stage, stageLock, photo.bits, cancelFlag));
    FullRender render;
    rendered(chain, [&] { render.bytes = encodedPhoto(chain.result(), photo.format, quality); });
    render.stageMilliseconds = milliseconds(chain);
    render.fileName =
        std::filesystem::path(name_).stem().string() + "_vivanto" + suffixOf(photo.format);
    render.mimeType = mimeTypeOf(photo.format);
    return render;
}

} // namespace vivanto
