// Photos in and out through libvips: PNG, TIFF and JPEG, 8 or 16 bits per
// sample, RGB or grey, with or without alpha, with or without an embedded ICC
// profile. The way between a photo and the working image is a chain's (chain.h).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

namespace vivanto {

enum class FileFormat { Png, Tiff, Jpeg };

// Why a file cannot be read, converted or written, in words for the user.
struct PhotoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Photo {
    FileFormat format = FileFormat::Png;
    int bits = 8;      // per sample: 8 or 16
    bool grey = false; // one colour band instead of three
    bool hasAlpha = false;
    std::vector<unsigned char> profile; // the embedded ICC profile; empty when there is none
    vips::VImage image;                 // every band as decoded: on demand, or held in memory
};

// Starts libvips; throws PhotoError when it cannot.
void startImageLibrary(const char* programName);

// Opens the file and reads its header; the pixels are decoded on demand, top
// to bottom, once (sequential access), so a photo is read while it flows
// through a chain. Throws PhotoError for a missing, unreadable or unsupported
// file; a file corrupt or truncated past its header fails when its pixels
// are read. With `randomAccess`, any part may be read in any order instead
// (what a crop of a photo needs): libvips reads tiles or strips of a TIFF as
// they are asked for, and decodes other formats whole on first use and keeps
// them for as long as the image lives.
Photo openPhoto(const std::string& path, bool randomAccess = false);

// libvips' error message for the user (its first line), with its error
// buffer cleared for the next one.
std::string libraryMessage(const vips::VError& error);
std::string libraryMessage(const std::string& message);

// The interpretation and band format of a photo's kind at `bits` per sample.
VipsInterpretation interpretationOf(bool grey, int bits);
VipsBandFormat bandFormatOf(int bits);

// Header fields of a loader's notes on how the input stored its samples (a
// palette, fewer bits), which a result does not share.
const std::vector<std::string>& loaderOnlyFields();

// `image` (the photo's kind, with alpha) over a white background, alpha removed.
vips::VImage flattenedOnWhite(const vips::VImage& image, const Photo& photo);

// Writes `image` to `path` in `format`; `quality` applies to JPEG.
void encodePhoto(const vips::VImage& image, const std::string& path, FileFormat format,
                 int quality);

// The same encoding held in memory, for a result that is sent rather than
// saved; PNG at `pngCompression` (zlib's 0..9; 6 is libvips' own choice).
std::vector<unsigned char> encodedPhoto(const vips::VImage& image, FileFormat format, int quality,
                                        int pngCompression = 6);

// `image` (the photo's kind, as fromWorking makes it) for the eye: sRGB at 8
// bits, transparency over white.
vips::VImage forDisplay(const vips::VImage& image, const Photo& photo);

// Before and after side by side, on sRGB at 8 bits, transparency over white.
vips::VImage sideBySide(const Photo& before, const vips::VImage& after);

// The format a file name's suffix asks for; throws PhotoError for any other suffix.
FileFormat formatOfName(const std::string& path);
std::string suffixOf(FileFormat format);
std::string nameOf(FileFormat format);
std::string mimeTypeOf(FileFormat format);

} // namespace vivanto
