// The independent side of the gamut tests: profiles made with LittleCMS, and
// out-of-gamut verdicts from LittleCMS in double precision without clamping
// (TYPE_RGB_DBL -> TYPE_Lab_DBL in, TYPE_Lab_DBL -> TYPE_RGB_DBL back, no
// optimisation), none of it through vivanto's conversion.
#pragma once

#include "stats.h"

#include <array>
#include <cstdint>
#include <lcms2.h>
#include <string>
#include <vector>
#include <vips/vips8>

namespace gamut_test {

enum class Profile { Srgb, DisplayP3, AdobeLike, ProPhotoLike, Lut, Grey };
std::string nameOf(Profile profile);
// The ICC profile's bytes; empty for Srgb (vivanto's default for RGB photos
// without one) and for Grey (its sRGB-curve grey).
std::vector<unsigned char> bytesOf(Profile profile);
bool isGrey(Profile profile);

class Oracle {
public:
    explicit Oracle(Profile profile);
    ~Oracle();
    Oracle(const Oracle&) = delete;
    Oracle& operator=(const Oracle&) = delete;

    int channels() const { return channels_; }
    // Device values 0..1 (channels() of them) to working samples, as the
    // working encoding rounds and clamps; `clamped` tells whether a* or b* was.
    std::array<uint16_t, 3> toWorking(const double* device, bool* clamped = nullptr) const;
    // Working samples to device values, unclamped (0..1 inside the range).
    std::array<double, 3> toDevice(const uint16_t* working) const;
    // Device values to CIE L*a*b*.
    std::array<double, 3> labOf(const double* device) const;
    // Whether a channel lies more than `margin` (a share of the range) outside 0..1.
    bool outside(const uint16_t* working, double margin) const;

private:
    int channels_ = 3;
    cmsHTRANSFORM in_ = nullptr;
    cmsHTRANSFORM out_ = nullptr;
};

using Colour = std::array<double, 3>; // device values 0..1

std::vector<unsigned char> pixelBytes(const vips::VImage& image);
// Every pixel's device values, as decoded (`channels` bands of `bits`).
std::vector<Colour> devicePixels(const vips::VImage& image, int bits, int channels);
// The stage's result for every pixel, made independently: LittleCMS's way
// in, then the plug-in's own response to each sample; counts the pixels the
// working encoding clamped on the way in.
std::vector<std::array<uint16_t, 3>> expectedResults(const Oracle& oracle,
                                                     const std::vector<Colour>& device,
                                                     const vivanto::AxisResponses& responses,
                                                     uint64_t* clampedOnTheWayIn = nullptr);

// Working samples as CIE L*a*b*, and hue angle in degrees.
std::array<double, 3> labOfWorking(const uint16_t* working);
double hueDegrees(double a, double b);
double hueDistance(double first, double second);

} // namespace gamut_test
