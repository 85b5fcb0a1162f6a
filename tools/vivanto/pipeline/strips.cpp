#include "strips.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace vivanto {

namespace {

// Copies rows [first, first + rows) into a host image, replicating the first
// and last pixel of each row into the border as an editor pads its tiles.
void copyIn(const WorkingImage& image, int32_t first, standin::Image& strip)
{
    const standin::Geometry& g = strip.geometry();
    for (int32_t y = 0; y < g.height; ++y) {
        const uint16_t* source = image.row(first + y);
        uint16_t* target = strip.row(y);
        std::memcpy(target, source, std::size_t(g.width) * kChannels * sizeof(uint16_t));
        for (int32_t b = 1; b <= g.border; ++b) {
            std::ptrdiff_t before = std::ptrdiff_t{b} * kChannels;
            std::ptrdiff_t last = std::ptrdiff_t{g.width - 1} * kChannels;
            std::memcpy(target - before, source, kChannels * sizeof(uint16_t));
            std::memcpy(target + last + before, source + last, kChannels * sizeof(uint16_t));
        }
    }
}

void copyOut(standin::Image& strip, int32_t first, WorkingImage& image)
{
    const standin::Geometry& g = strip.geometry();
    for (int32_t y = 0; y < g.height; ++y)
        std::memcpy(image.row(first + y), strip.row(y),
                    std::size_t(g.width) * kChannels * sizeof(uint16_t));
}

StageResult worst(StageResult a, StageResult b)
{
    return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

} // namespace

StripRun runInStrips(StageHost& stage, WorkingImage& image, const StripPlan& plan,
                     HostBool* cancelFlag,
                     const std::function<void(int done, int total)>& stripDone)
{
    if (image.width <= 0 || image.height <= 0)
        return {};
    int32_t rowsPerStrip =
        plan.rowsPerStrip > 0 ? std::min(plan.rowsPerStrip, image.height) : image.height;
    int total = static_cast<int>((image.height + rowsPerStrip - 1) / rowsPerStrip);
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<int> outcome{static_cast<int>(StageResult::Done)};
    std::atomic<int64_t> hookNanoseconds{0};
    standin::Host& host = stage.host();

    auto work = [&] {
        for (int index = next++; index < total; index = next++) {
            if (cancelFlag != nullptr && std::atomic_ref<HostBool>(*cancelFlag).load() == 1)
                return; // the user stopped the render; the strips left would be thrown away
            int32_t first = index * rowsPerStrip;
            int32_t rows = std::min(rowsPerStrip, image.height - first);
            standin::Image& strip = host.addImage(
                {.width = image.width, .height = rows, .border = plan.border, .kind = kPixelFormat},
                {.samples = 0, .rows = 0});
            copyIn(image, first, strip);
            PipeData pipe = host.pipe(&strip, cancelFlag);
            auto started = std::chrono::steady_clock::now();
            StageResult result = stage.processHook()(host.record(), &pipe) == 0
                ? StageResult::Done
                : StageResult::Refused;
            hookNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
            copyOut(strip, first, image);
            host.removeImage(strip);
            int now = outcome.load();
            while (!outcome.compare_exchange_weak(
                now, static_cast<int>(worst(StageResult(now), result)))) {}
            int finished = ++done;
            if (stripDone)
                stripDone(finished, total);
        }
    };
    int threads = std::clamp(plan.threads, 1, total);
    {
        std::vector<std::jthread> workers;
        for (int t = 1; t < threads; ++t)
            workers.emplace_back(work);
        work();
    }
    StageResult result = StageResult(outcome.load());
    if (result == StageResult::Done && cancelFlag != nullptr
        && std::atomic_ref<HostBool>(*cancelFlag).load() == 1)
        result = StageResult::Cancelled;
    if (!host.violations().empty())
        result = worst(result, StageResult::HostRulesBroken);
    host.log().clear();
    return {result, double(hookNanoseconds.load()) * 1e-9};
}

} // namespace vivanto
