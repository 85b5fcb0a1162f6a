// One photo's way through vivanto, in one direction: the source (the photo as
// libvips decodes it, on demand), to the working image, the plug-in's stage,
// back from the working image, and into whatever sink the caller puts at the
// end (a file, bytes, nothing). The three middle steps are one libvips
// operation: each region libvips asks for is converted from the source's own
// memory into a buffer that holds the region's rows with their border, handed
// to the stage as a host image over that buffer, and converted back straight
// into the region's memory. Nothing holds the whole photo, and libvips runs
// regions on all its threads, so memory stays bounded and every core works.
//
// The border is what the stage would see in one call over the whole image:
// the real neighbours inside the photo and copies of the edge pixel beyond
// its edges, so the result is the same bit for bit however the photo is cut.
#pragma once

#include "bibble_host.h"
#include "gamut.h"
#include "photo.h"
#include "stage_host.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

namespace vivanto {

// Per opponent axis (red-green, blue-yellow): how many pixels hold each sample
// value 0..65535 before the stage.
using AxisHistograms = std::array<std::vector<uint64_t>, 2>;

// Bit 0: the pixel's red-green sample is at 0 or 65535; bit 1: its blue-yellow.
uint8_t opponentEdges(const uint16_t* pixel);
// Whether the stage clamped a pixel: a red-green or blue-yellow sample left
// at 0 or 65535 that was not there before (`edgesBefore`, from opponentEdges).
bool clampedByStage(uint8_t edgesBefore, const uint16_t* after);

// Thread-seconds spent in each step, summed over libvips' threads.
struct ChainTimes {
    double source = 0;      // waiting for the decoded pixels
    double toWorking = 0;   // converting them to the working image
    double stage = 0;       // the stage step: host image, pipe, border, the call itself
    double inHook = 0;      // of which inside the plug-in's stage
    double fromWorking = 0; // converting back
};

// Makes one stage call (`call`, which returns the stage's result) and returns
// its result: lets whoever shares the plug-in with the chain decide what each
// call holds (a lock, the settings this render started with). Called from
// libvips' threads.
using StageCallWrapper = std::function<int(const std::function<int()>& call)>;

using WorkingObserver =
    std::function<void(const uint16_t* before, const uint16_t* after, std::size_t pixels)>;

struct ChainOptions {
    int outputBits = 8;       // per sample of the result: 8 or 16
    int32_t rowsPerStrip = 0; // at most this many rows per stage call; 0: one call for all
    int32_t border = 4;       // pixels on each side of every row
    bool histograms = false;  // count the opponent samples before the stage (for --stats)
    HostBool* cancelFlag = nullptr;
    StageCallWrapper aroundStageCall; // empty: stage calls are made as they come
    // When set, made width x height zeros by the chain, then 1 for every
    // pixel whose red-green or blue-yellow sample the stage left at 0 or
    // 65535 when it was not there before (the scaled value was clamped).
    // Each pixel is written by one region only.
    std::vector<uint8_t>* clippedPixels = nullptr;
    // How the stage's results outside the output's gamut (the photo's profile
    // at outputBits; see gamut.h) come back.
    GamutMode gamut = GamutMode::Clip;
    // When set, made width x height zeros by the chain, then 1 for every
    // pixel whose result after the stage (before any compression) is out of
    // the output's gamut. Each pixel is written by one region only.
    std::vector<uint8_t>* outOfGamutPixels = nullptr;
    // Count for gamutCounts(): results out of gamut, and pixels whose colour
    // the working encoding could not hold on the way in.
    bool countGamut = false;
    // Called from libvips' threads with the share of rows done (0..1).
    std::function<void(double)> progress;
    // When set, called from libvips' threads once per stage call with the
    // strip's pixels in the working encoding, row after row without border:
    // as the stage got them and as it left them. Each pixel is seen once per
    // time libvips computes it (once, for a sink that reads the result once).
    // Costs two copies of the strip; unset, nothing.
    WorkingObserver observeWorking;
};

struct GamutCounts {
    uint64_t outOfGamut = 0;        // results out of the output's gamut, before compression
    uint64_t clippedOnTheWayIn = 0; // |a*| or |b*| beyond the working encoding's 128
};

// The stage refused a strip or broke the host's rules.
struct StageFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The cancel flag was set while the chain ran.
struct ChainCancelled {};

class Chain {
public:
    // Builds the chain over `photo` (nothing is decoded yet). Throws PhotoError
    // when the photo's colours cannot be converted.
    Chain(StageHost& stage, const Photo& photo, const ChainOptions& options);
    // The chain without its stage: the photo to the working image and back,
    // as the stage would see and leave it with nothing to do.
    Chain(const Photo& photo, const ChainOptions& options);
    ~Chain();
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    // The result, lazily: the photo's kind at the chosen depth, alpha (rescaled
    // to that depth), metadata and profile as the photo had them. Sinks and
    // further libvips operations may be put after it.
    const vips::VImage& result() const { return result_; }

    // Runs `sink`, which evaluates result() (or an image made from it), and
    // turns every way it can fail into PhotoError (the source, the sink),
    // StageFailure or ChainCancelled.
    void run(const std::function<void()>& sink);

    // The sinks the tool uses, through run().
    void writeFile(const std::string& path, FileFormat format, int quality);
    std::vector<unsigned char> encoded(FileFormat format, int quality, int pngCompression = 6);
    void drain(); // evaluates everything and keeps nothing

    ChainTimes times() const;
    // Valid after a run with ChainOptions::histograms.
    AxisHistograms histograms() const;
    // Valid after a run with ChainOptions::countGamut (outOfGamut also with
    // outOfGamutPixels or GamutMode::Compress).
    GamutCounts gamutCounts() const;

    struct State;

private:
    Chain(StageHost* stage, const Photo& photo, const ChainOptions& options);

    std::shared_ptr<State> state_;
    vips::VImage result_;
};

} // namespace vivanto
