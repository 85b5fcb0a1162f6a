#include "tool_support.h"

#include "colour.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <lcms2.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tool_test {

namespace fs = std::filesystem;
using vips::VImage;

namespace {

struct InitVips {
    InitVips()
    {
        if (VIPS_INIT("vivanto_tests") != 0)
            throw std::runtime_error("cannot start libvips");
    }
};

void ensureVips()
{
    static InitVips once;
}

// sRGB 8-bit values of the patches; greys first.
constexpr std::array<std::array<int, 3>, kPatches> kColours{{
    {0, 0, 0},
    {50, 50, 50},
    {128, 128, 128},
    {200, 200, 200},
    {255, 255, 255},
    {150, 110, 90},
    {90, 130, 110},
    {100, 110, 150},
    {140, 140, 100},
    {160, 110, 125},
    {110, 125, 90},
    {120, 105, 140},
}};

} // namespace

pid_t spawnVivanto(const std::vector<std::string>& arguments,
                   const posix_spawn_file_actions_t& actions)
{
    std::vector<std::string> all{VIVANTO_TOOL};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(all.size() + 1);
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, VIVANTO_TOOL, &actions, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " VIVANTO_TOOL);
    return child;
}

ToolRun runVivanto(const std::vector<std::string>& arguments)
{
    ScratchFolder streams;
    std::string outPath = streams / "out", errPath = streams / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t child = 0;
    try {
        child = spawnVivanto(arguments, actions);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        throw;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    ToolRun run;
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = bytesOf(outPath);
    run.err = bytesOf(errPath);
    return run;
}

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "vivanto-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch folder");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string bytesOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files[fs::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? bytesOf(entry.path()) : "<folder>";
    return files;
}

std::string PhotoRecipe::name() const
{
    std::string text = kind == Kind::Png ? "png" : kind == Kind::Tiff ? "tiff" : "jpeg";
    text += std::to_string(bits) + (grey ? "_grey" : "_rgb");
    if (alpha)
        text += "_alpha";
    if (profile)
        text += "_profile";
    return text;
}

std::string PhotoRecipe::fileName() const
{
    return name() + (kind == Kind::Png ? ".png" : kind == Kind::Tiff ? ".tif" : ".jpg");
}

bool isGreyPatch(int patch)
{
    return kColours[std::size_t(patch)][0] == kColours[std::size_t(patch)][1]
        && kColours[std::size_t(patch)][1] == kColours[std::size_t(patch)][2];
}

void writePhoto(const PhotoRecipe& recipe, const std::string& path)
{
    ensureVips();
    int width = kPatchSize * kPatchesAcross, height = kPatchSize * (kPatches / kPatchesAcross);
    int bands = (recipe.grey ? 1 : 3) + (recipe.alpha ? 1 : 0);
    std::vector<uint16_t> samples;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto& colour = kColours[std::size_t(y / kPatchSize) * kPatchesAcross
                                          + std::size_t(x / kPatchSize)];
            for (int b = 0; b < (recipe.grey ? 1 : 3); ++b)
                samples.push_back(uint16_t(colour[std::size_t(recipe.grey ? 1 : b)]
                                           * (recipe.bits == 16 ? 257 : 1)));
            if (recipe.alpha) // every alpha value 0..255 (scaled), so any change shows
                samples.push_back(
                    uint16_t(((x * 7 + y * 13) % 256) * (recipe.bits == 16 ? 257 : 1)));
        }
    VImage image = VImage::new_from_memory(samples.data(), samples.size() * 2, width, height, bands,
                                           VIPS_FORMAT_USHORT)
                       .cast(recipe.bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
    VipsInterpretation interpretation = recipe.grey
        ? (recipe.bits == 16 ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W)
        : (recipe.bits == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB);
    image = image.copy(VImage::option()->set("interpretation", interpretation));
    if (recipe.profile)
        image = image.icc_transform("p3",
                                    VImage::option()
                                        ->set("input_profile", "srgb")
                                        ->set("depth", recipe.bits)
                                        ->set("intent", VIPS_INTENT_RELATIVE));
    if (recipe.kind == Kind::Png)
        image.pngsave(path.c_str());
    else if (recipe.kind == Kind::Tiff)
        image.tiffsave(path.c_str());
    else
        image.jpegsave(path.c_str(), VImage::option()->set("Q", 95));
}

