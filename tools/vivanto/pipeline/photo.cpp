#include "photo.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vivanto {

using vips::VImage;

namespace {

constexpr const char* kProfileField = "icc-profile-data";

// libvips also prints warnings of its own (a truncated file warns before it
// fails); the one line per file we print says all the user needs.
void quietWarning(const gchar*, GLogLevelFlags, const gchar*, gpointer)
{
}

void checkReadable(const std::string& path)
{
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        throw PhotoError("no such file");
    if (std::filesystem::is_directory(status))
        throw PhotoError("is a folder, not an image");
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        throw PhotoError(std::string("cannot be read: ") + std::strerror(errno));
}

FileFormat formatOfLoader(const std::string& loader)
{
    if (loader.starts_with("png"))
        return FileFormat::Png;
    if (loader.starts_with("tiff"))
        return FileFormat::Tiff;
    if (loader.starts_with("jpeg"))
        return FileFormat::Jpeg;
    std::string kind = loader.substr(0, loader.find("load"));
    throw PhotoError("unsupported format (" + kind + "): vivanto reads PNG, TIFF and JPEG");
}

} // namespace

std::string libraryMessage(const std::string& message)
{
    std::string text = message;
    if (text.find("is not a known file format") != std::string::npos)
        return "not an image in any format libvips knows";
    text.resize(std::min(text.size(), text.find('\n')));
    return text.empty() ? "unknown error" : text;
}

std::string libraryMessage(const vips::VError& error)
{
    std::string text = error.what();
    vips_error_clear();
    return libraryMessage(text);
}

VipsInterpretation interpretationOf(bool grey, int bits)
{
    if (grey)
        return bits == 16 ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
    return bits == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB;
}

VipsBandFormat bandFormatOf(int bits)
{
    return bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR;
}

const std::vector<std::string>& loaderOnlyFields()
{
    static const std::vector<std::string> fields{"vips-loader", "bits-per-sample",
                                                 "palette-bit-depth"};
    return fields;
}

void startImageLibrary(const char* programName)
{
    if (VIPS_INIT(programName) != 0)
        throw PhotoError("cannot start libvips: " + std::string(vips_error_buffer()));
    g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, quietWarning, nullptr);
    // Every photo is opened, run once and let go: cached operations would
    // only hold on to decoders and their buffers across a batch.
    vips_cache_set_max(0);
}

Photo openPhoto(const std::string& path, bool randomAccess)
{
    checkReadable(path);
    Photo photo;
    try {
        VImage header = VImage::new_from_file(
            path.c_str(),
            VImage::option()
                ->set("access", randomAccess ? VIPS_ACCESS_RANDOM : VIPS_ACCESS_SEQUENTIAL)
                ->set("fail_on", VIPS_FAIL_ON_ERROR));
        photo.format = formatOfLoader(header.get_string("vips-loader"));
        if (header.format() != VIPS_FORMAT_UCHAR && header.format() != VIPS_FORMAT_USHORT)
            throw PhotoError("unsupported sample type: vivanto reads 8- and 16-bit samples");
        int bands = header.bands();
        if (bands < 1 || bands > 4)
            throw PhotoError("unsupported: " + std::to_string(bands) + " bands");
        if (header.interpretation() == VIPS_INTERPRETATION_CMYK)
            throw PhotoError("unsupported colour space: CMYK");
        photo.bits = header.format() == VIPS_FORMAT_USHORT ? 16 : 8;
        photo.grey = bands <= 2;
        photo.hasAlpha = bands == 2 || bands == 4;
        if (header.get_typeof(kProfileField) != 0) {
            size_t length = 0;
            auto data = static_cast<const unsigned char*>(header.get_blob(kProfileField, &length));
            photo.profile.assign(data, data + length);
        }
        photo.image = header;
    } catch (const vips::VError& error) {
        throw PhotoError("cannot decode (corrupt, truncated or not an image): "
                         + libraryMessage(error));
    }
    return photo;
}

