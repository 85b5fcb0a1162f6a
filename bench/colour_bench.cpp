// How fast vivanto's colour conversion runs on one core, in megapixels per
// second, on a 6000 x 4000 16-bit sRGB photo-like buffer (smooth gradients
// with noise) and its 8-bit twin: the matrix-shaper path (with the vector
// instructions this processor has, and with the baseline ones) against
// LittleCMS in float and the path vivanto took before it (RGB_16 -> Lab_DBL
// in, Lab_DBL -> RGB_16 back).
//
// Not a test: timings on a shared machine are noisy. Ratios in one run are
// what counts; --benchmark_repetitions=N keeps the fastest of N per case.
#include "colour.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr std::size_t kPixels = std::size_t(kWidth) * kHeight;

const std::vector<uint16_t>& photo16()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> out(kPixels * 3);
        std::mt19937 random(11);
        std::uniform_int_distribution<int> noise(-300, 300);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                double u = double(x) / kWidth, v = double(y) / kHeight;
                const double channel[3] = {u, v, 0.5 + 0.45 * std::sin(9.0 * u + 5.0 * v)};
                for (int c = 0; c < 3; ++c)
                    out[(std::size_t(y) * kWidth + std::size_t(x)) * 3 + std::size_t(c)] =
                        uint16_t(std::clamp(int(channel[c] * 65535.0) + noise(random), 0, 65535));
            }
        return out;
    }();
    return samples;
}

const std::vector<uint8_t>& photo8()
{
    static const std::vector<uint8_t> samples = [] {
        std::vector<uint8_t> out(kPixels * 3);
        const std::vector<uint16_t>& wide = photo16();
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = uint8_t(wide[i] >> 8);
        return out;
    }();
    return samples;
}

void countPixels(benchmark::State& state)
{
    state.counters["Mpx/s"] = benchmark::Counter(double(kPixels) * double(state.iterations()) / 1e6,
                                                 benchmark::Counter::kIsRate);
}

template <typename Sample>
void ours(benchmark::State& state, const std::vector<Sample>& photo, vivanto::Instructions which,
          bool back)
{
    vivanto::ColourSpace space({}, false, int(8 * sizeof(Sample)), which);
    if (!space.matrixShaper())
        state.SkipWithError("sRGB should take the matrix-shaper path");
    std::vector<uint16_t> working(kPixels * 3);
    std::vector<Sample> out(kPixels * 3);
    space.toWorking(photo.data(), working.data(), kPixels);
    for (auto _ : state) {
        if (back)
            space.fromWorking(working.data(), out.data(), kPixels);
        else
            space.toWorking(photo.data(), working.data(), kPixels);
        benchmark::ClobberMemory();
    }
    countPixels(state);
}

// The way back without clamping (codes as floats), and the gamut test alone,
// on the working image of the photo pushed by half as much chroma again, so
// that many pixels lie outside.
enum class Unclamped { Codes, GamutTest };

void unclamped(benchmark::State& state, int bits, Unclamped what)
{
    vivanto::ColourSpace space({}, false, bits);
    std::vector<uint16_t> working(kPixels * 3);
    space.toWorking(photo16().data(), working.data(), kPixels);
    for (std::size_t i = 0; i < kPixels * 3; ++i)
        if (i % 3 != 0)
            working[i] = uint16_t(std::clamp(32767 + 1.5 * (working[i] - 32767.0), 0.0, 65535.0));
    std::vector<float> codes(what == Unclamped::Codes ? kPixels * 3 : 0);
    std::vector<uint8_t> outside(kPixels);
    std::size_t found = 0;
    for (auto _ : state) {
        if (what == Unclamped::Codes)
            space.fromWorkingUnclamped(working.data(), codes.data(), kPixels);
        else
            found = space.outOfGamut(working.data(), outside.data(), kPixels);
        benchmark::ClobberMemory();
    }
    state.counters["outside"] = double(found) / double(kPixels);
    countPixels(state);
}

