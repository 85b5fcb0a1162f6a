// How fast the stage runs, as ratios within one run on the same buffers:
// the stage as the editor calls it (through its registered hook) on a
// 6000 x 4000 image at pixel steps 3 and 4 and on 256 x 256 tiles with an
// 8-pixel border (all the tiles of that image, 64 of them, and one tile over
// and over), each row loop forced in turn, against the in-place
// read-write of the same samples (the memory-bandwidth limit) and, where
// libvips is built in, libvips' linear operation on the same buffer.
//
// Not a test: timings on a shared machine are noisy. Ratios in one run are
// what counts; the table takes each case's fastest iteration, across
// --benchmark_repetitions=N repetitions.
#include "bench_host.h"
#include "row_paths.h"

#include <benchmark/benchmark.h>

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#if defined(VIVANTO_BENCH_VIPS)
#include <vips/vips.h>
#endif

namespace {

using testing_support::RowPath;

// One buffer the editor would hand over: rows of `width + 2 x border` pixels.
struct Workload {
    std::string name;
    std::vector<bench::Tile> tiles;        // each processed by one call of the stage
    std::vector<uint16_t>* buffer;         // the block the tiles lie in
    const std::vector<uint16_t>* pristine; // what the block holds before each case
    int32_t pixelStep;
    bool withVips = false; // the whole buffer is one image libvips can take

    int64_t bytes() const
    {
        int64_t samples = 0;
        for (const bench::Tile& tile : tiles)
            samples += tile.rowSamples() * tile.height;
        return samples * int64_t{sizeof(uint16_t)};
    }
};

// Every case starts from the same samples (restored before the timed loop)
// and alternates factors 1.25 and 0.8, which never clip them: the data, and
// so the scalar loop's branches, look the same to every case.
void restore(const Workload& work)
{
    *work.buffer = *work.pristine;
}

// Runs `body` once per iteration, timing each: on a shared machine every
// mean carries other processes' time, the fastest iteration the least of it,
// so the table is made from that (counter "fastest_ms").
template <typename Body>
void timeEachIteration(benchmark::State& state, const Workload& work, Body body)
{
    double fastest = std::numeric_limits<double>::infinity();
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        body();
        benchmark::ClobberMemory();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        fastest = std::min(fastest, took.count());
    }
    state.counters["fastest_ms"] = fastest * 1e3;
    state.SetBytesProcessed(int64_t(state.iterations()) * work.bytes());
}

void runStage(benchmark::State& state, bench::Host& host, const Workload& work)
{
    restore(work);
    bool forward = true;
    timeEachIteration(state, work, [&] {
        host.setSliders(forward ? 25 : -20, forward ? -20 : 25);
        forward = !forward;
        for (const bench::Tile& tile : work.tiles)
            if (host.process(tile) != 0)
                state.SkipWithError("the stage refused the image");
    });
}

// The samples after a row's last whole 64-byte block, loaded and stored back
// with 16-byte vectors and then one by one.
void readWriteTail(uint16_t* first, int64_t at, int64_t samples)
{
    for (; at + 8 <= samples; at += 8) {
        __m128i* block = reinterpret_cast<__m128i*>(first + at);
        __m128i a = _mm_loadu_si128(block);
        asm volatile("" : "+x"(a));
        _mm_storeu_si128(block, a);
    }
    for (; at < samples; ++at) {
        volatile uint16_t* sample = first + at;
        // A volatile read and write of the same sample is exactly the work
        // being measured, not a mistake.
        // cppcheck-suppress selfAssignment
        *sample = *sample;
    }
}

// Each row of each tile loaded and stored back with vectors of 16, 32 or 64
// bytes, with nothing the compiler could see through: the bound the memory
// sets. In cache the widest loads and stores go fastest, so each width the
// CPU has is timed and the fastest is the limit.
void readWriteRow16(uint16_t* first, int64_t samples)
{
    int64_t at = 0;
    for (; at + 32 <= samples; at += 32) {
        __m128i* block = reinterpret_cast<__m128i*>(first + at);
        __m128i a = _mm_loadu_si128(block), b = _mm_loadu_si128(block + 1);
        __m128i c = _mm_loadu_si128(block + 2), d = _mm_loadu_si128(block + 3);
        asm volatile("" : "+x"(a), "+x"(b), "+x"(c), "+x"(d));
        _mm_storeu_si128(block, a);
        _mm_storeu_si128(block + 1, b);
        _mm_storeu_si128(block + 2, c);
        _mm_storeu_si128(block + 3, d);
    }
    readWriteTail(first, at, samples);
}

