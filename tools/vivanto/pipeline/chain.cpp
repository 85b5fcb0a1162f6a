#include "chain.h"

#include "colour.h"
#include "working_image.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace vivanto {

using vips::VImage;

namespace {

constexpr int kSampleValues = 65536;

using Clock = std::chrono::steady_clock;

int64_t nanosecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// libvips' address macros mix signed and unsigned arithmetic.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
VipsPel* addressIn(VipsRegion* region, int x, int y)
{
    return VIPS_REGION_ADDR(region, x, y);
}
std::size_t lineBytes(VipsImage* image)
{
    return std::size_t(VIPS_IMAGE_SIZEOF_LINE(image));
}
std::size_t pixelBytesOf(VipsImage* image)
{
    return std::size_t(VIPS_IMAGE_SIZEOF_PEL(image));
}
#pragma GCC diagnostic pop

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VIVANTO_THREAD_SANITIZER 1
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif
#endif

// libvips fills and drains region memory on its own threads and hands it over
// through glib's futex-based locks, which ThreadSanitizer cannot see: every
// access to it would be reported as a race (and then suppressed as libvips',
// at such cost that a render takes seconds). Under ThreadSanitizer the
// conversions' accesses are therefore not watched; elsewhere this is nothing.
struct RegionMemoryAccess {
    RegionMemoryAccess()
    {
#ifdef VIVANTO_THREAD_SANITIZER
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    }
    ~RegionMemoryAccess()
    {
#ifdef VIVANTO_THREAD_SANITIZER
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#endif
    }
    RegionMemoryAccess(const RegionMemoryAccess&) = delete;
    RegionMemoryAccess& operator=(const RegionMemoryAccess&) = delete;
};

bool flagSet(HostBool* flag)
{
    return flag != nullptr && std::atomic_ref<HostBool>(*flag).load(std::memory_order_relaxed) == 1;
}

// How a photo's pixels lie in memory: colour bands, then alpha if any.
struct PixelLayout {
    int colourBands = 3;
    bool alpha = false;
    int bytesPerSample = 1;

    int bands() const { return colourBands + (alpha ? 1 : 0); }
    std::size_t pixelBytes() const { return std::size_t(bands()) * std::size_t(bytesPerSample); }
    std::size_t colourBytes() const
    {
        return std::size_t(colourBands) * std::size_t(bytesPerSample);
    }
};

unsigned alphaSample(const VipsPel* pixel, const PixelLayout& layout)
{
    const VipsPel* at = pixel + layout.colourBytes();
    if (layout.bytesPerSample == 1)
        return *at;
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Alpha from `from`'s depth to `to`'s: 8 to 16 bits exactly (x 257), 16 to 8
// rounded half up.
void putAlpha(unsigned alpha, const PixelLayout& from, VipsPel* pixel, const PixelLayout& to)
{
    VipsPel* at = pixel + to.colourBytes();
    if (from.bytesPerSample == 1 && to.bytesPerSample == 2)
        alpha *= 257;
    else if (from.bytesPerSample == 2 && to.bytesPerSample == 1)
        alpha = (2 * alpha + 257) / 514;
    if (to.bytesPerSample == 1) {
        *at = static_cast<VipsPel>(alpha);
    } else {
        auto value = static_cast<uint16_t>(alpha);
        std::memcpy(at, &value, sizeof value);
    }
}

std::string errorBufferText();

// One libvips thread's own memory, kept from region to region.
struct Worker {
    VipsRegion* source = nullptr;
    std::vector<uint16_t> working;   // the strip's rows, each with its border
    std::vector<uint8_t> atEdge;     // per pixel of the strip: an opponent sample at 0 or 65535
    std::vector<VipsPel> colourOnly; // one row of colour samples, for photos with alpha
    std::vector<uint8_t> outside;    // per pixel of a row: out of the output's gamut
    AxisHistograms* histograms = nullptr;
    // The strip without its border, before and after the stage, for observeWorking.
    std::vector<uint16_t> before, after;
};

} // namespace

struct Chain::State {
    State(StageHost* host, const Photo& photo, const ChainOptions& chosen)
        : stage(host)
        , sourceImage(photo.image)
        , options(chosen)
        , width(photo.image.width())
        , height(photo.image.height())
        , in{photo.grey ? 1 : 3, photo.hasAlpha, photo.bits / 8}
        , out{photo.grey ? 1 : 3, photo.hasAlpha, chosen.outputBits / 8}
        , toLab(photo.profile, photo.grey, photo.bits)
        , fromLab(photo.profile, photo.grey, chosen.outputBits)
    {
    }

