#include "held_preview.h"

#include "working_image.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace vivanto {

namespace {

// As the preview's chain cuts its regions, a stage call covers at most this
// many rows; smaller than the chain's own strips so that two threads share a
// 1000 px preview evenly. The stage gives the same result however the image
// is cut (chain.h), so only the number of calls changes.
constexpr int32_t kRowsPerStrip = 64;
constexpr int32_t kBorder = 4; // the chain's, so that the stage sees the same neighbours

using Clock = std::chrono::steady_clock;

int64_t nanosecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

bool cancelled(HostBool* flag)
{
    return flag != nullptr && std::atomic_ref<HostBool>(*flag).load(std::memory_order_relaxed) == 1;
}

// A photo's alpha sample at 8 bits, as the chain rescales it for an 8-bit result.
uint8_t alphaAt8Bits(const uint8_t* sample, int bytesPerSample)
{
    if (bytesPerSample == 1)
        return *sample;
    uint16_t value = 0;
    std::memcpy(&value, sample, sizeof value);
    return static_cast<uint8_t>((2U * value + 257U) / 514U);
}

// Over white, as libvips' flatten does it for 8 bits: in floating point, the
// result truncated.
uint8_t overWhite(uint8_t colour, uint8_t alpha)
{
    double a = alpha / 255.0;
    return static_cast<uint8_t>(a * colour + (1.0 - a) * 255.0);
}

// Strips handed out to threads as they come free; each runs `work(first, rows)`.
// The first failure is rethrown here once every thread has stopped.
template <typename Work> void inStrips(int32_t height, int threads, const Work& work)
{
    std::atomic<int32_t> next{0};
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    auto run = [&] {
        for (int32_t first; !failed && (first = next.fetch_add(kRowsPerStrip)) < height;) {
            try {
                work(first, std::min(kRowsPerStrip, height - first));
            } catch (...) {
                std::scoped_lock lock(failureLock);
                if (!failure)
                    failure = std::current_exception();
                failed = true;
            }
        }
    };
    int helpers = std::clamp((height + kRowsPerStrip - 1) / kRowsPerStrip, 1, threads) - 1;
    {
        std::vector<std::jthread> others;
        others.reserve(std::size_t(helpers));
        for (int t = 0; t < helpers; ++t)
            others.emplace_back(run);
        run();
    }
    if (failure)
        std::rethrow_exception(failure);
}

// One stage call over `rows` rows of a buffer laid out as the held preview's.
void stageOver(const StageUse& stage, uint16_t* firstPixel, std::size_t stride, int32_t width,
               int32_t rows)
{
    standin::Host& host = stage.host->host();
    ProcessHook process = stage.host->processHook();
    auto call = [&] {
        const standin::Geometry geometry{
            .width = width, .height = rows, .border = kBorder, .kind = kPixelFormat};
        standin::Image& image = host.addImageOver(geometry, firstPixel, int64_t(stride));
        PipeData pipe = host.pipe(&image, stage.cancelFlag);
        int result = process(host.record(), &pipe);
        host.removeImage(image);
        host.log().clear(); // nobody reads a render's calls
        return result;
    };
    int result = stage.aroundCall ? stage.aroundCall(call) : call();
    if (cancelled(stage.cancelFlag))
        throw RenderFailed("the render was cancelled: the server is stopping");
    if (result != 0)
        throw RenderFailed("the plug-in's stage refused the image (result " + std::to_string(result)
                           + ")");
}

} // namespace