__attribute__((target("avx"))) void readWriteRow32(uint16_t* first, int64_t samples)
{
    int64_t at = 0;
    for (; at + 32 <= samples; at += 32) {
        __m256i* block = reinterpret_cast<__m256i*>(first + at);
        __m256i a = _mm256_loadu_si256(block), b = _mm256_loadu_si256(block + 1);
        asm volatile("" : "+x"(a), "+x"(b));
        _mm256_storeu_si256(block, a);
        _mm256_storeu_si256(block + 1, b);
    }
    readWriteTail(first, at, samples);
}

__attribute__((target("avx512f"))) void readWriteRow64(uint16_t* first, int64_t samples)
{
    int64_t at = 0;
    for (; at + 32 <= samples; at += 32) {
        __m512i a = _mm512_loadu_si512(first + at);
        asm volatile("" : "+v"(a));
        _mm512_storeu_si512(first + at, a);
    }
    readWriteTail(first, at, samples);
}

using ReadWriteRow = void (*)(uint16_t*, int64_t);

void runReadWrite(benchmark::State& state, const Workload& work, ReadWriteRow readWriteRow)
{
    restore(work);
    timeEachIteration(state, work, [&] {
        for (const bench::Tile& tile : work.tiles)
            for (int32_t row = 0; row < tile.height; ++row)
                readWriteRow(tile.row(row) - int64_t{tile.border} * tile.pixelStep,
                             tile.rowSamples());
    });
}

#if defined(VIVANTO_BENCH_VIPS)
// vips_linear with per-band factor and offset (0.5 more, so that the cast's
// truncation rounds), cast back to ushort, written to a second buffer of the
// same size: the whole image as one vips image, lightness passed through
// with factor 1.
void runVipsLinear(benchmark::State& state, const Workload& work, int threads,
                   std::vector<uint16_t>& output)
{
    const bench::Tile& whole = work.tiles.front();
    int width = whole.width + 2 * whole.border;
    auto bytes = static_cast<std::size_t>(work.bytes());
    restore(work);
    int defaultThreads = vips_concurrency_get();
    vips_concurrency_set(threads > 0 ? threads : defaultThreads);
    bool forward = true;
    timeEachIteration(state, work, [&] {
        double factorRg = forward ? 1.25 : 0.8, factorBy = forward ? 0.8 : 1.25;
        forward = !forward;
        double a[4] = {1.0, factorRg, factorBy, 1.0};
        double b[4] = {0.5, 32767.0 * (1 - factorRg) + 0.5, 32767.0 * (1 - factorBy) + 0.5, 0.5};
        VipsImage* in = vips_image_new_from_memory(work.buffer->data(), bytes, width, whole.height,
                                                   work.pixelStep, VIPS_FORMAT_USHORT);
        VipsImage* scaled = nullptr;
        VipsImage* cast = nullptr;
        VipsImage* target = vips_image_new_from_memory(output.data(), bytes, width, whole.height,
                                                       work.pixelStep, VIPS_FORMAT_USHORT);
        if (vips_linear(in, &scaled, a, b, work.pixelStep, nullptr) != 0
            || vips_cast(scaled, &cast, VIPS_FORMAT_USHORT, nullptr) != 0
            || vips_image_write(cast, target) != 0)
            state.SkipWithError(vips_error_buffer());
        for (VipsImage* image : {in, scaled, cast, target})
            if (image != nullptr)
                g_object_unref(image);
    });
    vips_concurrency_set(defaultThreads);
}
#endif

// The fastest iteration of every case, across repetitions, for the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto counter = run.counters.find("fastest_ms");
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0
                || counter == run.counters.end())
                continue;
            double seconds = counter->second.value / 1e3;
            std::string name = run.run_name.function_name;
            auto [entry, added] = fastest.try_emplace(name, seconds);
            if (!added)
                entry->second = std::min(entry->second, seconds);
        }
    }
    std::map<std::string, double> fastest;
};

const std::string kReadWrite = "read-write in place, ";
const std::string kScalar = "stage, scalar forced";

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
#if defined(VIVANTO_BENCH_VIPS)
    if (VIPS_INIT(argv[0]) != 0)
        return 1;
    vips_cache_set_max(0);
