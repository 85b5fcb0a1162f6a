#include "canvas.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <vips/vips8>

namespace vivanto {

namespace {

// How much of each pixel a label's glyphs cover, 0..255.
struct Coverage {
    int width = 0, height = 0;
    std::vector<uint8_t> values;
};

// Setting text is slow beside the rest of a plot (Pango finds its fonts the
// first time), and a plot's labels are few and always the same ones.
const Coverage& coverageOf(const std::string& label)
{
    static std::mutex mutex;
    static std::map<std::string, Coverage> made;
    std::lock_guard lock(mutex);
    auto found = made.find(label);
    if (found != made.end())
        return found->second;
    Coverage coverage;
    try {
        vips::VImage mask = vips::VImage::text(
            label.c_str(), vips::VImage::option()->set("font", "sans 9")->set("dpi", 96));
        coverage.width = mask.width();
        coverage.height = mask.height();
        std::size_t size = 0;
        void* bytes = mask.write_to_memory(&size);
        coverage.values.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
        g_free(bytes);
    } catch (const vips::VError&) {
        // Without fonts the plot loses its labels, nothing else.
        vips_error_clear();
        coverage = {};
    }
    return made.emplace(label, std::move(coverage)).first->second;
}

} // namespace

Canvas::Canvas(int width, int height)
    : width_(width)
    , height_(height)
    , clipRight_(width)
    , clipBottom_(height)
    , rgb_(std::size_t(width) * std::size_t(height) * 3, 0)
{
}

void Canvas::clipTo(int left, int top, int width, int height)
{
    clipLeft_ = std::max(left, 0);
    clipTop_ = std::max(top, 0);
    clipRight_ = std::min(left + width, width_);
    clipBottom_ = std::min(top + height, height_);
}

bool Canvas::inside(int x, int y) const
{
    return x >= clipLeft_ && x < clipRight_ && y >= clipTop_ && y < clipBottom_;
}

void Canvas::blend(int x, int y, Rgb colour, double opacity)
{
    if (!inside(x, y))
        return;
    uint8_t* pixel = rgb_.data() + (std::size_t(y) * std::size_t(width_) + std::size_t(x)) * 3;
    const uint8_t channels[3] = {colour.r, colour.g, colour.b};
    for (int c = 0; c < 3; ++c)
        pixel[c] = uint8_t(std::lround(pixel[c] + (channels[c] - pixel[c]) * opacity));
}

void Canvas::lighten(int x, int y, Rgb colour)
{
    if (!inside(x, y))
        return;
    uint8_t* pixel = rgb_.data() + (std::size_t(y) * std::size_t(width_) + std::size_t(x)) * 3;
    pixel[0] = std::max(pixel[0], colour.r);
    pixel[1] = std::max(pixel[1], colour.g);
    pixel[2] = std::max(pixel[2], colour.b);
}

void Canvas::line(double x0, double y0, double x1, double y1, Rgb colour, double opacity)
{
    double length = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
    int steps = std::max(1, int(std::ceil(length)));
    int lastX = -1, lastY = -1;
    for (int s = 0; s <= steps; ++s) {
        double t = double(s) / steps;
        auto x = int(std::floor(x0 + (x1 - x0) * t));
        auto y = int(std::floor(y0 + (y1 - y0) * t));
        if (x == lastX && y == lastY)
            continue; // blending twice would darken the line where it lingers
        blend(x, y, colour, opacity);
        lastX = x, lastY = y;
    }
}

int Canvas::textWidth(const std::string& label)
{
    return coverageOf(label).width;
}

int Canvas::text(const std::string& label, int x, int y, Rgb colour)
{
    const Coverage& coverage = coverageOf(label);
    for (int row = 0; row < coverage.height; ++row)
        for (int column = 0; column < coverage.width; ++column) {
            uint8_t covered =
                coverage
                    .values[std::size_t(row) * std::size_t(coverage.width) + std::size_t(column)];
            if (covered != 0)
                blend(x + column, y + row, colour, covered / 255.0);
        }
    return coverage.width;
}

} // namespace vivanto