// One LittleCMS transform to or from Lab over the whole buffer, with our
// rounding where the output is floating point.
void littleCms(benchmark::State& state, cmsUInt32Number deviceFormat, cmsUInt32Number labFormat,
               bool back)
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM transform = back
        ? cmsCreateTransform(lab, labFormat, srgb, deviceFormat, INTENT_RELATIVE_COLORIMETRIC,
                             cmsFLAGS_NOCACHE)
        : cmsCreateTransform(srgb, deviceFormat, lab, labFormat, INTENT_RELATIVE_COLORIMETRIC,
                             cmsFLAGS_NOCACHE);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    const std::vector<uint16_t>& photo = photo16();
    bool floatDevice = T_FLOAT(deviceFormat) != 0;
    std::vector<float> deviceFloats(floatDevice ? kPixels * 3 : 0);
    for (std::size_t i = 0; i < deviceFloats.size(); ++i)
        deviceFloats[i] = float(photo[i] / 65535.0);
    bool doubleLab = T_BYTES(labFormat) == 0; // TYPE_Lab_DBL
    std::vector<double> labDoubles(doubleLab ? kPixels * 3 : 0, 50.0);
    std::vector<float> labFloats(doubleLab ? 0 : kPixels * 3, 50.0f);
    std::vector<uint16_t> out(kPixels * 3);
    void* labBuffer = doubleLab ? static_cast<void*>(labDoubles.data()) : labFloats.data();
    const void* device = floatDevice ? static_cast<const void*>(deviceFloats.data()) : photo.data();
    for (auto _ : state) {
        if (back) {
            cmsDoTransform(transform, labBuffer,
                           floatDevice ? static_cast<void*>(deviceFloats.data()) : out.data(),
                           cmsUInt32Number(kPixels));
            if (floatDevice)
                for (std::size_t i = 0; i < out.size(); ++i)
                    out[i] = uint16_t(std::clamp(deviceFloats[i] * 65535.0 + 0.5, 0.0, 65535.0));
        } else {
            cmsDoTransform(transform, device, labBuffer, cmsUInt32Number(kPixels));
            for (std::size_t i = 0; i < out.size(); i += 3) {
                double l = doubleLab ? labDoubles[i] : labFloats[i];
                out[i] = uint16_t(std::clamp(l * vivanto::kLightnessPerUnit + 0.5, 0.0, 65535.0));
            }
        }
        benchmark::ClobberMemory();
    }
    cmsDeleteTransform(transform);
    countPixels(state);
}

void registerCases()
{
    using vivanto::Instructions;
    for (int bits : {8, 16}) {
        std::string suffix = "_" + std::to_string(bits);
        benchmark::RegisterBenchmark(
            ("FromLabUnclamped/codes" + suffix).c_str(),
            [=](benchmark::State& s) { unclamped(s, bits, Unclamped::Codes); });
        benchmark::RegisterBenchmark(
            ("FromLabUnclamped/gamut_test" + suffix).c_str(),
            [=](benchmark::State& s) { unclamped(s, bits, Unclamped::GamutTest); });
    }
    for (bool back : {false, true}) {
        const char* way = back ? "FromLab/" : "ToLab/";
        auto name = [&](const char* what) { return std::string(way) + what; };
        benchmark::RegisterBenchmark(name("matrix_shaper_16").c_str(), [=](benchmark::State& s) {
            ours(s, photo16(), Instructions::Best, back);
        });
        benchmark::RegisterBenchmark(
            name("matrix_shaper_baseline_16").c_str(),
            [=](benchmark::State& s) { ours(s, photo16(), Instructions::Baseline, back); });
        benchmark::RegisterBenchmark(name("matrix_shaper_8").c_str(), [=](benchmark::State& s) {
            ours(s, photo8(), Instructions::Best, back);
        });
        benchmark::RegisterBenchmark(name("littlecms_float_16").c_str(), [=](benchmark::State& s) {
            littleCms(s, TYPE_RGB_FLT, TYPE_Lab_FLT, back);
        });
        benchmark::RegisterBenchmark(name("before_16").c_str(), [=](benchmark::State& s) {
            littleCms(s, TYPE_RGB_16, TYPE_Lab_DBL, back);
        });
    }
}

} // namespace

int main(int argc, char** argv)
{
    registerCases();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
