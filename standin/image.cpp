#include "image.h"

#include <algorithm>
#include <stdexcept>

namespace standin {

namespace {

// Samples one row of the geometry reaches, measured from pixel 0's first
// sample: the walk from -border to width+border-1, each pixel's channels 0..2,
// and pixel 0 itself, which the row pointer names even when nothing is walked.
struct RowExtent {
    int64_t first = 0; // offset of the lowest sample (<= 0)
    int64_t end = 1;   // one past the highest sample (>= 1)
};

RowExtent rowExtent(const Geometry& g)
{
    if (g.channelStep < 0 || g.pixelStep < 0)
        throw std::invalid_argument("stand-in images need non-negative channel and pixel steps");
    RowExtent extent;
    if (g.pixelsPerRow() > 0) {
        int64_t firstPixel = -int64_t{g.border};
        int64_t lastPixel = int64_t{g.width} + g.border - 1;
        extent.first = std::min<int64_t>(0, firstPixel * g.pixelStep);
        extent.end = std::max<int64_t>(1, lastPixel * g.pixelStep + 2 * int64_t{g.channelStep} + 1);
    }
    return extent;
}

} // namespace

Image::Image(const Geometry& geometry, Guards guards)
    : geometry_(geometry)
    , guards_(guards)
{
    RowExtent extent = rowExtent(geometry);
    firstPixelAt_ = guards.samples - extent.first;
    rowStride_ = extent.end - extent.first + 2 * int64_t{guards.samples};
    int64_t rows = std::max<int64_t>(0, geometry.height) + 2 * int64_t{guards.rows};
    int64_t total = rowStride_ * rows;
    if (total > (int64_t{1} << 34))
        throw std::invalid_argument("stand-in image too large");
    samples_.assign(static_cast<std::size_t>(total), kGuardValue);
    fill([](int32_t, int32_t, int32_t) { return uint16_t{0}; });
}

Image::Image(const Geometry& geometry, uint16_t* firstPixel, int64_t rowStride)
    : geometry_(geometry)
    , guards_{.samples = 0, .rows = 0}
    , rowStride_(rowStride)
    , external_(firstPixel)
{
    rowExtent(geometry); // the same checks of the steps
    if (firstPixel == nullptr)
        throw std::invalid_argument("a stand-in image over memory needs the memory");
}

std::size_t Image::indexOf(int32_t x, int32_t row, int32_t channel) const
{
    if (external_ != nullptr)
        throw std::logic_error("a stand-in image over the caller's memory has no block of its own");
    int64_t rowStart = (int64_t{row} + guards_.rows) * rowStride_;
    int64_t index = rowStart + firstPixelAt_ + int64_t{x} * geometry_.pixelStep
        + int64_t{channel} * geometry_.channelStep;
    if (index < 0 || index >= static_cast<int64_t>(samples_.size()))
        throw std::out_of_range("pixel outside the stand-in image");
    return static_cast<std::size_t>(index);
}

uint16_t* Image::row(int32_t row)
{
    if (external_ != nullptr) {
        // Only the rows the caller's memory holds: there are no guard rows.
        if (row < 0 || row >= geometry_.height)
            throw std::out_of_range("row outside the stand-in image");
        return external_ + int64_t{row} * rowStride_;
    }
    int64_t rowStart = (int64_t{row} + guards_.rows) * rowStride_;
    if (rowStart < 0 || rowStart + rowStride_ > static_cast<int64_t>(samples_.size()))
        throw std::out_of_range("row outside the stand-in image");
    return samples_.data() + rowStart + firstPixelAt_;
}

uint16_t& Image::at(int32_t x, int32_t row, int32_t channel)
{
    if (external_ != nullptr) {
        if (x < -geometry_.border || x >= geometry_.width + geometry_.border || channel < 0
            || channel > 2)
            throw std::out_of_range("pixel outside the stand-in image");
        return this->row(
            row)[int64_t{x} * geometry_.pixelStep + int64_t{channel} * geometry_.channelStep];
    }
    return samples_[indexOf(x, row, channel)];
}

void Image::fill(const std::function<uint16_t(int32_t, int32_t, int32_t)>& value)
{
    if (geometry_.pixelsPerRow() <= 0)
        return;
    for (int32_t y = 0; y < geometry_.height; ++y)
        for (int32_t x = -geometry_.border; x < geometry_.width + geometry_.border; ++x)
            for (int32_t c = 0; c < 3; ++c)
                at(x, y, c) = value(x, y, c);
}

} // namespace standin