    int generate(Worker& worker, VipsRegion* region);

    StageHost* const stage;   // null: a chain without its stage
    const VImage sourceImage; // held for as long as the chain's image reads it
    const ChainOptions options;
    const int32_t width;
    const int32_t height;
    const PixelLayout in;
    const PixelLayout out;
    const ColourSpace toLab;
    const ColourSpace fromLab;

    std::atomic<int64_t> sourceNs{0}, toWorkingNs{0}, stageNs{0}, hookNs{0}, fromWorkingNs{0};
    std::atomic<int64_t> rowsDone{0};
    std::atomic<uint64_t> outOfGamut{0}, clippedOnTheWayIn{0};
    std::atomic<bool> cancelled{false};

    std::mutex mutex; // guards what follows
    std::string sourceError;
    std::string stageError;
    std::string internalError;
    std::vector<std::unique_ptr<AxisHistograms>> histograms;

    void fail(std::string& slot, const std::string& message)
    {
        std::lock_guard lock(mutex);
        if (slot.empty())
            slot = message;
    }

private:
    void toWorking(Worker& worker, const VipsRect& fetched, const VipsRect& own, int32_t top,
                   int32_t rows, int32_t firstX, std::size_t stride);
    void convertRow(const VipsPel* source, uint16_t* target, int32_t fetchedLeft,
                    int32_t fetchedWidth, const VipsRect& own);
    bool checksGamut() const
    {
        return options.countGamut || options.outOfGamutPixels != nullptr
            || options.gamut == GamutMode::Compress;
    }
    void bringIntoGamut(Worker& worker, const VipsRect& region, int32_t top, int32_t rows,
                        std::size_t stride);
    bool stageOver(uint16_t* firstPixel, std::size_t stride, int32_t pixels, int32_t rows);
    void fromWorking(Worker& worker, VipsRegion* region, int32_t top, int32_t rows,
                     std::size_t stride);
    void count(Worker& worker, int32_t rows, std::size_t stride, int32_t pixels);
    void noteEdges(Worker& worker, int32_t rows, std::size_t stride, int32_t pixels);
    void markClipped(Worker& worker, const VipsRect& region, int32_t top, int32_t rows,
                     std::size_t stride);
    void pack(const Worker& worker, int32_t rows, std::size_t stride, int32_t pixels,
              std::vector<uint16_t>& packed) const;
};

namespace {

bool sampleAtEdge(uint16_t sample)
{
    return sample == 0 || sample == 65535;
}

} // namespace

uint8_t opponentEdges(const uint16_t* pixel)
{
    return uint8_t((sampleAtEdge(pixel[1]) ? 1 : 0) | (sampleAtEdge(pixel[2]) ? 2 : 0));
}

bool clampedByStage(uint8_t edgesBefore, const uint16_t* after)
{
    return (opponentEdges(after) & ~edgesBefore) != 0;
}

// Rows [top, top + rows) of the source, as fetched, into the working buffer:
// pixel x of the photo lands at buffer column x - firstX, and columns the
// photo does not reach (beyond its left or right edge) get copies of its edge
// pixel, as the stage's border there should hold.
void Chain::State::toWorking(Worker& worker, const VipsRect& fetched, const VipsRect& own,
                             int32_t top, int32_t rows, int32_t firstX, std::size_t stride)
{
    auto columns = int32_t(stride / kChannels);
    int32_t left = fetched.left - firstX; // columns before the photo's first
    int32_t right = firstX + columns - (fetched.left + fetched.width); // after its last
    for (int32_t row = 0; row < rows; ++row) {
        const VipsPel* source = addressIn(worker.source, fetched.left, top + row);
        uint16_t* target = worker.working.data() + std::size_t(row) * stride;
        uint16_t* first = target + std::size_t(left) * kChannels;
        if (in.alpha) {
            worker.colourOnly.resize(std::size_t(fetched.width) * in.colourBytes());
            for (int32_t x = 0; x < fetched.width; ++x)
                std::memcpy(worker.colourOnly.data() + std::size_t(x) * in.colourBytes(),
                            source + std::size_t(x) * in.pixelBytes(), in.colourBytes());
            source = worker.colourOnly.data();
        }
        convertRow(source, first, fetched.left, fetched.width, own);
        for (int32_t x = 0; x < left; ++x)
            std::memcpy(target + std::size_t(x) * kChannels, first, kChannels * sizeof(uint16_t));
        const uint16_t* last = first + std::size_t(fetched.width - 1) * kChannels;
        for (int32_t x = 0; x < right; ++x)
            std::memcpy(target + std::size_t(columns - 1 - x) * kChannels, last,
                        kChannels * sizeof(uint16_t));
    }
}

// A row of colour samples from column `fetchedLeft` on. Counting what the
// working encoding clips takes only the region's own pixels, so that each
// pixel of the photo counts once, however the regions' borders overlap.
void Chain::State::convertRow(const VipsPel* source, uint16_t* target, int32_t fetchedLeft,
                              int32_t fetchedWidth, const VipsRect& own)
{
    if (!options.countGamut) {
        toLab.toWorking(source, target, std::size_t(fetchedWidth));
        return;
    }
    auto before = std::size_t(own.left - fetchedLeft);
    std::size_t bytes = in.colourBytes();
    toLab.toWorking(source, target, before);
    clippedOnTheWayIn += toLab.toWorkingCounted(
        source + before * bytes, target + before * kChannels, std::size_t(own.width));
    std::size_t after = before + std::size_t(own.width);
    toLab.toWorking(source + after * bytes, target + after * kChannels,
                    std::size_t(fetchedWidth) - after);
}

// The stage over the buffer where it lies: a host image whose pixel 0 is the
// first pixel after the left border.
bool Chain::State::stageOver(uint16_t* firstPixel, std::size_t stride, int32_t pixels, int32_t rows)
{
    if (stage == nullptr)
        return true;
    standin::Host& host = stage->host();
    standin::Image& image = host.addImageOver(
        {.width = pixels, .height = rows, .border = options.border, .kind = kPixelFormat},
        firstPixel, int64_t(stride));
    PipeData pipe = host.pipe(&image, options.cancelFlag);
    auto call = [&] {
        auto started = Clock::now();
        int answer = stage->processHook()(host.record(), &pipe);
        hookNs += nanosecondsSince(started);
        return answer;
    };
    int result = options.aroundStageCall ? options.aroundStageCall(call) : call();
    host.removeImage(image);
    // Nobody reads the calls of a render; they would only pile up over a large photo.
    host.log().clear();
    if (result != 0) {
        fail(stageError,
             "the plug-in's stage refused the image (result " + std::to_string(result) + ")");
        return false;
    }
    return true;
}

void Chain::State::count(Worker& worker, int32_t rows, std::size_t stride, int32_t pixels)
{
    AxisHistograms& counts = *worker.histograms;
    for (int32_t row = 0; row < rows; ++row) {
        const uint16_t* pixel = worker.working.data() + std::size_t(row) * stride
            + std::size_t(options.border) * kChannels;
        for (int32_t x = 0; x < pixels; ++x, pixel += kChannels) {
            ++counts[0][pixel[1]];
            ++counts[1][pixel[2]];
        }
    }
}

void Chain::State::noteEdges(Worker& worker, int32_t rows, std::size_t stride, int32_t pixels)
{
    worker.atEdge.resize(std::size_t(rows) * std::size_t(pixels));
    for (int32_t row = 0; row < rows; ++row) {
        const uint16_t* pixel = worker.working.data() + std::size_t(row) * stride
            + std::size_t(options.border) * kChannels;
        for (int32_t x = 0; x < pixels; ++x, pixel += kChannels)
            worker.atEdge[std::size_t(row) * std::size_t(pixels) + std::size_t(x)] =
                opponentEdges(pixel);
    }
}

void Chain::State::pack(const Worker& worker, int32_t rows, std::size_t stride, int32_t pixels,
                        std::vector<uint16_t>& packed) const
{
    const std::size_t rowSamples = std::size_t(pixels) * kChannels;
    packed.resize(std::size_t(rows) * rowSamples);
    for (int32_t row = 0; row < rows; ++row)
        std::memcpy(packed.data() + std::size_t(row) * rowSamples,
                    worker.working.data() + std::size_t(row) * stride
                        + std::size_t(options.border) * kChannels,
                    rowSamples * sizeof(uint16_t));
}

void Chain::State::bringIntoGamut(Worker& worker, const VipsRect& region, int32_t top, int32_t rows,
                                  std::size_t stride)
{
    worker.outside.resize(std::size_t(region.width));
    for (int32_t row = 0; row < rows; ++row) {
        uint16_t* pixel = worker.working.data() + std::size_t(row) * stride
            + std::size_t(options.border) * kChannels;
        std::size_t found = fromLab.outOfGamut(pixel, worker.outside.data(), worker.outside.size());
        if (found == 0)
            continue;
        outOfGamut += found;
        if (options.outOfGamutPixels != nullptr) {
            std::size_t at = std::size_t(top + row) * std::size_t(width) + std::size_t(region.left);
            std::copy(worker.outside.begin(), worker.outside.end(),
                      options.outOfGamutPixels->begin() + std::ptrdiff_t(at));
        }
        if (options.gamut == GamutMode::Compress)
            compressIntoGamut(fromLab, pixel, worker.outside.data(), worker.outside.size());
    }
}

// A sample the stage left at an edge counts only when it was not there before.
void Chain::State::markClipped(Worker& worker, const VipsRect& region, int32_t top, int32_t rows,
                               std::size_t stride)
{
    std::vector<uint8_t>& marks = *options.clippedPixels;
    for (int32_t row = 0; row < rows; ++row) {
        const uint16_t* pixel = worker.working.data() + std::size_t(row) * stride
            + std::size_t(options.border) * kChannels;
        std::size_t at = std::size_t(top + row) * std::size_t(width) + std::size_t(region.left);
        for (int32_t x = 0; x < region.width; ++x, pixel += kChannels) {
            uint8_t before =
                worker.atEdge[std::size_t(row) * std::size_t(region.width) + std::size_t(x)];
            if (clampedByStage(before, pixel))
                marks[at + std::size_t(x)] = 1;
        }
    }
}

void Chain::State::fromWorking(Worker& worker, VipsRegion* region, int32_t top, int32_t rows,
                               std::size_t stride)
{
    const VipsRect& r = region->valid;
    for (int32_t row = 0; row < rows; ++row) {
        const uint16_t* working = worker.working.data() + std::size_t(row) * stride
            + std::size_t(options.border) * kChannels;
        VipsPel* target = addressIn(region, r.left, top + row);
        if (!out.alpha) {
            fromLab.fromWorking(working, target, std::size_t(r.width));
            continue;
        }
        // Colour first, packed, then spread out to make room for alpha from the
        // source, last pixel first so that nothing is overwritten before it moves.
        fromLab.fromWorking(working, target, std::size_t(r.width));
        const VipsPel* source = addressIn(worker.source, r.left, top + row);
        for (int32_t x = r.width - 1; x >= 0; --x) {
            VipsPel* pixel = target + std::size_t(x) * out.pixelBytes();
            std::memmove(pixel, target + std::size_t(x) * out.colourBytes(), out.colourBytes());
            putAlpha(alphaSample(source + std::size_t(x) * in.pixelBytes(), in), in, pixel, out);
        }
    }
}

int Chain::State::generate(Worker& worker, VipsRegion* region)
{
    const VipsRect& r = region->valid;
    const int32_t border = options.border;
    // The region's rows widened by the border, as far as the photo reaches.
    VipsRect wanted{r.left - border, r.top, r.width + 2 * border, r.height};
    VipsRect photo{0, 0, width, height};
    VipsRect fetched;
    vips_rect_intersectrect(&wanted, &photo, &fetched);
    auto started = Clock::now();
    if (vips_region_prepare(worker.source, &fetched) != 0) {
        fail(sourceError, errorBufferText());
        return -1;
    }
    sourceNs += nanosecondsSince(started);

    const std::size_t stride = std::size_t(r.width + 2 * border) * kChannels;
    const int32_t perStrip = options.rowsPerStrip > 0 ? options.rowsPerStrip : r.height;
    for (int32_t top = r.top; top < r.top + r.height; top += perStrip) {
        if (flagSet(options.cancelFlag)) {
            cancelled = true; // the user stopped it: the rest would be thrown away
            return -1;
        }
        int32_t rows = std::min(perStrip, r.top + r.height - top);
        worker.working.resize(std::max(worker.working.size(), stride * std::size_t(rows)));

        started = Clock::now();
        {
            // cppcheck-suppress unusedVariable ; a guard for the block, empty but under TSan
            RegionMemoryAccess unwatched;
            toWorking(worker, fetched, r, top, rows, r.left - border, stride);
        }
        if (worker.histograms != nullptr)
            count(worker, rows, stride, r.width);
        if (options.clippedPixels != nullptr)
            noteEdges(worker, rows, stride, r.width);
        if (options.observeWorking)
            pack(worker, rows, stride, r.width, worker.before);
        toWorkingNs += nanosecondsSince(started);

        started = Clock::now();
        bool done = stageOver(worker.working.data() + std::size_t(border) * kChannels, stride,
                              r.width, rows);
        stageNs += nanosecondsSince(started);
        if (!done)
            return -1;
        if (flagSet(options.cancelFlag)) {
            cancelled = true;
            return -1;
        }
        if (options.clippedPixels != nullptr)
            markClipped(worker, r, top, rows, stride);
        // The scope sees what comes back: compressed into the gamut where asked.
        if (checksGamut())
            bringIntoGamut(worker, r, top, rows, stride);
        if (options.observeWorking) {
            pack(worker, rows, stride, r.width, worker.after);
            options.observeWorking(worker.before.data(), worker.after.data(),
                                   std::size_t(rows) * std::size_t(r.width));
        }

        started = Clock::now();
        {
            // cppcheck-suppress unusedVariable ; a guard for the block, empty but under TSan
            RegionMemoryAccess unwatched;
            fromWorking(worker, region, top, rows, stride);
        }
        fromWorkingNs += nanosecondsSince(started);
    }
    int64_t rowsNow = rowsDone += r.height;
    if (options.progress)
        options.progress(double(rowsNow) / double(std::max(height, 1)));
    return 0;
}

namespace {

void* startWorker(VipsImage* /*out*/, void* source, void* state)
{
    auto* chain = static_cast<Chain::State*>(state);
    auto worker = std::make_unique<Worker>();
    worker->source = vips_region_new(static_cast<VipsImage*>(source));
    if (worker->source == nullptr)
        return nullptr;
    if (chain->options.histograms) {
        auto counts = std::make_unique<AxisHistograms>();
        for (auto& axis : *counts)
            axis.assign(kSampleValues, 0);
        worker->histograms = counts.get();
        std::lock_guard lock(chain->mutex);
        chain->histograms.push_back(std::move(counts));
    }
    return worker.release();
}

int stopWorker(void* worker, void* /*source*/, void* /*state*/)
{
    auto* held = static_cast<Worker*>(worker);
    g_object_unref(held->source);
    delete held; // NOLINT(cppcoreguidelines-owning-memory): made by startWorker for libvips
    return 0;
}

int generateRegion(VipsRegion* region, void* worker, void* /*source*/, void* state,
                   gboolean* /*stop*/)
{
    auto* chain = static_cast<Chain::State*>(state);
    // Nothing may be thrown into libvips' C code.
    try {
        return chain->generate(*static_cast<Worker*>(worker), region);
    } catch (const std::exception& error) {
        chain->fail(chain->internalError, error.what());
    } catch (...) {
        chain->fail(chain->internalError, "unexpected failure");
    }
    return -1;
}

void releaseState(gpointer state)
{
    delete static_cast<std::shared_ptr<Chain::State>*>(
        state); // NOLINT(cppcoreguidelines-owning-memory)
}

// The three middle steps as one libvips image over `source`.
VImage chainImage(const VImage& source, const std::shared_ptr<Chain::State>& state)
{
    VipsImage* in = source.get_image();
    VipsImage* image = vips_image_new();
    if (vips_image_pipelinev(image, VIPS_DEMAND_STYLE_FATSTRIP, in, nullptr) != 0) {
        g_object_unref(image);
        throw vips::VError();
    }
    image->BandFmt = bandFormatOf(state->out.bytesPerSample * 8);
    image->Type = interpretationOf(state->out.colourBands == 1, state->out.bytesPerSample * 8);
    for (const std::string& field : loaderOnlyFields())
        vips_image_remove(image, field.c_str());
    // The image keeps the state alive for as long as libvips keeps the image.
    g_object_set_data_full(G_OBJECT(image), "vivanto-chain",
                           new std::shared_ptr<Chain::State>(state), releaseState);
    if (vips_image_generate(image, startWorker, generateRegion, stopWorker, in, state.get()) != 0) {
        g_object_unref(image);
        throw vips::VError();
    }
    return VImage(image);
}

// The chain's image computed as one region, so that the stage is called once
// over the whole photo, as --strip-rows 0 asks: the first region asked for
// computes all of it into memory, and every region is then copied from there.
struct OneRegion {
    VImage image;
    std::mutex mutex;
    bool tried = false;
    std::vector<VipsPel> pixels;
};

int copyFromOneRegion(VipsRegion* region, void* /*sequence*/, void* one, void* /*unused*/,
                      gboolean* /*stop*/)
{
    auto* whole = static_cast<OneRegion*>(one);
    VipsImage* image = whole->image.get_image();
    std::size_t rowBytes = lineBytes(image);
    std::lock_guard lock(whole->mutex);
    if (!whole->tried) {
        whole->tried = true;
        VipsRegion* all = vips_region_new(image);
        VipsRect rect{0, 0, image->Xsize, image->Ysize};
        if (all != nullptr && vips_region_prepare(all, &rect) == 0) {
            whole->pixels.resize(rowBytes * std::size_t(image->Ysize));
            for (int y = 0; y < image->Ysize; ++y)
                std::memcpy(whole->pixels.data() + std::size_t(y) * rowBytes, addressIn(all, 0, y),
                            rowBytes);
        }
        if (all != nullptr)
            g_object_unref(all);
    }
    if (whole->pixels.empty())
        return -1;
    const VipsRect& r = region->valid;
    std::size_t pixelBytes = pixelBytesOf(image);
    for (int y = r.top; y < r.top + r.height; ++y)
        std::memcpy(addressIn(region, r.left, y),
                    whole->pixels.data() + std::size_t(y) * rowBytes
                        + std::size_t(r.left) * pixelBytes,
                    std::size_t(r.width) * pixelBytes);
    return 0;
}

void releaseOneRegion(gpointer one)
{
    delete static_cast<OneRegion*>(one); // NOLINT(cppcoreguidelines-owning-memory)
}

VImage inOneRegion(const VImage& chain)
{
    VipsImage* in = chain.get_image();
    VipsImage* image = vips_image_new();
    if (vips_image_pipelinev(image, VIPS_DEMAND_STYLE_ANY, in, nullptr) != 0) {
        g_object_unref(image);
        throw vips::VError();
    }
    auto* one = new OneRegion; // NOLINT(cppcoreguidelines-owning-memory): the image owns it
    one->image = chain;
    g_object_set_data_full(G_OBJECT(image), "vivanto-one-region", one, releaseOneRegion);
    if (vips_image_generate(image, nullptr, copyFromOneRegion, nullptr, one, nullptr) != 0) {
        g_object_unref(image);
        throw vips::VError();
    }
    return VImage(image);
}

// One call over the whole photo holds all of it at once, in the working
// encoding and as the result: refused beyond half the machine's memory,
// rather than letting it run out.
void refuseTooLargeForOneCall(const Photo& photo, const ChainOptions& options)
{
    auto pixels = double(photo.image.width()) * double(photo.image.height());
    double bytes = pixels * (kChannels * 2 + photo.image.bands() * options.outputBits / 8.0);
    double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE));
    if (memory > 0 && bytes > memory / 2)
        throw PhotoError("too large for one stage call over the whole photo (--strip-rows 0 "
                         "would hold "
                         + std::to_string(std::llround(bytes / 1e6)) + " MB at once, "
                         + std::to_string(std::llround(memory / 2e6))
                         + " MB may be used); leave --strip-rows at its default");
}

