#include "vectorscope.h"

#include "canvas.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vips/vips8>

namespace vivanto {

namespace {

constexpr double kShownUnits = 256.0; // a* (and b*) across a panel at zoom 1
constexpr double kFaintest = 0.2;     // brightness of a spot with one pixel
constexpr Rgb kGraticule{48, 58, 80};
constexpr Rgb kLabel{120, 135, 170};
constexpr Rgb kTitle{215, 220, 240};
// Boundary colours by lightness level, darkest level first.
constexpr Rgb kLevelColours[] = {
    {190, 110, 255}, {255, 160, 50}, {80, 215, 255}, {120, 230, 120}, {255, 110, 140}};

double pixelsPerUnit(const ScopeView& view)
{
    return view.panelSize * view.zoom / kShownUnits;
}

// Which pixels of a panel a bin covers along one axis: all that its width
// spans, or the one its centre falls in; clamped to the panel, so that what
// lies beyond it shows on its edge.
struct Span {
    int first, last;
};

std::vector<Span> binSpans(const ScopeView& view, bool upwards)
{
    const int size = view.panelSize;
    const double binPixels = pixelsPerUnit(view) / kBinsPerUnit;
    std::vector<Span> spans;
    for (int bin = 0; bin < kDensityBins; ++bin) {
        double units = AbDensity::unitsAtBin(bin);
        PanelPoint at = panelPointOf(upwards ? 0 : units, upwards ? units : 0, view);
        double centre = upwards ? at.y : at.x;
        int first = int(std::floor(centre - binPixels / 2 + 0.5));
        int last = std::max(first, int(std::ceil(centre + binPixels / 2 - 0.5)) - 1);
        if (binPixels <= 1)
            first = last = int(std::floor(centre));
        spans.push_back({std::clamp(first, 0, size - 1), std::clamp(last, 0, size - 1)});
    }
    return spans;
}

// The density as the panel's pixels see it: each bin's count spread evenly
// over the pixels it covers.
std::vector<double> panelDensity(const AbDensity& counts, const ScopeView& view)
{
    const auto size = std::size_t(view.panelSize);
    std::vector<double> density(size * size, 0.0);
    const std::vector<Span> across = binSpans(view, false), up = binSpans(view, true);
    counts.forEachCount([&](int row, int column, uint64_t count) {
        const Span& x = across[std::size_t(column)];
        const Span& y = up[std::size_t(row)];
        if (x.first == x.last && y.first == y.last) {
            density[std::size_t(y.first) * size + std::size_t(x.first)] += double(count);
            return;
        }
        double share = double(count) / double((x.last - x.first + 1) * (y.last - y.first + 1));
        for (int py = y.first; py <= y.last; ++py)
            for (int px = x.first; px <= x.last; ++px)
                density[std::size_t(py) * size + std::size_t(px)] += share;
    });
    return density;
}

double ringStep(double zoom)
{
    return zoom < 2 ? 20.0 : zoom < 4 ? 10.0 : 5.0;
}

void drawGraticule(Canvas& canvas, int left, const ScopeView& view)
{
    const int size = view.panelSize;
    const double middle = std::floor(size / 2.0);
    canvas.line(left, middle, left + size - 1, middle, kGraticule);
    canvas.line(left + middle, 0, left + middle, size - 1, kGraticule);
    const double step = ringStep(view.zoom);
    const double reach = kShownUnits / 2 / view.zoom; // rings inside the panel only
    for (int ring = 1; ring * step <= reach; ++ring) {
        double radius = ring * step * pixelsPerUnit(view);
        int segments = std::max(32, int(radius));
        for (int s = 0; s < segments; ++s) {
            double from = 2 * std::numbers::pi * s / segments;
            double to = 2 * std::numbers::pi * (s + 1) / segments;
            canvas.line(left + middle + radius * std::cos(from), middle - radius * std::sin(from),
                        left + middle + radius * std::cos(to), middle - radius * std::sin(to),
                        kGraticule);
        }
        std::string label = std::to_string(int(ring * step));
        int x = int(left + middle + radius) + 2;
        if (ring % 2 == 0 && x + Canvas::textWidth(label) < left + size)
            canvas.text(label, x, int(middle) + 2, kLabel);
    }
    canvas.text("+a*", left + size - 26, int(middle) - 16, kLabel);
    canvas.text("+b*", int(left + middle) + 4, 2, kLabel);
}

// Brightness per pixel, then each spot widened to its neighbours (dimmer),
// as a scope's beam has a width: a flat patch of one colour is one bin, and
// one pixel alone would be lost beside the graticule.
void drawTrace(Canvas& canvas, int left, const std::vector<double>& density, double peak,
               const ScopeView& view)
{
    const int size = view.panelSize;
    const double scale = std::log1p(peak);
    std::vector<float> beam(density.size(), 0.0F);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            double count = density[std::size_t(y) * std::size_t(size) + std::size_t(x)];
            if (count <= 0)
                continue;
            auto brightness =
                float(std::min(1.0, kFaintest + (1 - kFaintest) * std::log1p(count) / scale));
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    int nx = x + dx, ny = y + dy;
                    if (nx < 0 || nx >= size || ny < 0 || ny >= size)
                        continue;
                    // cppcheck-suppress knownConditionTrueFalse ; dx and dy run over -1..1
                    float weight = dx == 0 && dy == 0 ? 1.0F : dx == 0 || dy == 0 ? 0.7F : 0.5F;
                    float& at = beam[std::size_t(ny) * std::size_t(size) + std::size_t(nx)];
                    at = std::max(at, brightness * weight);
                }
        }
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            float at = beam[std::size_t(y) * std::size_t(size) + std::size_t(x)];
            if (at <= 0)
                continue;
            auto grey = uint8_t(std::lround(255 * at));
            canvas.lighten(left + x, y, {grey, grey, grey});
        }
}