#endif
    auto& paths = testing_support::rowPaths();
    bench::Host host(paths.library());

    // One 6000 x 4000 image per pixel step; the tiles are carved from the
    // pixel-step-3 buffer, one after another, each 272 x 256 pixels.
    // Samples within 26000 of neutral: factor 1.25 does not clip them.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> spread(32767 - 26000, 32767 + 26000);
    std::vector<uint16_t> image3(std::size_t{6000} * 4000 * 3),
        image4(std::size_t{6000} * 4000 * 4);
    for (auto* buffer : {&image3, &image4})
        for (uint16_t& sample : *buffer)
            sample = static_cast<uint16_t>(spread(random));
    const std::vector<uint16_t> pristine3 = image3, pristine4 = image4;
    std::vector<Workload> workloads;
    workloads.push_back({"6000x4000, pixel step 3",
                         {bench::Tile::over(image3.data(), 6000, 4000, 0, 3)},
                         &image3,
                         &pristine3,
                         3,
                         true});
    workloads.push_back({"6000x4000, pixel step 4",
                         {bench::Tile::over(image4.data(), 6000, 4000, 0, 4)},
                         &image4,
                         &pristine4,
                         4,
                         true});
    Workload tiles{"256x256 tiles, border 8", {}, &image3, &pristine3, 3};
    std::size_t tileSamples = std::size_t{272} * 256 * 3;
    for (std::size_t at = 0; at + tileSamples <= image3.size(); at += tileSamples)
        tiles.tiles.push_back(bench::Tile::over(image3.data() + at, 256, 256, 8, 3));
    workloads.push_back(tiles);
    // 64 tiles (14 MB) outgrow the caches too, but a pipeline hands over no
    // more than a batch like this between two stages.
    Workload batch{"64 256x256 tiles, border 8", {}, &image3, &pristine3, 3};
    batch.tiles.assign(tiles.tiles.begin(), tiles.tiles.begin() + 64);
    workloads.push_back(batch);
    // The same tile again and again, as a pipeline that runs its stages tile
    // by tile finds it: in cache, where the arithmetic is all there is.
    workloads.push_back(
        {"one 256x256 tile in cache", {tiles.tiles.front()}, &image3, &pristine3, 3});

    std::vector<std::pair<std::string, std::string>> order; // (workload, what) as registered
    auto add = [&](const Workload& work, const std::string& what, auto body) {
        std::string name = work.name + " | " + what;
        order.emplace_back(work.name, what);
        benchmark::RegisterBenchmark(name.c_str(), body)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
#if defined(VIVANTO_BENCH_VIPS)
    std::vector<uint16_t> vipsOutput(image4.size());
#endif
    // Vector widths of the read-write, as far as this CPU has them.
    std::vector<std::pair<int, ReadWriteRow>> readWrites{{16, readWriteRow16}};
    if (__builtin_cpu_supports("avx"))
        readWrites.emplace_back(32, readWriteRow32);
    if (__builtin_cpu_supports("avx512f"))
        readWrites.emplace_back(64, readWriteRow64);
    for (const Workload& work : workloads) {
        for (const auto& readWrite : readWrites) {
            ReadWriteRow readWriteRow = readWrite.second;
            add(work, kReadWrite + std::to_string(readWrite.first) + "-byte vectors",
                [&, readWriteRow](benchmark::State& s) { runReadWrite(s, work, readWriteRow); });
        }
        add(work, "stage (own choice)", [&](benchmark::State& s) {
            paths.chooseAutomatically();
            runStage(s, host, work);
        });
        for (RowPath path : paths.available()) {
            add(work, "stage, " + paths.name(path) + " forced", [&, path](benchmark::State& s) {
                paths.force(path);
                runStage(s, host, work);
                paths.chooseAutomatically();
            });
        }
#if defined(VIVANTO_BENCH_VIPS)
        if (work.withVips) {
            add(work, "libvips linear, 1 thread",
                [&](benchmark::State& s) { runVipsLinear(s, work, 1, vipsOutput); });
            add(work, "libvips linear, default threads",
                [&](benchmark::State& s) { runVipsLinear(s, work, 0, vipsOutput); });
        }
#endif
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Each case against the limit of its workload (its fastest read-write in
    // place), and how many times faster than the scalar loop on the same
    // workload it is.
    std::map<std::string, double> limits;
    for (const auto& [name, seconds] : reporter.fastest) {
        std::string workload = name.substr(0, name.find(" | "));
        if (name.find(" | " + kReadWrite) != std::string::npos
            && (limits[workload] == 0.0 || seconds < limits[workload]))
            limits[workload] = seconds;
    }
    std::printf("\nlimit: the fastest read-write in place of each workload\n"
                "\n| workload | what | ms | x limit | x faster than scalar |\n"
                "|---|---|---:|---:|---:|\n");
    for (const auto& entry : order) {
        const std::string& workload = entry.first;
        const std::string& what = entry.second;
        auto timeOf = [&](const std::string& name) {
            std::string key = workload;
            key += " | ";
            key += name;
            auto found = reporter.fastest.find(key);
            return found == reporter.fastest.end() ? 0.0 : found->second;
        };
        double seconds = timeOf(what), limit = limits[workload], scalar = timeOf(kScalar);
        if (seconds == 0.0 || limit == 0.0)
            continue;
        std::printf("| %s | %s | %.4f | %.2f | ", workload.c_str(), what.c_str(), seconds * 1e3,
                    seconds / limit);
        if (scalar > 0.0)
            std::printf("%.1f |\n", scalar / seconds);
        else
            std::printf("|\n");
    }
    benchmark::Shutdown();
    return 0;
}