std::string errorBufferText()
{
    char* text = vips_error_buffer_copy();
    std::string copy = text != nullptr ? text : "";
    g_free(text);
    return libraryMessage(copy);
}

} // namespace

Chain::Chain(StageHost& stage, const Photo& photo, const ChainOptions& options)
    : Chain(&stage, photo, options)
{
}

Chain::Chain(const Photo& photo, const ChainOptions& options)
    : Chain(nullptr, photo, options)
{
}

Chain::Chain(StageHost* stage, const Photo& photo, const ChainOptions& options)
{
    try {
        state_ = std::make_shared<State>(stage, photo, options);
    } catch (const ColourError& error) {
        throw PhotoError(error.what());
    }
    if (options.clippedPixels != nullptr)
        options.clippedPixels->assign(std::size_t(state_->width) * std::size_t(state_->height), 0);
    if (options.outOfGamutPixels != nullptr)
        options.outOfGamutPixels->assign(std::size_t(state_->width) * std::size_t(state_->height),
                                         0);
    try {
        result_ = chainImage(photo.image, state_);
        if (options.rowsPerStrip == 0) {
            refuseTooLargeForOneCall(photo, options);
            result_ = inOneRegion(result_);
        }
    } catch (const vips::VError& error) {
        throw PhotoError("cannot set up its conversion: " + libraryMessage(error));
    }
}

