// The vectorscope's cost: counting a million working pixels into the
// density (one thread, and split between two as libvips' threads would), the
// plot of two such densities with the output gamut, and finding that gamut.
// The preview counts before and after the stage on every edit, so counting
// and plotting must stay within a few milliseconds each.
//
// Not a test: timings on a shared machine are noisy.
#include "ab_density.h"
#include "colour.h"
#include "gamut_boundary.h"
#include "photo.h"
#include "vectorscope.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPixels = std::size_t(1000) * 1000;

// A photo's a*b* cloud: mostly near neutral, some strong colours, smooth
// over neighbouring pixels as in a real photo.
const std::vector<uint16_t>& photoLike()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> out(kPixels * 3);
        std::mt19937 random(3);
        std::normal_distribution<double> noise(0, 1.5);
        for (std::size_t p = 0; p < kPixels; ++p) {
            double u = double(p % 1000) / 1000, v = std::floor(double(p) / 1000) / 1000;
            double a = 40 * std::sin(6 * u + 2 * v) + noise(random);
            double b = 55 * std::cos(4 * v - 3 * u) * u + noise(random);
            out[p * 3] = uint16_t(65535 * v);
            out[p * 3 + 1] = uint16_t(std::clamp(32767 + 256 * a, 0.0, 65535.0));
            out[p * 3 + 2] = uint16_t(std::clamp(32767 + 256 * b, 0.0, 65535.0));
        }
        return out;
    }();
    return samples;
}

void countPixels(benchmark::State& state, std::size_t perIteration)
{
    state.counters["Mpx/s"] = benchmark::Counter(
        double(perIteration) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void DensityAdd(benchmark::State& state)
{
    const auto threads = std::size_t(state.range(0));
    const std::vector<uint16_t>& photo = photoLike();
    vivanto::AbDensity density;
    for (auto _ : state) {
        density.clear();
        // Strips of 16 rows of 1000, as the chain hands them on.
        constexpr std::size_t kStrip = 16000;
        std::vector<std::jthread> helpers;
        auto work = [&](std::size_t first) {
            for (std::size_t from = first * kStrip; from < kPixels; from += threads * kStrip)
                density.add(photo.data() + from * 3, std::min(kStrip, kPixels - from));
        };
        for (std::size_t t = 1; t < threads; ++t)
            helpers.emplace_back(work, t);
        work(0);
    }
    countPixels(state, kPixels);
}
BENCHMARK(DensityAdd)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void Render(benchmark::State& state)
{
    vivanto::startImageLibrary("scope_bench");
    const std::vector<uint16_t>& photo = photoLike();
    vivanto::AbDensity before, after;
    before.add(photo.data(), kPixels);
    std::vector<uint16_t> stretched = photo;
    for (std::size_t p = 0; p < kPixels; ++p)
        stretched[p * 3 + 1] =
            uint16_t(std::clamp((stretched[p * 3 + 1] - 32767) * 1.6 + 32767, 0.0, 65535.0));
    after.add(stretched.data(), kPixels);
    vivanto::GamutBoundary gamut(vivanto::ColourSpace({}, false, 8));
    vivanto::ScopeView view{.panelSize = int(state.range(0))};
    for (auto _ : state)
        benchmark::DoNotOptimize(vivanto::renderScope(before, after, &gamut, view));
}
BENCHMARK(Render)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);

void RenderAndPng(benchmark::State& state)
{
    vivanto::startImageLibrary("scope_bench");
    vivanto::AbDensity before, after;
    before.add(photoLike().data(), kPixels);
    after.add(photoLike().data(), kPixels);
    vivanto::GamutBoundary gamut(vivanto::ColourSpace({}, false, 8));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            vivanto::scopePng(vivanto::renderScope(before, after, &gamut), int(state.range(0))));
}
BENCHMARK(RenderAndPng)->Arg(1)->Arg(6)->UseRealTime()->Unit(benchmark::kMillisecond);

void Gamut(benchmark::State& state)
{
    vivanto::ColourSpace space({}, false, int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(vivanto::GamutBoundary(space));
}
BENCHMARK(Gamut)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
