// A working image as the host hands it to a processing stage: rows of 16-bit
// samples with a border of extra pixels on each side, at any channel and pixel
// step, laid out in one block with optional guard samples around every row and
// guard rows above and below, so that a test can prove nothing outside the
// stage's pixels was written.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace standin {

struct Geometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t border = 0;
    int32_t channelStep = 1;
    int32_t pixelStep = 3;
    int32_t kind = 3; // pixel format code; 3 is lightness, red-green, blue-yellow

    // Pixels the stage walks in each row: width + 2 x border.
    int64_t pixelsPerRow() const { return int64_t{width} + 2 * int64_t{border}; }
};

struct Guards {
    int32_t samples = 8; // on each side of every row
    int32_t rows = 1;    // above the first row and below the last
};

// Guard samples hold this so a stray write shows.
constexpr uint16_t kGuardValue = 0xA5C3;

class Image {
public:
    // Allocates exactly the samples the geometry reaches (from the first
    // pixel's first sample to the last pixel's channel 2), plus the guards.
    explicit Image(const Geometry& geometry, Guards guards = {});

    // An image over samples the caller owns and keeps alive while the image
    // is in use, as a host hands a stage a window of a larger buffer:
    // `firstPixel` is the first sample of pixel 0 of row 0, rows are
    // `rowStride` samples apart, and the border lies in the caller's memory
    // too. It has no guards and no block of its own (samples() is empty).
    Image(const Geometry& geometry, uint16_t* firstPixel, int64_t rowStride);

    const Geometry& geometry() const { return geometry_; }

    // What the host's imageRow answers: the first sample of pixel 0 of `row`,
    // for any row the block holds (guard rows included, as -1 and height).
    uint16_t* row(int32_t row);

    // Channel `channel` of pixel x (-border..width+border-1) of `row`.
    uint16_t& at(int32_t x, int32_t row, int32_t channel);

    // Sets every channel 0..2 of every pixel in rows 0..height-1.
    void fill(const std::function<uint16_t(int32_t x, int32_t row, int32_t channel)>& value);

    // Every sample of the block, guards included, for before/after comparison.
    const std::vector<uint16_t>& samples() const { return samples_; }
    std::vector<uint16_t>& samples() { return samples_; }
    // Index into samples() of channel `channel` of pixel x of `row`.
    std::size_t indexOf(int32_t x, int32_t row, int32_t channel) const;

private:
    Geometry geometry_;
    Guards guards_;
    int64_t rowStride_ = 0;    // samples from one row's block to the next
    int64_t firstPixelAt_ = 0; // offset of pixel 0 within a row's block
    std::vector<uint16_t> samples_;
    uint16_t* external_ = nullptr; // pixel 0 of row 0 when over the caller's memory
};

} // namespace standin
