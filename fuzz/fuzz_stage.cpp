// Fuzzes the processing stage through the hook the plug-in registered.
//
// Each input chooses the settings (switch and sliders present or not, slider
// values far outside -100..600 up to the int limits), the pipe (image or none,
// any format code, cancel pointer null or set, and the row at which the host
// sets the flag to 1 or some other value), and a geometry a truthful host
// could give: non-negative width, height and border, and a channel and pixel
// step that never put two walked samples at one place, either pixel after
// pixel (interleaved) or channel after channel (planar).
//
// The image is one block holding exactly the samples the walk reaches, from
// the first walked pixel's first sample to the last walked pixel's channel 2,
// so AddressSanitizer stops any read or write outside it. After the run every
// sample must be what the oracle says: walked channels 1 and 2 of the rows
// before the cancel scaled, everything else (channel 0, the gaps between
// channels and pixels, rows after the cancel) untouched. The host calls must
// be exactly the contract's, with the option reads inside the settings lock
// and everything else outside it.
#include "fuzz_support.h"
#include "oracle.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using fuzz_support::check;
using fuzz_support::fail;
using fuzz_support::kBlueYellow;
using fuzz_support::kEnabled;
using fuzz_support::kRedGreen;

constexpr int32_t kDefaultRedGreen = 15;
constexpr int32_t kDefaultBlueYellow = 35;

// Bounds that keep one run to a few thousand samples.
constexpr int32_t kMaxWidth = 40;
constexpr int32_t kMaxHeight = 10;
constexpr int32_t kMaxBorder = 5;

struct Cancel {
    bool withFlag = false;
    HostBool initial = 0;
    int32_t triggerRow = -1; // the flag becomes triggerValue once this row is fetched
    HostBool triggerValue = 0;
};

struct StageCase {
    std::optional<bool> enabled;
    std::optional<int32_t> redGreen;
    std::optional<int32_t> blueYellow;
    bool withImage = true;
    standin::Geometry geometry;
    Cancel cancel;
    uint64_t sampleSeed = 0;
};

int32_t sliderValue(FuzzedDataProvider& in)
{
    static constexpr int32_t kEdges[] = {std::numeric_limits<int32_t>::min(),
                                         std::numeric_limits<int32_t>::min() + 1,
                                         -1000000,
                                         -101,
                                         -100,
                                         -99,
                                         -51,
                                         -50,
                                         -1,
                                         0,
                                         1,
                                         15,
                                         35,
                                         599,
                                         600,
                                         601,
                                         1000000,
                                         std::numeric_limits<int32_t>::max() - 100,
                                         std::numeric_limits<int32_t>::max()};
    if (in.ConsumeBool())
        return in.PickValueInArray(kEdges);
    return in.ConsumeIntegral<int32_t>();
}

HostBool flagValue(FuzzedDataProvider& in)
{
    // 0x101 is 1 in a one-byte host boolean but not in a four-byte one, which
    // must then not cancel.
    static constexpr uint32_t kValues[] = {0, 1, 2, 0xFF, 0x101, 0xFFFFFFFF};
    return static_cast<HostBool>(in.PickValueInArray(kValues));
}

standin::Geometry geometryFrom(FuzzedDataProvider& in)
{
    standin::Geometry g;
    g.width = in.ConsumeIntegralInRange<int32_t>(0, kMaxWidth);
    g.height = in.ConsumeIntegralInRange<int32_t>(0, kMaxHeight);
    g.border = in.ConsumeIntegralInRange<int32_t>(0, kMaxBorder);
    int32_t walked = g.width + 2 * g.border;
    if (in.ConsumeBool()) {
        // Interleaved: a pixel's three channels, then possibly padding.
        g.channelStep = in.ConsumeIntegralInRange<int32_t>(1, 4);
        g.pixelStep = 2 * g.channelStep + 1 + in.ConsumeIntegralInRange<int32_t>(0, 5);
    } else {
        // Planar: each channel's plane holds every walked pixel of the row.
        g.pixelStep = in.ConsumeIntegralInRange<int32_t>(1, 3);
        g.channelStep = (walked > 0 ? (walked - 1) * g.pixelStep + 1 : 1)
            + in.ConsumeIntegralInRange<int32_t>(0, 5);
    }
    g.kind = in.ConsumeIntegralInRange<int32_t>(0, 7) != 0 ? 3 : in.ConsumeIntegral<int32_t>();
    return g;
}