void drawGamut(Canvas& canvas, int left, const GamutBoundary& gamut, const ScopeView& view)
{
    constexpr std::size_t kColours = std::size(kLevelColours);
    int legendTop = view.panelSize - 18 * int(gamut.lightnesses().size()) - 4;
    for (std::size_t level = 0; level < gamut.lightnesses().size(); ++level) {
        Rgb colour = kLevelColours[level % kColours];
        std::vector<std::array<double, 2>> outline = gamut.outline(level);
        for (std::size_t p = 0; p < outline.size(); ++p) {
            const auto& from = outline[p];
            const auto& to = outline[(p + 1) % outline.size()];
            PanelPoint a = panelPointOf(from[0], from[1], view);
            PanelPoint b = panelPointOf(to[0], to[1], view);
            canvas.line(left + a.x, a.y, left + b.x, b.y, colour);
        }
        std::string name = "gamut at L* " + std::to_string(std::lround(gamut.lightnesses()[level]));
        canvas.text(name, left + 6, legendTop + 18 * int(level), colour);
    }
}

} // namespace

PanelPoint panelPointOf(double a, double b, const ScopeView& view)
{
    const double middle = std::floor(view.panelSize / 2.0);
    return {middle + a * pixelsPerUnit(view), middle - b * pixelsPerUnit(view)};
}

ScopeImage renderScope(const AbDensity& before, const AbDensity& after, const GamutBoundary* gamut,
                       const ScopeView& view)
{
    if (view.panelSize < 16 || view.panelSize > 8192 || !(view.zoom >= 1 && view.zoom <= 64))
        throw std::invalid_argument("vectorscope: panels of 16..8192 pixels, zoom 1..64");
    const int size = view.panelSize;
    std::vector<double> densities[2] = {panelDensity(before, view), panelDensity(after, view)};
    double peak = 1;
    for (const auto& density : densities)
        peak = std::max(peak, *std::max_element(density.begin(), density.end()));

    Canvas canvas(2 * size, size);
    const char* titles[2] = {"before", "after"};
    for (int panel = 0; panel < 2; ++panel) {
        int left = panel * size;
        canvas.clipTo(left, 0, size, size);
        drawGraticule(canvas, left, view);
        drawTrace(canvas, left, densities[panel], peak, view);
        if (gamut != nullptr)
            drawGamut(canvas, left, *gamut, view);
        canvas.text(titles[panel], left + 6, 4, kTitle);
    }
    return {canvas.width(), canvas.height(), canvas.release()};
}

std::vector<unsigned char> scopePng(const ScopeImage& image, int compression)
{
    vips::VImage pixels =
        vips::VImage::new_from_memory(const_cast<uint8_t*>(image.rgb.data()), image.rgb.size(),
                                      image.width, image.height, 3, VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    void* bytes = nullptr;
    std::size_t size = 0;
    pixels.write_to_buffer(".png", &bytes, &size,
                           vips::VImage::option()->set("compression", compression));
    std::vector<unsigned char> png(static_cast<unsigned char*>(bytes),
                                   static_cast<unsigned char*>(bytes) + size);
    g_free(bytes);
    return png;
}

} // namespace vivanto
