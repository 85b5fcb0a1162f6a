// The fast, exact conversion for the profiles most photos carry: RGB
// matrix-shaper profiles (three tone curves and three colorants) and grey
// profiles that are a single tone curve. LittleCMS reads the profile; the
// arithmetic is ours, in double precision, through tables made once per code:
//
//   way in:   code -> tone curve (per code) -> colorants -> CIE L*a*b* (D50)
//   way back: L*a*b* -> XYZ -> inverse colorants -> the code whose curve value
//             is nearest, rounded half up in code space
//
// Parametric curves are evaluated by LittleCMS (cmsEvalToneCurveFloat, as its
// own transforms do); tabulated curves are interpolated here in double,
// because LittleCMS rounds their values to 16 bits. The way back is an exact
// inverse of the way in's curve, found by search over its monotone values, so
// no inverted curve of limited precision (cmsReverseToneCurve) is involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <lcms2.h>
#include <memory>
#include <vector>

namespace vivanto {

// Which instructions the hot loops use. Both give the same results bit for
// bit; Baseline exists so that tests and benchmarks can compare them.
enum class Instructions { Best, Baseline };

class MatrixShaper {
public:
    // Null when `profile` is not a plain matrix-shaper (RGB) or tone-curve
    // (grey) profile whose curves are monotone: LittleCMS converts those.
    static std::unique_ptr<MatrixShaper> tryMake(cmsHPROFILE profile, bool grey, int bits,
                                                 Instructions instructions = Instructions::Best);

    // As ColourSpace's: 1 or 3 samples per pixel of `bits` bits, no alpha.
    void toWorking(const void* samples, uint16_t* working, std::size_t pixels) const;
    void fromWorking(const uint16_t* working, void* samples, std::size_t pixels) const;
    // As toWorking, returning how many pixels had a* or b* clamped by the
    // working encoding (|a*| or |b*| beyond its 128).
    std::size_t toWorkingCounted(const void* samples, uint16_t* working, std::size_t pixels) const;
    // The output's code values (1 or 3 per pixel), neither rounded nor clamped.
    void fromWorkingUnclamped(const uint16_t* working, float* codes, std::size_t pixels) const;
    // 1 in `outside` for every pixel out of the output's gamut, else 0; returns their number.
    std::size_t outOfGamut(const uint16_t* working, uint8_t* outside, std::size_t pixels) const;
    // fromWorking and outOfGamut at once, from one decoding of the working samples.
    std::size_t fromWorkingCountingGamut(const uint16_t* working, void* samples, uint8_t* outside,
                                         std::size_t pixels) const;

    MatrixShaper(const MatrixShaper&) = delete; // curves_ points into tables_
    MatrixShaper& operator=(const MatrixShaper&) = delete;

    // Whether the hot loops run with vector instructions beyond the baseline.
    bool vectorised() const { return vectorised_; }

    // One channel's tone curve as tables over its codes.
    struct Curve {
        std::vector<double> value;        // the curve at every code / maximum
        std::vector<double> midpoint;     // [c]: the curve at (c - 0.5) / maximum, c >= 1
        std::vector<uint16_t> searchFrom; // per cell of sqrt(value): codes below the cell
        int steps = 0;                    // the most codes a cell holds
    };

private:
    MatrixShaper() = default;
    void fromWorkingRgb(const uint16_t* working, void* samples, std::size_t pixels) const;
    template <bool Count>
    std::size_t toWorkingRgb(const void* samples, uint16_t* working, std::size_t pixels) const;
    void setGamutLimits();

    bool grey_ = false;
    int bits_ = 8;
    bool vectorised_ = false;
    Curve tables_[3];
    const Curve* curves_[3]{}; // each channel's, into tables_
    double toXyz_[3][3]{};     // linear RGB to XYZ relative to the D50 white
    double fromXyz_[3][3]{};   // the inverse, from XYZ relative to the D50 white
    // Per channel, the linear values beyond which a pixel is out of gamut.
    double gamutLow_[3]{};
    double gamutHigh_[3]{};
    // Grey: the working lightness sample of every code, and the code of every
    // lightness sample (grey depends on L* alone).
    std::vector<uint16_t> greyLightness_;
    std::vector<uint16_t> greyCode_;
};

} // namespace vivanto
