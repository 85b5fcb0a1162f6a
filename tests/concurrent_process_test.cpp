// The editor may render several images at once with one loaded plug-in, each
// render thread calling the registered stage with its own image. The stage
// keeps no state, so each concurrent render must equal the same render done
// alone. Run under ThreadSanitizer too (the tsan preset runs every test whose
// name contains "Concurrent").
#include "loaded_plugin.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

using testing_support::LoadedPlugin;

namespace {

constexpr std::size_t kThreads = 4;
constexpr std::size_t kRendersPerThread = 3;

// Holds every render thread until all have arrived, so that their renders
// overlap. Not std::latch: MinGW's libstdc++ 12 waits for it without a futex
// and can lose the last arrival's wake-up, hanging the Windows build's run
// under Wine (a loop of 4-thread latches hung within 11,000 rounds).
class StartGate {
public:
    explicit StartGate(std::size_t threads)
        : notArrived_(threads)
    {
    }

    void arriveAndWait()
    {
        std::unique_lock lock(mutex_);
        if (--notArrived_ == 0) {
            allArrived_.notify_all();
            return;
        }
        allArrived_.wait(lock, [this] { return notArrived_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable allArrived_;
    std::size_t notArrived_;
};

standin::Geometry geometryOf(std::size_t thread)
{
    // Differently shaped images, so that a stage sharing anything between
    // calls would mix them up.
    auto t = static_cast<int32_t>(thread);
    return {.width = 50 + 7 * t,
            .height = 20 + t,
            .border = t % 3,
            .channelStep = 1 + t % 2,
            .pixelStep = 3 * (1 + t % 2) + t % 3};
}

void fillPattern(standin::Image& image, std::size_t thread)
{
    auto t = static_cast<int32_t>(thread);
    image.fill([t](int32_t x, int32_t y, int32_t channel) {
        return static_cast<uint16_t>((x + 3) * 997 + y * 7919 + channel * 21011 + t * 613);
    });
}

TEST(ConcurrentProcess, RendersAtOnceEqualRendersAlone)
{
    LoadedPlugin plugin;
    plugin.host.setBool("vivanto_enabled", true);
    plugin.host.setInt("vivanto_rg", 140);
    plugin.host.setInt("vivanto_by", -37);
    ProcessHook process = plugin.host.processHook();
    ASSERT_NE(process, nullptr);

    std::vector<standin::Image*> alone;
    std::vector<standin::Image*> together;
    for (std::size_t t = 0; t < kThreads; ++t) {
        alone.push_back(&plugin.host.addImage(geometryOf(t)));
        together.push_back(&plugin.host.addImage(geometryOf(t)));
        fillPattern(*alone.back(), t);
        fillPattern(*together.back(), t);
    }

    for (standin::Image* image : alone)
        for (std::size_t render = 0; render < kRendersPerThread; ++render) {
            PipeData pipe = plugin.host.pipe(image);
            ASSERT_EQ(process(plugin.host.record(), &pipe), 0);
        }
    plugin.host.log().clear();

    std::vector<int> results(kThreads * kRendersPerThread, 99);
    StartGate start(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (std::size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arriveAndWait();
            for (std::size_t render = 0; render < kRendersPerThread; ++render) {
                PipeData pipe = plugin.host.pipe(together[t]);
                results[t * kRendersPerThread + render] = process(plugin.host.record(), &pipe);
            }
        });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(results, std::vector<int>(kThreads * kRendersPerThread, 0));
    for (std::size_t t = 0; t < kThreads; ++t)
        EXPECT_EQ(together[t]->samples(), alone[t]->samples()) << "image of thread " << t;
    // Two lock brackets per render, every one closed.
    EXPECT_EQ(plugin.host.log().count("lockSettings"), 2 * kThreads * kRendersPerThread);
    EXPECT_EQ(plugin.host.log().count("unlockSettings"), 2 * kThreads * kRendersPerThread);
    EXPECT_TRUE(plugin.host.violations().empty());
}

} // namespace
