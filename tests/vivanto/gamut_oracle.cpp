#include "gamut_oracle.h"

#include "colour.h"
#include "working_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace gamut_test {

namespace {

std::vector<unsigned char> saved(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<unsigned char> bytes(size);
    bool done = size > 0 && cmsSaveProfileToMem(profile, bytes.data(), &size) != 0;
    cmsCloseProfile(profile);
    if (!done)
        throw std::runtime_error("the test profile cannot be saved");
    return bytes;
}

cmsHPROFILE rgbProfile(cmsCIExyY white, cmsCIExyYTRIPLE primaries, cmsToneCurve* curve)
{
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
}

// The sRGB curve as LittleCMS's parametric type 4, which it inverts without
// clamping below zero (its pure power curves clamp negative values to 0).
cmsToneCurve* srgbCurve()
{
    const cmsFloat64Number parameters[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    return cmsBuildParametricToneCurve(nullptr, 4, parameters);
}

const cmsCIExyY kD65{0.3127, 0.3290, 1.0};
const cmsCIExyY kD50{0.3457, 0.3585, 1.0};

// An RGB profile converted through a LUT on the way in (an A2B0 tag beside
// its matrix and curves): LittleCMS's transforms convert it, not the fast path.
std::vector<unsigned char> lutProfile()
{
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = rgbProfile(
        kD65, {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}}, cmsDupToneCurve(gamma));
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 3, 3);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 3, 3, nullptr);
    cmsStageSampleCLut16bit(
        grid,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) -> cmsInt32Number {
            out[0] = cmsUInt16Number((in[0] * 5 + in[1] * 3 + in[2] * 2) / 20);
            out[1] = cmsUInt16Number((in[0] * 2 + in[1] * 7 + in[2] * 1) / 20);
            out[2] = cmsUInt16Number((in[0] * 1 + in[1] * 1 + in[2] * 8) / 20);
            return 1;
        },
        nullptr, 0);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, curves));
    cmsPipelineInsertStage(lut, cmsAT_END, grid);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsSetProfileVersion(profile, 2.4);
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsPipelineFree(lut);
    cmsFreeToneCurve(gamma);
    return saved(profile);
}

cmsHPROFILE opened(Profile profile)
{
    if (profile == Profile::Srgb)
        return cmsCreate_sRGBProfile();
    if (profile == Profile::Grey)
        return vivanto::srgbGreyProfile();
    std::vector<unsigned char> bytes = bytesOf(profile);
    return cmsOpenProfileFromMem(bytes.data(), cmsUInt32Number(bytes.size()));
}

uint16_t encoded(double sample, bool& clamped)
{
    double up = std::floor(sample + 0.5);
    clamped = clamped || up < 0 || up > 65535;
    return uint16_t(std::clamp(up, 0.0, 65535.0));
}

} // namespace

std::string nameOf(Profile profile)
{
    switch (profile) {
    case Profile::Srgb:
        return "srgb";
    case Profile::DisplayP3:
        return "display_p3";
    case Profile::AdobeLike:
        return "adobe_like_gamma_2_2";
    case Profile::ProPhotoLike:
        return "prophoto_like";
    case Profile::Lut:
        return "lut";
    case Profile::Grey:
        return "grey";
    }
    return "?";
}

bool isGrey(Profile profile)
{
    return profile == Profile::Grey;
}

std::vector<unsigned char> bytesOf(Profile profile)
{
    switch (profile) {
    case Profile::DisplayP3:
        return saved(rgbProfile(
            kD65, {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}}, srgbCurve()));
    case Profile::AdobeLike:
        return saved(rgbProfile(kD65, {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}},
                                cmsBuildGamma(nullptr, 2.2)));
    case Profile::ProPhotoLike:
        return saved(
            rgbProfile(kD50, {{0.7347, 0.2653, 1.0}, {0.1596, 0.8404, 1.0}, {0.0366, 0.0001, 1.0}},
                       srgbCurve()));
    case Profile::Lut:
        return lutProfile();
    default:
        return {};
    }
}

