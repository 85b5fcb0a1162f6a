#include "preview.h"

#include "reference_chart.h"

#include <algorithm>
#include <chrono>
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

ChainOptions renderOptions(StageHost& stage, std::mutex& stageLock, int bits, HostBool* cancelFlag,
                           GamutMode gamut)
{
    ChainOptions options{
        .outputBits = bits, .rowsPerStrip = 256, .cancelFlag = cancelFlag, .gamut = gamut};
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
    , threads_(std::max(threads, 1))
    , sizes_(std::make_unique<Sizes>())
{
    vips_concurrency_set(threads_);
    // A file is read anew for every render; its previews from one reading of
    // their own, scaled once to the largest a preview may be and from there
    // to each size.
    largest_ = scaledDown(path_.empty() ? photo_ : openPhoto(path_),
                          std::max(previewSide, kLargestAskedSide));
    preview_ = std::make_shared<const HeldPreview>(scaledDown(largest_, previewSide), threads_);
    beforePng_ = pngOf(preview_->before());
}

LivePhoto LivePhoto::fromFile(const std::string& path, int previewSide, int threads)
{
    try {
        return {openPhoto(path), path, std::filesystem::path(path).filename().string(), previewSide,
                threads};
    } catch (const PhotoError& error) { // its messages leave the file to the caller
        throw PhotoError(path + ": " + error.what());
    }
}

LivePhoto LivePhoto::example(int previewSide, int threads)
{
    Photo chart{.format = FileFormat::Png, .bits = 16, .image = referenceChart()};
    return {std::move(chart), "", "example_chart.png", previewSide, threads};
}

Photo LivePhoto::source() const
{
    return path_.empty() ? photo_ : openPhoto(path_);
}

Photo LivePhoto::randomSource() const
{
    if (path_.empty())
        return photo_;
    std::scoped_lock lock(sizes_->lock);
    if (!sizes_->cropSourceOpen) {
        sizes_->cropSource = openPhoto(path_, true);
        sizes_->cropSourceOpen = true;
    }
    return sizes_->cropSource;
}

int32_t LivePhoto::largestPreviewSide() const
{
    return std::min(kLargestAskedSide, std::max(width_, height_));
}

std::shared_ptr<const HeldPreview> LivePhoto::held(int32_t side) const
{
    if (side == 0)
        return preview_;
    if (side < kSmallestAskedSide || side > largestPreviewSide())
        throw std::invalid_argument("a preview side outside the sizes offered");
    std::scoped_lock lock(sizes_->lock);
    auto& held = sizes_->held;
    auto found = std::find_if(held.begin(), held.end(),
                              [side](const auto& entry) { return entry.first == side; });
    if (found != held.end()) {
        held.splice(held.begin(), held, found);
        return held.front().second;
    }
    held.emplace_front(side,
                       std::make_shared<const HeldPreview>(scaledDown(largest_, side), threads_));
    if (held.size() > kMostSizesHeld) // renders still using it keep it until they end
        held.pop_back();
    return held.front().second;
}

FrameRender LivePhoto::preview(StageHost& stage, std::mutex& stageLock, int32_t side,
                               const RenderChoices& choices, HostBool* cancelFlag) const
{
    std::shared_ptr<const HeldPreview> shown = held(side);
    return shown->render({&stage, withSettingsOfNow(stage, stageLock), cancelFlag}, choices);
}

namespace {

// The crop of `side` pixels (or fewer, in a smaller photo) around the spot,
// moved inside the photo where the spot is near an edge.
VipsRect cropAround(const LoupeSpot& spot, int32_t width, int32_t height)
{
    int32_t w = std::min(spot.side, width);
    int32_t h = std::min(spot.side, height);
    return {std::clamp(spot.x - w / 2, 0, width - w), std::clamp(spot.y - h / 2, 0, height - h), w,
            h};
}

Frame frameOf(const VImage& shown)
{
    VImage rgb = shown.bands() == 1 ? VImage::bandjoin({shown, shown, shown}) : shown;
    VImage rgba = rgb.bandjoin_const({255.0}).cast(VIPS_FORMAT_UCHAR);
    size_t size = 0;
    auto* memory = static_cast<uint8_t*>(rgba.write_to_memory(&size));
    Frame frame{rgba.width(), rgba.height(), std::vector<uint8_t>(memory, memory + size)};
    g_free(memory);
    return frame;
}

} // namespace

VImage LivePhoto::loupeResult(StageHost* stage, std::mutex& stageLock, const LoupeSpot& spot,
                              HostBool* cancelFlag, VipsRect* placed, GamutMode gamut) const
{
    Photo photo = randomSource();
    *placed = cropAround(spot, width_, height_);
    ChainOptions options{.outputBits = photo.bits, .rowsPerStrip = 256, .cancelFlag = cancelFlag};
    std::unique_ptr<Chain> chain;
    if (stage != nullptr) {
        options = renderOptions(*stage, stageLock, photo.bits, cancelFlag, gamut);
        chain = std::make_unique<Chain>(*stage, photo, options);
    } else {
        chain = std::make_unique<Chain>(photo, options);
    }
    // Only the crop is asked of the chain, which reads its rows' neighbours
    // from the photo as for any region.
    VImage crop;
    rendered(*chain, [&] {
        crop = chain->result()
                   .crop(placed->left, placed->top, placed->width, placed->height)
                   .copy_memory();
    });
    return crop;
}

LoupeRender LivePhoto::loupe(StageHost* stage, std::mutex& stageLock, const LoupeSpot& spot,
                             HostBool* cancelFlag, GamutMode gamut) const
{
    auto started = std::chrono::steady_clock::now();
    VipsRect placed{};
    VImage crop = loupeResult(stage, stageLock, spot, cancelFlag, &placed, gamut);
    LoupeRender render;
    render.renderMilliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    try {
        render.frame = frameOf(forDisplay(crop, photo_));
    } catch (const vips::VError& error) {
        throw photoError("cannot show the crop", error);
    }
    render.left = placed.left;
    render.top = placed.top;
    return render;
}

FullRender LivePhoto::full(StageHost& stage, std::mutex& stageLock, int quality,
                           HostBool* cancelFlag, GamutMode gamut) const
{
    Photo photo = source();
    Chain chain(stage, photo, renderOptions(stage, stageLock, photo.bits, cancelFlag, gamut));
    FullRender render;
    rendered(chain, [&] { render.bytes = encodedPhoto(chain.result(), photo.format, quality); });
    render.stageMilliseconds = milliseconds(chain);
    render.fileName =
        std::filesystem::path(name_).stem().string() + "_vivanto" + suffixOf(photo.format);
    render.mimeType = mimeTypeOf(photo.format);
    return render;
}

std::vector<unsigned char> pngOf(const Frame& frame)
{
    try {
        VImage rgba =
            VImage::new_from_memory(const_cast<uint8_t*>(frame.rgba.data()), frame.rgba.size(),
                                    frame.width, frame.height, 4, VIPS_FORMAT_UCHAR);
        // The page asks for a preview on every slider move: the least
        // compression costs some bytes on a local connection and saves most
        // of the encoding time.
        return encodedPhoto(
            rgba.extract_band(0, VImage::option()->set("n", 3))
                .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
            FileFormat::Png, 0, 1);
    } catch (const vips::VError& error) {
        throw photoError("cannot encode the preview", error);
    }
}

} // namespace vivanto
