#include "colour.h"

#include <algorithm>
#include <cmath>
#include <lcms2.h>

namespace vivanto {

namespace {

// Pixels converted per call: enough to amortise the call, small enough for the stack.
constexpr std::size_t kBatch = 1024;

cmsHPROFILE openProfile(const std::vector<unsigned char>& bytes, bool grey)
{
    if (bytes.empty())
        return grey ? srgbGreyProfile() : cmsCreate_sRGBProfile();
    cmsHPROFILE profile =
        cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
    if (profile == nullptr)
        throw ColourError("its ICC profile cannot be read");
    cmsColorSpaceSignature space = cmsGetColorSpace(profile);
    if (space != (grey ? cmsSigGrayData : cmsSigRgbData)) {
        cmsCloseProfile(profile);
        throw ColourError(std::string("its ICC profile is not for ") + (grey ? "grey" : "RGB")
                          + " images");
    }
    return profile;
}

uint16_t clampedSample(double value)
{
    // Half up, then clamped to the sample range.
    return static_cast<uint16_t>(std::clamp(std::floor(value + 0.5), 0.0, 65535.0));
}

bool beyondEncoding(double sample)
{
    return sample < -0.5 || sample >= 65535.5;
}

void labOf(const uint16_t* working, std::size_t count, cmsCIELab* lab)
{
    for (std::size_t i = 0; i < count; ++i) {
        const uint16_t* pixel = working + i * kChannels;
        lab[i].L = pixel[0] / kLightnessPerUnit;
        lab[i].a = (pixel[1] - double{kNeutral}) / kChromaPerUnit;
        lab[i].b = (pixel[2] - double{kNeutral}) / kChromaPerUnit;
    }
}

} // namespace

cmsHPROFILE srgbGreyProfile()
{
    // The sRGB tone curve as LittleCMS's parametric type 4.
    const cmsFloat64Number srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return profile;
}

struct ColourSpace::Transforms {
    std::unique_ptr<MatrixShaper> shaper;
    // Otherwise LittleCMS: samples to Lab in double, and Lab to samples in
    // double with our rounding. A transform straight to 8 or 16-bit samples
    // would go through LittleCMS's 16-bit Lab encoding (a* in steps of 1/257,
    // clipped at 127.996) and come back off by up to 24 of 65535.
    cmsHTRANSFORM toLab = nullptr;
    cmsHTRANSFORM fromLab = nullptr;
    cmsUInt32Number bytesPerPixel = 0;
    int channels = 0;
    int bits = 0;
    // Per channel, the codes beyond which a pixel is out of gamut (LittleCMS only).
    double gamutLow[3]{};
    double gamutHigh[3]{};
    ~Transforms()
    {
        if (toLab != nullptr)
            cmsDeleteTransform(toLab);
        if (fromLab != nullptr)
            cmsDeleteTransform(fromLab);
    }
};

ColourSpace::ColourSpace(const std::vector<unsigned char>& profile, bool grey, int bits,
                         Instructions instructions)
    : transforms_(std::make_unique<Transforms>())
{
    cmsHPROFILE photo = openProfile(profile, grey);
    transforms_->channels = grey ? 1 : 3;
    transforms_->bits = bits;
    transforms_->bytesPerPixel = cmsUInt32Number(transforms_->channels * (bits / 8));
    transforms_->shaper = MatrixShaper::tryMake(photo, grey, bits, instructions);
    if (transforms_->shaper != nullptr) {
        cmsCloseProfile(photo);
        return;
    }
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr); // D50
    cmsUInt32Number format =
        grey ? (bits == 16 ? TYPE_GRAY_16 : TYPE_GRAY_8) : (bits == 16 ? TYPE_RGB_16 : TYPE_RGB_8);
    // No 1-pixel cache: the transforms are shared by the conversion threads.
    cmsUInt32Number flags = cmsFLAGS_NOCACHE;
    transforms_->toLab =
        cmsCreateTransform(photo, format, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, flags);
    transforms_->fromLab =
        cmsCreateTransform(lab, TYPE_Lab_DBL, photo, grey ? TYPE_GRAY_DBL : TYPE_RGB_DBL,
                           INTENT_RELATIVE_COLORIMETRIC, flags);
    cmsCloseProfile(lab);
    cmsCloseProfile(photo);
    if (transforms_->toLab == nullptr || transforms_->fromLab == nullptr)
        throw ColourError("no colour transform can be made from its ICC profile");
    setGamutLimits();
}