void writeNoisePhoto(int width, int height, const std::string& path)
{
    ensureVips();
    std::mt19937 random(12345);
    std::vector<uint16_t> samples(std::size_t(width) * std::size_t(height) * 3);
    for (uint16_t& s : samples)
        s = uint16_t(random() & 0xFFFF);
    VImage::new_from_memory(samples.data(), samples.size() * 2, width, height, 3,
                            VIPS_FORMAT_USHORT)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16))
        .tiffsave(path.c_str());
}

VImage load(const std::string& path)
{
    ensureVips();
    return VImage::new_from_file(path.c_str());
}

namespace {

VImage colourBands(const VImage& image)
{
    bool alpha = image.bands() == 2 || image.bands() == 4;
    return alpha ? image.extract_band(0, VImage::option()->set("n", image.bands() - 1)) : image;
}

VImage patchCentre(const VImage& image, int patch)
{
    int x = patch % kPatchesAcross * kPatchSize + kPatchSize / 4;
    int y = patch / kPatchesAcross * kPatchSize + kPatchSize / 4;
    return image.crop(x, y, kPatchSize / 2, kPatchSize / 2);
}

} // namespace

std::vector<std::array<double, 3>> patchLab(const std::string& path)
{
    VImage loaded = load(path);
    VImage image = colourBands(loaded);
    bool grey = image.bands() == 1;
    if (image.format() == VIPS_FORMAT_UCHAR)
        image = image.cast(VIPS_FORMAT_USHORT).linear(257.0, 0.0).cast(VIPS_FORMAT_USHORT);
    cmsHPROFILE profile;
    if (loaded.get_typeof("icc-profile-data") != 0) {
        size_t length = 0;
        const void* bytes = loaded.get_blob("icc-profile-data", &length);
        profile = cmsOpenProfileFromMem(bytes, cmsUInt32Number(length));
    } else {
        profile = grey ? vivanto::srgbGreyProfile() : cmsCreate_sRGBProfile();
    }
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM transform = cmsCreateTransform(profile, grey ? TYPE_GRAY_16 : TYPE_RGB_16, lab,
                                                 TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(lab);
    cmsCloseProfile(profile);
    std::vector<std::array<double, 3>> patches;
    for (int p = 0; p < kPatches; ++p) {
        VImage centre = patchCentre(image, p).copy_memory();
        size_t size = 0;
        void* samples = centre.write_to_memory(&size);
        std::size_t pixels = std::size_t(centre.width()) * std::size_t(centre.height());
        std::vector<cmsCIELab> values(pixels);
        cmsDoTransform(transform, samples, values.data(), cmsUInt32Number(pixels));
        g_free(samples);
        std::array<double, 3> mean{0, 0, 0};
        for (const cmsCIELab& v : values) {
            mean[0] += v.L / double(pixels);
            mean[1] += v.a / double(pixels);
            mean[2] += v.b / double(pixels);
        }
        patches.push_back(mean);
    }
    cmsDeleteTransform(transform);
    return patches;
}

double largestChannelSpread(const std::string& path, int patch)
{
    VImage centre = patchCentre(colourBands(load(path)), patch);
    if (centre.bands() == 1)
        return 0;
    VImage r = centre.extract_band(0).cast(VIPS_FORMAT_INT),
           g = centre.extract_band(1).cast(VIPS_FORMAT_INT),
           b = centre.extract_band(2).cast(VIPS_FORMAT_INT);
    return std::max({(r - g).abs().max(), (g - b).abs().max(), (r - b).abs().max()});
}

} // namespace tool_test