Chain::~Chain() = default;

void Chain::run(const std::function<void()>& sink)
{
    std::string sinkError;
    try {
        sink();
    } catch (const PhotoError& error) {
        sinkError = error.what();
    } catch (const vips::VError& error) {
        sinkError = "cannot write: " + libraryMessage(error);
    }
    // Why the chain stopped comes before what the sink made of it.
    if (state_->cancelled || flagSet(state_->options.cancelFlag))
        throw ChainCancelled{};
    std::vector<std::string> broken =
        state_->stage != nullptr ? state_->stage->host().violations() : std::vector<std::string>{};
    if (!broken.empty())
        throw StageFailure("the plug-in broke the host's rules: " + broken.front());
    std::lock_guard lock(state_->mutex);
    if (!state_->stageError.empty())
        throw StageFailure(state_->stageError);
    if (!state_->sourceError.empty())
        throw PhotoError("cannot decode (corrupt, truncated or not an image): "
                         + state_->sourceError);
    if (!state_->internalError.empty())
        throw PhotoError(state_->internalError);
    if (!sinkError.empty())
        throw PhotoError(sinkError);
}

void Chain::writeFile(const std::string& path, FileFormat format, int quality)
{
    run([&] { encodePhoto(result_, path, format, quality); });
}

std::vector<unsigned char> Chain::encoded(FileFormat format, int quality, int pngCompression)
{
    std::vector<unsigned char> bytes;
    run([&] { bytes = encodedPhoto(result_, format, quality, pngCompression); });
    return bytes;
}