// With no matrix to bound it (see MatrixShaper::setGamutLimits), the slack
// the working encoding's rounding leaves is measured: the surface of the
// colour cube (every colour with a channel at 0 or at the top, where the
// rounding can carry a colour outside) on a grid, there and back, and the
// furthest it landed outside taken twice over, or half a code if that is more.
void ColourSpace::setGamutLimits()
{
    constexpr int kLevels = 17;
    const int channels = transforms_->channels;
    const double maximum = maximumCode();
    std::vector<uint16_t> codes;
    for (int r = 0; r < kLevels; ++r)
        for (int g = 0; g < (channels == 3 ? kLevels : 1); ++g)
            for (int b = 0; b < (channels == 3 ? kLevels : 1); ++b) {
                const int level[3] = {r, g, b};
                bool surface = channels == 1;
                for (int c = 0; c < 3; ++c)
                    surface = surface || level[c] == 0 || level[c] == kLevels - 1;
                if (!surface)
                    continue;
                for (int c = 0; c < channels; ++c)
                    codes.push_back(uint16_t(std::lround(level[c] * maximum / (kLevels - 1))));
            }
    std::size_t pixels = codes.size() / std::size_t(channels);
    std::vector<uint8_t> narrow(codes.begin(), codes.end());
    std::vector<uint16_t> working(pixels * kChannels);
    toWorking(transforms_->bits == 16 ? static_cast<const void*>(codes.data()) : narrow.data(),
              working.data(), pixels);
    std::vector<float> back(pixels * std::size_t(channels));
    fromWorkingUnclamped(working.data(), back.data(), pixels);
    for (int c = 0; c < channels; ++c) {
        double below = 0.5, above = 0.5;
        for (std::size_t i = 0; i < pixels; ++i) {
            double code = back[i * std::size_t(channels) + std::size_t(c)];
            below = std::max(below, -2.0 * code);
            above = std::max(above, 2.0 * (code - maximum));
        }
        transforms_->gamutLow[c] = -below;
        transforms_->gamutHigh[c] = maximum + above;
    }
}

ColourSpace::~ColourSpace() = default;

bool ColourSpace::matrixShaper() const
{
    return transforms_->shaper != nullptr;
}

bool ColourSpace::grey() const
{
    return transforms_->channels == 1;
}

int ColourSpace::bits() const
{
    return transforms_->bits;
}

void ColourSpace::toWorking(const void* samples, uint16_t* working, std::size_t pixels) const
{
    if (transforms_->shaper != nullptr) {
        transforms_->shaper->toWorking(samples, working, pixels);
        return;
    }
    toWorkingThroughLab(samples, working, pixels);
}

std::size_t ColourSpace::toWorkingCounted(const void* samples, uint16_t* working,
                                          std::size_t pixels) const
{
    if (transforms_->shaper != nullptr)
        return transforms_->shaper->toWorkingCounted(samples, working, pixels);
    return toWorkingThroughLab(samples, working, pixels);
}

int ColourSpace::channels() const
{
    return transforms_->channels;
}

int ColourSpace::maximumCode() const
{
    return transforms_->bits == 16 ? 65535 : 255;
}

