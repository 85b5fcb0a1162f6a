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
    cmsCIELab lab[kBatch];
    auto* in = static_cast<const unsigned char*>(samples);
    for (std::size_t done = 0; done < pixels; done += kBatch) {
        std::size_t count = std::min(kBatch, pixels - done);
        cmsDoTransform(transforms_->toLab, in + done * transforms_->bytesPerPixel, lab,
                       static_cast<cmsUInt32Number>(count));
        for (std::size_t i = 0; i < count; ++i) {
            uint16_t* pixel = working + (done + i) * kChannels;
            pixel[0] = clampedSample(lab[i].L * kLightnessPerUnit);
            pixel[1] = clampedSample(kNeutral + lab[i].a * kChromaPerUnit);
            pixel[2] = clampedSample(kNeutral + lab[i].b * kChromaPerUnit);
        }
    }
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
        for (std::size_t i = 0; i < count; ++i) {
            const uint16_t* pixel = working + (done + i) * kChannels;
            lab[i].L = pixel[0] / kLightnessPerUnit;
            lab[i].a = (pixel[1] - double{kNeutral}) / kChromaPerUnit;
            lab[i].b = (pixel[2] - double{kNeutral}) / kChromaPerUnit;
        }
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