StageCase caseFrom(FuzzedDataProvider& in)
{
    StageCase c;
    if (in.ConsumeIntegralInRange<int32_t>(0, 7) != 0)
        c.enabled = in.ConsumeIntegralInRange<int32_t>(0, 7) != 0;
    if (in.ConsumeIntegralInRange<int32_t>(0, 7) != 0)
        c.redGreen = sliderValue(in);
    if (in.ConsumeIntegralInRange<int32_t>(0, 7) != 0)
        c.blueYellow = sliderValue(in);
    c.withImage = in.ConsumeIntegralInRange<int32_t>(0, 15) != 0;
    c.geometry = geometryFrom(in);
    c.cancel.withFlag = in.ConsumeBool();
    if (c.cancel.withFlag) {
        c.cancel.initial = in.ConsumeIntegralInRange<int32_t>(0, 3) == 0 ? flagValue(in) : 0;
        c.cancel.triggerRow = in.ConsumeIntegralInRange<int32_t>(-1, c.geometry.height);
        c.cancel.triggerValue = flagValue(in);
    }
    c.sampleSeed = in.ConsumeIntegral<uint64_t>();
    return c;
}

// Samples biased towards the values where the arithmetic has its edges.
uint16_t sampleFrom(uint64_t& state)
{
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    static constexpr uint16_t kEdges[] = {0,     1,     2,     16383, 16384, 32766,
                                          32767, 32768, 49151, 65534, 65535};
    if ((z & 3) == 0)
        return kEdges[(z >> 8) % std::size(kEdges)];
    return static_cast<uint16_t>(z >> 16);
}

std::string option(const char* key)
{
    return std::string("<") + key + ">";
}

std::string quoted(const char* key)
{
    return std::string("\"") + key + "\"";
}

bool cancels(HostBool value)
{
    return value == 1;
}

// Everything the run must show, worked out from the case alone.
struct Expected {
    int result = 0;
    int32_t rowsScaled = 0;
    std::vector<std::string> calls;
};

Expected expectationFor(const StageCase& c)
{
    Expected e;
    auto& calls = e.calls;
    calls = {"lockSettings(settings, 0)", "findOption(settings, " + quoted(kEnabled) + ")"};
    if (c.enabled)
        calls.push_back("boolValue(" + option(kEnabled) + ")");
    calls.push_back("unlockSettings(settings, 0)");
    if (!c.enabled.value_or(false))
        return e;
    if (!c.withImage) {
        e.result = -1;
        return e;
    }
    calls.push_back("imageKind(image1)");
    if (c.geometry.kind != 3) {
        e.result = -1;
        return e;
    }
    for (const char* op :
         {"imageWidth", "imageHeight", "imageChannelStep", "imagePixelStep", "imageBorder"})
        calls.push_back(std::string(op) + "(image1)");
    calls.push_back("lockSettings(settings, 0)");
    calls.push_back("findOption(settings, " + quoted(kRedGreen) + ")");
    if (c.redGreen)
        calls.push_back("intValue(" + option(kRedGreen) + ")");
    calls.push_back("findOption(settings, " + quoted(kBlueYellow) + ")");
    if (c.blueYellow)
        calls.push_back("intValue(" + option(kBlueYellow) + ")");
    calls.push_back("unlockSettings(settings, 0)");

    HostBool flag = c.cancel.initial;
    for (int32_t row = 0; row < c.geometry.height; ++row) {
        if (c.cancel.withFlag && cancels(flag))
            break;
        calls.push_back("imageRow(image1, " + std::to_string(row) + ")");
        ++e.rowsScaled;
        if (c.cancel.withFlag && row == c.cancel.triggerRow)
            flag = c.cancel.triggerValue;
    }
    return e;
}

// Samples the geometry needs, exactly: per row from the first walked pixel's
// first sample to the last walked pixel's channel 2, or the one sample the row
// pointer names when nothing is walked.
int64_t exactBlockSize(const standin::Geometry& g)
{
    if (g.height <= 0)
        return 0;
    int64_t walked = g.pixelsPerRow();
    if (walked <= 0)
        return g.height;
    int64_t channelStep = g.channelStep;
    return ((walked - 1) * g.pixelStep + 2 * channelStep + 1) * g.height;
}

