// Colour conversion between a photo's samples and the working image, through
// LittleCMS: the photo's embedded ICC profile (sRGB for RGB photos without
// one, a grey with the sRGB tone curve for grey ones) to CIE L*a*b* (D50) with
// relative colorimetric intent, and back, in floating point with our own
// rounding, so that greys land on a* = b* = 0 and come back as exact greys.
// Matrix-shaper RGB and tone-curve grey profiles take the fast path of
// matrix_shaper.h; LittleCMS's float transforms convert all others.
#pragma once

#include "matrix_shaper.h"
#include "working_image.h"

#include <cstddef>
#include <lcms2.h>
#include <memory>
#include <stdexcept>
#include <vector>

namespace vivanto {

struct ColourError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A grey with the sRGB tone curve (D50): how a grey photo without a profile
// is read. The caller closes it.
cmsHPROFILE srgbGreyProfile();

class ColourSpace {
public:
    // `profile` empty: the photo's colours are sRGB (or sRGB grey).
    // Throws ColourError for a profile that cannot be used for this kind of photo.
    ColourSpace(const std::vector<unsigned char>& profile, bool grey, int bits,
                Instructions instructions = Instructions::Best);
    ~ColourSpace();
    ColourSpace(const ColourSpace&) = delete;
    ColourSpace& operator=(const ColourSpace&) = delete;

    // `pixels` colour samples (1 or 3 per pixel, 8 or 16 bits, no alpha) to
    // working samples (3 per pixel). Safe to call from several threads at once.
    void toWorking(const void* samples, uint16_t* working, std::size_t pixels) const;
    void fromWorking(const uint16_t* working, void* samples, std::size_t pixels) const;

    // As toWorking, returning how many pixels the working encoding could not
    // hold (|a*| or |b*| beyond its 128, clamped there). The plain call does
    // not count, and costs nothing for it.
    std::size_t toWorkingCounted(const void* samples, uint16_t* working, std::size_t pixels) const;
    // Working samples to the output's code values (channels() per pixel, 0..255
    // or 0..65535 inside the range), neither rounded nor clamped: -3.2 or 260.7
    // on 8 bits says how far outside a colour lies.
    void fromWorkingUnclamped(const uint16_t* working, float* codes, std::size_t pixels) const;
    // 1 in `outside` for every pixel out of this colour space's gamut (see
    // gamut.h), else 0; returns their number.
    std::size_t outOfGamut(const uint16_t* working, uint8_t* outside, std::size_t pixels) const;
    // fromWorking and outOfGamut at once: the same samples and marks, and on
    // the fast path from one decoding of the working samples.
    std::size_t fromWorkingCountingGamut(const uint16_t* working, void* samples, uint8_t* outside,
                                         std::size_t pixels) const;

    int channels() const;
    int maximumCode() const; // 255 or 65535

    // Whether the fast path of matrix_shaper.h converts, rather than LittleCMS.
    bool matrixShaper() const;
    // The samples toWorking reads and fromWorking writes.
    bool grey() const;
    int bits() const;

private:
    std::size_t toWorkingThroughLab(const void* samples, uint16_t* working,
                                    std::size_t pixels) const;
    void setGamutLimits();

    struct Transforms;
    std::unique_ptr<Transforms> transforms_;
};

} // namespace vivanto