Oracle::Oracle(Profile profile)
    : channels_(isGrey(profile) ? 1 : 3)
{
    cmsHPROFILE device = opened(profile);
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsUInt32Number format = isGrey(profile) ? TYPE_GRAY_DBL : TYPE_RGB_DBL;
    cmsUInt32Number flags = cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE;
    in_ =
        cmsCreateTransform(device, format, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, flags);
    out_ =
        cmsCreateTransform(lab, TYPE_Lab_DBL, device, format, INTENT_RELATIVE_COLORIMETRIC, flags);
    cmsCloseProfile(lab);
    cmsCloseProfile(device);
    if (in_ == nullptr || out_ == nullptr)
        throw std::runtime_error("the oracle's transforms cannot be made");
}

Oracle::~Oracle()
{
    cmsDeleteTransform(in_);
    cmsDeleteTransform(out_);
}

std::array<double, 3> Oracle::labOf(const double* device) const
{
    cmsCIELab lab{};
    cmsDoTransform(in_, device, &lab, 1);
    return {lab.L, lab.a, lab.b};
}

std::array<uint16_t, 3> Oracle::toWorking(const double* device, bool* clamped) const
{
    std::array<double, 3> lab = labOf(device);
    bool chroma = false, lightness = false;
    std::array<uint16_t, 3> working{
        encoded(lab[0] * vivanto::kLightnessPerUnit, lightness),
        encoded(vivanto::kNeutral + lab[1] * vivanto::kChromaPerUnit, chroma),
        encoded(vivanto::kNeutral + lab[2] * vivanto::kChromaPerUnit, chroma)};
    if (clamped != nullptr)
        *clamped = chroma;
    return working;
}

std::array<double, 3> Oracle::toDevice(const uint16_t* working) const
{
    std::array<double, 3> lab = labOfWorking(working);
    cmsCIELab in{lab[0], lab[1], lab[2]};
    std::array<double, 3> device{};
    cmsDoTransform(out_, &in, device.data(), 1);
    return device;
}

bool Oracle::outside(const uint16_t* working, double margin) const
{
    std::array<double, 3> device = toDevice(working);
    for (int c = 0; c < channels_; ++c)
        if (device[std::size_t(c)] < -margin || device[std::size_t(c)] > 1.0 + margin)
            return true;
    return false;
}

std::vector<unsigned char> pixelBytes(const vips::VImage& image)
{
    size_t size = 0;
    void* memory = image.write_to_memory(&size);
    std::vector<unsigned char> bytes(static_cast<unsigned char*>(memory),
                                     static_cast<unsigned char*>(memory) + size);
    g_free(memory);
    return bytes;
}

std::vector<Colour> devicePixels(const vips::VImage& image, int bits, int channels)
{
    std::vector<unsigned char> bytes = pixelBytes(image);
    std::size_t pixels = std::size_t(image.width()) * std::size_t(image.height());
    double maximum = bits == 16 ? 65535.0 : 255.0;
    std::vector<Colour> out(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        for (int c = 0; c < channels; ++c) {
            std::size_t index = p * std::size_t(channels) + std::size_t(c);
            uint16_t sample = bytes[index];
            if (bits == 16)
                std::memcpy(&sample, bytes.data() + 2 * index, 2);
            out[p][std::size_t(c)] = sample / maximum;
        }
    return out;
}

std::vector<std::array<uint16_t, 3>> expectedResults(const Oracle& oracle,
                                                     const std::vector<Colour>& device,
                                                     const vivanto::AxisResponses& responses,
                                                     uint64_t* clampedOnTheWayIn)
{
    std::vector<std::array<uint16_t, 3>> results;
    uint64_t clamped = 0;
    for (const Colour& colour : device) {
        bool clipped = false;
        std::array<uint16_t, 3> working = oracle.toWorking(colour.data(), &clipped);
        clamped += clipped ? 1 : 0;
        working[1] = responses[0][working[1]];
        working[2] = responses[1][working[2]];
        results.push_back(working);
    }
    if (clampedOnTheWayIn != nullptr)
        *clampedOnTheWayIn = clamped;
    return results;
}

std::array<double, 3> labOfWorking(const uint16_t* working)
{
    return {working[0] / vivanto::kLightnessPerUnit,
            (working[1] - double{vivanto::kNeutral}) / vivanto::kChromaPerUnit,
            (working[2] - double{vivanto::kNeutral}) / vivanto::kChromaPerUnit};
}

double hueDegrees(double a, double b)
{
    return std::atan2(b, a) * 180.0 / M_PI;
}

double hueDistance(double first, double second)
{
    double d = std::fmod(std::abs(first - second), 360.0);
    return std::min(d, 360.0 - d);
}

} // namespace gamut_test