HeldPreview::HeldPreview(const Photo& photo, int threads)
    : width_(photo.image.width())
    , height_(photo.image.height())
    , threads_(std::max(threads, 1))
    , grey_(photo.grey)
    , display_({}, photo.grey, 8)
{
    ColourSpace toWorking = [&]() -> ColourSpace {
        try {
            return {photo.profile, photo.grey, photo.bits};
        } catch (const ColourError& error) {
            throw PhotoError(error.what());
        }
    }();
    vips::VImage pixels = photo.image.copy_memory();
    const auto* data = static_cast<const uint8_t*>(pixels.data());
    const int sampleBytes = photo.bits / 8;
    const std::size_t colourBytes = std::size_t(photo.grey ? 1 : 3) * std::size_t(sampleBytes);
    const std::size_t pixelBytes = colourBytes + (photo.hasAlpha ? std::size_t(sampleBytes) : 0);
    const auto w = std::size_t(width_);

    working_.resize(stride() * std::size_t(height_));
    if (photo.hasAlpha)
        alpha_.resize(w * std::size_t(height_));
    std::vector<uint8_t> colourOnly(w * colourBytes);
    for (int32_t y = 0; y < height_; ++y) {
        const uint8_t* row = data + std::size_t(y) * w * pixelBytes;
        const uint8_t* colour = row;
        if (photo.hasAlpha) {
            for (std::size_t x = 0; x < w; ++x) {
                std::memcpy(&colourOnly[x * colourBytes], row + x * pixelBytes, colourBytes);
                alpha_[std::size_t(y) * w + x] =
                    alphaAt8Bits(row + x * pixelBytes + colourBytes, sampleBytes);
            }
            colour = colourOnly.data();
        }
        uint16_t* target = working_.data() + std::size_t(y) * stride();
        uint16_t* first = target + std::size_t(kBorder) * kChannels;
        toWorking.toWorking(colour, first, w);
        uint16_t* last = first + (w - 1) * kChannels;
        for (int32_t b = 0; b < kBorder; ++b) { // the edge pixel, as beyond a photo's edge
            std::memcpy(target + std::size_t(b) * kChannels, first, kChannels * sizeof(uint16_t));
            std::memcpy(last + std::size_t(b + 1) * kChannels, last, kChannels * sizeof(uint16_t));
        }
    }
    before_ = render({}).frame;
}

std::size_t HeldPreview::stride() const
{
    return (std::size_t(width_) + 2 * std::size_t(kBorder)) * kChannels;
}

std::size_t HeldPreview::heldBytes() const
{
    return working_.size() * sizeof(uint16_t) + alpha_.size() + before_.rgba.size();
}