void ColourSpace::fromWorkingUnclamped(const uint16_t* working, float* codes,
                                       std::size_t pixels) const
{
    if (transforms_->shaper != nullptr) {
        transforms_->shaper->fromWorkingUnclamped(working, codes, pixels);
        return;
    }
    cmsCIELab lab[kBatch];
    double values[kBatch * 3];
    std::size_t channels = std::size_t(transforms_->channels);
    double maximum = maximumCode();
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        labOf(working + done * kChannels, count, lab);
        cmsDoTransform(transforms_->fromLab, lab, values, static_cast<cmsUInt32Number>(count));
        for (std::size_t i = 0; i < count * channels; ++i)
            codes[done * channels + i] = static_cast<float>(values[i] * maximum);
    }
}

std::size_t ColourSpace::outOfGamut(const uint16_t* working, uint8_t* outside,
                                    std::size_t pixels) const
{
    if (transforms_->shaper != nullptr)
        return transforms_->shaper->outOfGamut(working, outside, pixels);
    float codes[kBatch * 3];
    std::size_t channels = std::size_t(transforms_->channels);
    std::size_t found = 0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        fromWorkingUnclamped(working + done * kChannels, codes, count);
        for (std::size_t i = 0; i < count; ++i) {
            bool out = false;
            for (std::size_t c = 0; c < channels; ++c) {
                double code = codes[i * channels + c];
                out = out || code < transforms_->gamutLow[c] || code > transforms_->gamutHigh[c];
            }
            outside[done + i] = out ? 1 : 0;
            found += out ? 1U : 0U;
        }
    }
    return found;
}

std::size_t ColourSpace::toWorkingThroughLab(const void* samples, uint16_t* working,
                                             std::size_t pixels) const
{
    cmsCIELab lab[kBatch];
    auto* in = static_cast<const unsigned char*>(samples);
    std::size_t clamped = 0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        cmsDoTransform(transforms_->toLab, in + done * transforms_->bytesPerPixel, lab,
                       static_cast<cmsUInt32Number>(count));
        for (std::size_t i = 0; i < count; ++i) {
            uint16_t* pixel = working + (done + i) * kChannels;
            double a = kNeutral + lab[i].a * kChromaPerUnit;
            double b = kNeutral + lab[i].b * kChromaPerUnit;
            pixel[0] = clampedSample(lab[i].L * kLightnessPerUnit);
            pixel[1] = clampedSample(a);
            pixel[2] = clampedSample(b);
            clamped += (beyondEncoding(a) || beyondEncoding(b)) ? 1U : 0U;
        }
    }
    return clamped;
}

std::size_t ColourSpace::fromWorkingCountingGamut(const uint16_t* working, void* samples,
                                                  uint8_t* outside, std::size_t pixels) const
{
    if (transforms_->shaper != nullptr)
        return transforms_->shaper->fromWorkingCountingGamut(working, samples, outside, pixels);
    fromWorking(working, samples, pixels);
    return outOfGamut(working, outside, pixels);
}

void ColourSpace::fromWorking(const uint16_t* working, void* samples, std::size_t pixels) const
{
    if (transforms_->shaper != nullptr) {
        transforms_->shaper->fromWorking(working, samples, pixels);
        return;
    }
    cmsCIELab lab[kBatch];
    double values[kBatch * 3];
    std::size_t channels = std::size_t(transforms_->channels);
    double maximum = transforms_->bits == 16 ? 65535.0 : 255.0;
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        labOf(working + done * kChannels, count, lab);
        cmsDoTransform(transforms_->fromLab, lab, values, static_cast<cmsUInt32Number>(count));
        for (std::size_t i = 0; i < count * channels; ++i) {
            uint16_t code = std::min(clampedSample(values[i] * maximum), uint16_t(maximum));
            if (transforms_->bits == 16)
                static_cast<uint16_t*>(samples)[done * channels + i] = code;
            else
                static_cast<uint8_t*>(samples)[done * channels + i] = static_cast<uint8_t>(code);
        }
    }
}

} // namespace vivanto