void encodePhoto(const VImage& image, const std::string& path, FileFormat format, int quality)
{
    try {
        vips::VOption* options = VImage::option();
        switch (format) {
        case FileFormat::Png:
            image.pngsave(path.c_str(), options);
            break;
        case FileFormat::Tiff:
            image.tiffsave(path.c_str(), options);
            break;
        case FileFormat::Jpeg:
            image.jpegsave(path.c_str(), options->set("Q", quality));
            break;
        }
    } catch (const vips::VError& error) {
        throw PhotoError("cannot write: " + libraryMessage(error));
    }
}

VImage flattenedOnWhite(const VImage& image, const Photo& photo)
{
    int bits = image.format() == VIPS_FORMAT_USHORT ? 16 : 8;
    double white = bits == 16 ? 65535.0 : 255.0;
    try {
        return image
            .flatten(VImage::option()
                         ->set("background", std::vector<double>{white})
                         ->set("max_alpha", white))
            .cast(bandFormatOf(bits))
            .copy(VImage::option()->set("interpretation", interpretationOf(photo.grey, bits)));
    } catch (const vips::VError& error) {
        throw PhotoError("cannot flatten the transparency: " + libraryMessage(error));
    }
}

std::vector<unsigned char> encodedPhoto(const VImage& image, FileFormat format, int quality,
                                        int pngCompression)
{
    void* data = nullptr;
    size_t size = 0;
    try {
        vips::VOption* options = VImage::option();
        if (format == FileFormat::Jpeg)
            options->set("Q", quality);
        if (format == FileFormat::Png)
            options->set("compression", pngCompression);
        image.write_to_buffer(suffixOf(format).c_str(), &data, &size, options);
    } catch (const vips::VError& error) {
        throw PhotoError("cannot encode: " + libraryMessage(error));
    }
    std::vector<unsigned char> bytes(static_cast<unsigned char*>(data),
                                     static_cast<unsigned char*>(data) + size);
    g_free(data);
    return bytes;
}

VImage forDisplay(const VImage& image, const Photo& photo)
{
    int bits = image.format() == VIPS_FORMAT_USHORT ? 16 : 8;
    bool alpha = image.bands() == (photo.grey ? 2 : 4); // gone already from a JPEG result
    VImage shown = alpha ? flattenedOnWhite(image, photo) : image;
    shown = shown.copy(VImage::option()->set("interpretation", interpretationOf(photo.grey, bits)));
    if (!photo.profile.empty()) // for the eye only: 8-bit display precision is enough
        return shown.icc_transform("srgb",
                                   VImage::option()
                                       ->set("embedded", true)
                                       ->set("depth", 8)
                                       ->set("intent", VIPS_INTENT_RELATIVE));
    return shown.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
}

VImage sideBySide(const Photo& before, const VImage& after)
{
    try {
        return forDisplay(before.image, before)
            .join(forDisplay(after, before), VIPS_DIRECTION_HORIZONTAL,
                  VImage::option()
                      ->set("shim", 16)
                      ->set("background", std::vector<double>{128.0})
                      ->set("expand", true))
            .copy_memory();
    } catch (const vips::VError& error) {
        throw PhotoError("cannot make the comparison: " + libraryMessage(error));
    }
}

FileFormat formatOfName(const std::string& path)
{
    std::string suffix = std::filesystem::path(path).extension().string();
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (suffix == ".png")
        return FileFormat::Png;
    if (suffix == ".tif" || suffix == ".tiff")
        return FileFormat::Tiff;
    if (suffix == ".jpg" || suffix == ".jpeg")
        return FileFormat::Jpeg;
    throw PhotoError("name it .png, .tif or .jpg so that the format is clear");
}

namespace {

struct FormatNames {
    const char* suffix;
    const char* name;
    const char* mimeType;
};

// In the order of FileFormat.
constexpr std::array<FormatNames, 3> kFormatNames{{
    {".png", "png", "image/png"},
    {".tif", "tiff", "image/tiff"},
    {".jpg", "jpeg", "image/jpeg"},
}};

const FormatNames& namesOf(FileFormat format)
{
    return kFormatNames.at(static_cast<std::size_t>(format));
}

} // namespace

std::string suffixOf(FileFormat format)
{
    return namesOf(format).suffix;
}

std::string nameOf(FileFormat format)
{
    return namesOf(format).name;
}

std::string mimeTypeOf(FileFormat format)
{
    return namesOf(format).mimeType;
}

} // namespace vivanto