namespace {

int keepNothing(VipsRegion* /*region*/, void* /*sequence*/, void* /*a*/, void* /*b*/,
                gboolean* /*stop*/)
{
    return 0;
}

} // namespace

void Chain::drain()
{
    run([&] {
        if (vips_sink(result_.get_image(), nullptr, keepNothing, nullptr, nullptr, nullptr) != 0)
            throw PhotoError("cannot be processed: " + errorBufferText());
    });
}

ChainTimes Chain::times() const
{
    const State& s = *state_;
    return {.source = double(s.sourceNs.load()) * 1e-9,
            .toWorking = double(s.toWorkingNs.load()) * 1e-9,
            .stage = double(s.stageNs.load()) * 1e-9,
            .inHook = double(s.hookNs.load()) * 1e-9,
            .fromWorking = double(s.fromWorkingNs.load()) * 1e-9};
}

GamutCounts Chain::gamutCounts() const
{
    return {.outOfGamut = state_->outOfGamut.load(),
            .clippedOnTheWayIn = state_->clippedOnTheWayIn.load()};
}

AxisHistograms Chain::histograms() const
{
    AxisHistograms sum;
    for (auto& axis : sum)
        axis.assign(kSampleValues, 0);
    std::lock_guard lock(state_->mutex);
    for (const auto& counts : state_->histograms)
        for (std::size_t axis = 0; axis < sum.size(); ++axis)
            for (std::size_t value = 0; value < std::size_t(kSampleValues); ++value)
                sum[axis][value] += (*counts)[axis][value];
    return sum;
}

} // namespace vivanto