FrameRender HeldPreview::render(const StageUse& stage, const RenderChoices& choices) const
{
    const auto w = std::size_t(width_);
    auto buffer = std::make_shared<std::vector<uint16_t>>(working_.size());
    // cppcheck-suppress constVariable ; the stage writes it, through data()
    std::vector<uint16_t>& working = *buffer;
    FrameRender render;
    render.frame = {width_, height_, std::vector<uint8_t>(w * std::size_t(height_) * 4)};
    std::atomic<uint64_t> outOfGamut{0};
    std::atomic<int64_t> stageNs{0}, backNs{0};

    inStrips(height_, threads_, [&](int32_t top, int32_t rows) {
        std::size_t firstSample = std::size_t(top) * stride();
        std::size_t samples = std::size_t(rows) * stride();
        std::copy_n(working_.begin() + std::ptrdiff_t(firstSample), samples,
                    working.begin() + std::ptrdiff_t(firstSample));
        auto started = Clock::now();
        if (stage.host != nullptr) {
            if (cancelled(stage.cancelFlag))
                throw RenderFailed("the render was cancelled: the server is stopping");
            stageOver(stage, working.data() + firstSample + std::size_t(kBorder) * kChannels,
                      stride(), width_, rows);
        }
        stageNs += nanosecondsSince(started);
        started = Clock::now();
        uint64_t outsideHere = 0;
        std::vector<uint8_t> outside(stage.host != nullptr ? w : 0);
        for (int32_t y = top; y < top + rows; ++y) {
            uint16_t* pixel =
                working.data() + std::size_t(y) * stride() + std::size_t(kBorder) * kChannels;
            uint8_t* out = render.frame.rgba.data() + std::size_t(y) * w * 4;
            // Only the stage moves a colour out of the gamut: the held photo
            // came in through it.
            // Packed sRGB (or grey) first, then spread to four bytes a pixel
            // from the last one back.
            // Compression changes the colours before they are converted, so
            // only clipping can take the samples from the gamut test's pass.
            std::size_t found = 0;
            if (stage.host == nullptr) {
                display_.fromWorking(pixel, out, w);
            } else if (choices.gamut == GamutMode::Compress) {
                found = display_.outOfGamut(pixel, outside.data(), w);
                if (found != 0)
                    compressIntoGamut(display_, pixel, outside.data(), w);
                display_.fromWorking(pixel, out, w);
            } else {
                found = display_.fromWorkingCountingGamut(pixel, out, outside.data(), w);
            }
            outsideHere += found;
            const uint8_t* alpha = alpha_.empty() ? nullptr : &alpha_[std::size_t(y) * w];
            const std::size_t bands = grey_ ? 1 : 3;
            for (std::size_t x = w; x-- > 0;) {
                uint8_t* rgba = out + x * 4;
                for (std::size_t c = 3; c-- > 0;) {
                    uint8_t value = out[x * bands + (grey_ ? 0 : c)];
                    rgba[c] = alpha != nullptr ? overWhite(value, alpha[x]) : value;
                }
                rgba[3] = 255;
            }
            if (found == 0 || !choices.marks)
                continue;
            for (std::size_t x = 0; x < w; ++x)
                if (outside[x] != 0) // a check that stands out on any colour
                    std::fill_n(out + x * 4, 3,
                                ((x / 2 + std::size_t(y) / 2) % 2) != 0 ? uint8_t{255}
                                                                        : uint8_t{0});
        }
        outOfGamut += outsideHere;
        backNs += nanosecondsSince(started);
    });
    if (stage.host != nullptr) {
        std::vector<std::string> broken = stage.host->host().violations();
        if (!broken.empty())
            throw RenderFailed("the plug-in broke the host's rules: " + broken.front());
        std::scoped_lock lock(latest_->lock);
        latest_->working = std::move(buffer);
        latest_->gamut = choices.gamut;
    }
    render.outOfGamutPixels = outOfGamut;
    render.stageMilliseconds = double(stageNs.load()) * 1e-6;
    render.backMilliseconds = double(backNs.load()) * 1e-6;
    return render;
}

namespace {

void addRows(AbDensity& density, const uint16_t* working, std::size_t stride, int32_t width,
             int32_t height)
{
    for (int32_t y = 0; y < height; ++y)
        density.add(working + std::size_t(y) * stride + std::size_t(kBorder) * kChannels,
                    std::size_t(width));
}

} // namespace

const AbDensity& HeldPreview::beforeDensity() const
{
    std::call_once(latest_->beforeCounted, [this] {
        latest_->before = std::make_unique<AbDensity>();
        addRows(*latest_->before, working_.data(), stride(), width_, height_);
    });
    return *latest_->before;
}

std::shared_ptr<const std::vector<uint16_t>> HeldPreview::latest(GamutMode gamut) const
{
    std::scoped_lock lock(latest_->lock);
    return latest_->gamut == gamut ? latest_->working : nullptr;
}

bool HeldPreview::addLatestTo(AbDensity& density, GamutMode gamut) const
{
    std::shared_ptr<const std::vector<uint16_t>> working = latest(gamut);
    if (!working)
        return false;
    addRows(density, working->data(), stride(), width_, height_);
    return true;
}

std::vector<uint16_t> HeldPreview::latestPixels(GamutMode gamut) const
{
    std::shared_ptr<const std::vector<uint16_t>> working = latest(gamut);
    std::vector<uint16_t> pixels;
    if (!working)
        return pixels;
    const std::size_t row = std::size_t(width_) * kChannels;
    pixels.reserve(row * std::size_t(height_));
    for (int32_t y = 0; y < height_; ++y) {
        auto first = working->begin()
            + std::ptrdiff_t(std::size_t(y) * stride() + std::size_t(kBorder) * kChannels);
        pixels.insert(pixels.end(), first, first + std::ptrdiff_t(row));
    }
    return pixels;
}

} // namespace vivanto