void checkCallsAndLocking(standin::Host& host, const Expected& expected)
{
    std::vector<standin::Call> calls = host.log().calls();
    std::vector<std::string> texts;
    for (const standin::Call& call : calls) {
        texts.push_back(call.text());
        bool readsOption = call.operation == "findOption" || call.operation == "boolValue"
            || call.operation == "intValue";
        bool bracket = call.operation == "lockSettings" || call.operation == "unlockSettings";
        if (!bracket && readsOption != call.settingsLocked)
            fail(call.text() + (readsOption ? " made outside" : " made inside")
                 + " the settings lock");
    }
    fuzz_support::checkCalls(texts, expected.calls, "hueflareProcess");
}

void run(const StageCase& c)
{
    standin::Host host;
    fuzz_support::registerWith(host);
    host.removeOption(kEnabled);
    host.removeOption(kRedGreen);
    host.removeOption(kBlueYellow);
    if (c.enabled)
        host.setBool(kEnabled, *c.enabled);
    if (c.redGreen)
        host.setInt(kRedGreen, *c.redGreen);
    if (c.blueYellow)
        host.setInt(kBlueYellow, *c.blueYellow);

    standin::Image& image = host.addImage(c.geometry, standin::Guards{.samples = 0, .rows = 0});
    std::vector<uint16_t>& samples = image.samples();
    check(static_cast<int64_t>(samples.size()) == exactBlockSize(c.geometry)
              && samples.capacity() == samples.size(),
          "the stand-in image is not exactly the block the geometry needs");
    uint64_t state = c.sampleSeed;
    for (uint16_t& sample : samples)
        sample = sampleFrom(state);
    const std::vector<uint16_t> before = samples;

    HostBool flag = c.cancel.initial;
    if (c.cancel.withFlag && c.cancel.triggerRow >= 0)
        host.cancelWhenRowFetched(c.cancel.triggerRow, &flag, c.cancel.triggerValue);
    PipeData pipe = host.pipe(c.withImage ? &image : nullptr, c.cancel.withFlag ? &flag : nullptr);

    int result = host.processHook()(host.record(), &pipe);

    Expected expected = expectationFor(c);
    check(result == expected.result,
          "hueflareProcess answered " + std::to_string(result) + ", want "
              + std::to_string(expected.result));
    checkCallsAndLocking(host, expected);
    fuzz_support::checkNoViolations(host);

    // The whole block against the definition: only channels 1 and 2 of the
    // walked pixels of the scaled rows may differ from before.
    std::vector<uint16_t> want = before;
    const standin::Geometry& g = c.geometry;
    oracle::Evaluation evaluation = oracle::builtEvaluation();
    int32_t redGreen = c.redGreen.value_or(kDefaultRedGreen);
    int32_t blueYellow = c.blueYellow.value_or(kDefaultBlueYellow);
    for (int32_t row = 0; row < expected.rowsScaled; ++row) {
        int64_t rowStart = image.row(row) - samples.data();
        for (int64_t x = -int64_t{g.border}; x < int64_t{g.width} + g.border; ++x) {
            int64_t pixel = rowStart + x * g.pixelStep;
            auto redGreenAt = static_cast<std::size_t>(pixel + g.channelStep);
            auto blueYellowAt = static_cast<std::size_t>(pixel + 2 * int64_t{g.channelStep});
            want[redGreenAt] = oracle::sample(evaluation, before[redGreenAt], redGreen);
            want[blueYellowAt] = oracle::sample(evaluation, before[blueYellowAt], blueYellow);
        }
    }
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (samples[i] != want[i])
            fail("sample " + std::to_string(i) + " of " + std::to_string(samples.size()) + " is "
                 + std::to_string(samples[i]) + ", want " + std::to_string(want[i]) + " (was "
                 + std::to_string(before[i]) + "); geometry " + std::to_string(g.width) + "x"
                 + std::to_string(g.height) + " border " + std::to_string(g.border)
                 + " channel step " + std::to_string(g.channelStep) + " pixel step "
                 + std::to_string(g.pixelStep) + ", sliders " + std::to_string(redGreen) + "/"
                 + std::to_string(blueYellow) + ", rows scaled "
                 + std::to_string(expected.rowsScaled));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    run(caseFrom(in));
    return 0;
}
