// An 8-bit RGB image to draw a plot on: pixels blended in, straight lines,
// and text set by libvips (through Pango), all kept inside a clip rectangle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vivanto {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

class Canvas {
public:
    Canvas(int width, int height); // black

    int width() const { return width_; }
    int height() const { return height_; }
    const std::vector<uint8_t>& pixels() const { return rgb_; } // row after row, 3 per pixel
    std::vector<uint8_t> release() { return std::move(rgb_); }

    // Drawing outside this rectangle does nothing; the whole canvas at first.
    void clipTo(int left, int top, int width, int height);

    // `colour` over the pixel at `opacity` 0..1.
    void blend(int x, int y, Rgb colour, double opacity = 1.0);
    // Each channel the larger of the pixel's and `colour`'s.
    void lighten(int x, int y, Rgb colour);
    void line(double x0, double y0, double x1, double y1, Rgb colour, double opacity = 1.0);
    // A short line of text, its top left corner at x, y; returns its width.
    int text(const std::string& label, int x, int y, Rgb colour);
    static int textWidth(const std::string& label);

private:
    bool inside(int x, int y) const;

    int width_, height_;
    int clipLeft_ = 0, clipTop_ = 0, clipRight_, clipBottom_;
    std::vector<uint8_t> rgb_;
};

} // namespace vivanto
