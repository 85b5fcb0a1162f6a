// Photos too large for memory: a PNG whose header claims 100000 x 100000
// pixels and whose rows stop after a few, and a valid photo whose working
// image alone would not fit in the memory vivanto may use. Neither may crash
// vivanto or exhaust memory: the first fails with one line naming it and
// leaves nothing behind, the second is processed in bounded memory.
#include "tool_support.h"

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <zlib.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VIVANTO_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VIVANTO_SANITIZED 1
#endif

namespace {

using namespace tool_test;
namespace fs = std::filesystem;

void putBigEndian(std::string& bytes, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += char((value >> shift) & 0xFF);
}

void putChunk(std::string& file, const char* type, const std::string& data)
{
    putBigEndian(file, uint32_t(data.size()));
    std::string typed = std::string(type, 4) + data;
    file += typed;
    putBigEndian(
        file, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()))));
}

// An 8-bit RGB PNG header for width x height, then `rows` valid rows (a
// colourful gradient) and nothing more: no end of the image data, no IEND.
std::string truncatedPng(uint32_t width, uint32_t height, uint32_t rows)
{
    std::string file = "\x89PNG\r\n\x1a\n";
    std::string header;
    putBigEndian(header, width);
    putBigEndian(header, height);
    header += std::string{8, 2, 0, 0, 0}; // 8 bits, RGB, deflate, no filter, no interlace
    putChunk(file, "IHDR", header);

    std::string raw;
    for (uint32_t y = 0; y < rows; ++y) {
        raw += '\0'; // filter: none
        for (uint32_t x = 0; x < width; ++x)
            raw += std::string{char(x % 251), char((x + 3 * y) % 241), char((x / 7 + y) % 239)};
    }
    std::string deflated(compressBound(uLong(raw.size())) + 64, '\0');
    z_stream stream{};
    deflateInit(&stream, 6);
    stream.next_in = reinterpret_cast<Bytef*>(raw.data());
    stream.avail_in = uInt(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(deflated.data());
    stream.avail_out = uInt(deflated.size());
    deflate(&stream, Z_SYNC_FLUSH); // every row decodable, the stream left open
    deflated.resize(deflated.size() - stream.avail_out);
    deflateEnd(&stream);
    putChunk(file, "IDAT", deflated);
    return file;
}

// The memory a run may take: a bound well below what the whole photo would
// need held at once; sanitizers add their own bookkeeping.
long allowedKiB(long wholeWorkingImageKiB)
{
#ifdef VIVANTO_SANITIZED
    return wholeWorkingImageKiB;
#else
    return wholeWorkingImageKiB / 2;
#endif
}

TEST(BadInput, AHeaderClaimingTenGigapixelsThenTruncatedFailsInBoundedMemory)
{
    ScratchFolder in, out;
    std::string huge = in / "huge.png", good = in / "good.png";
    std::ofstream(huge, std::ios::binary) << truncatedPng(100000, 100000, 40);
    writePhoto(PhotoRecipe{}, good);
    ToolRun run = runVivanto({"--rg", "40", huge, good, "-o", out.path().string()});

    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(
        run.err.find("vivanto: " + huge + ": cannot decode (corrupt, truncated or not an image): "),
        std::string::npos)
        << run.err;
    auto written = snapshot(out.path());
    EXPECT_EQ(written.size(), 1u) << "only the good photo's result, no partial or temporary file";
    EXPECT_TRUE(written.contains("good.png"));
    // The whole working image of 10^10 pixels would be 60 GB.
    EXPECT_LT(run.peakKiB, allowedKiB(600L * 1024)) << "peak memory, KiB";

    // One stage call over all of it would have to hold it whole: refused.
    ScratchFolder elsewhere;
    ToolRun once = runVivanto({"--strip-rows", "0", huge, "-o", elsewhere.path().string()});
    EXPECT_EQ(once.status, 1);
    EXPECT_NE(once.err.find("vivanto: " + huge
                            + ": too large for one stage call over the whole "
                              "photo (--strip-rows 0 would hold 90000 MB at once"),
              std::string::npos)
        << once.err;
    EXPECT_TRUE(snapshot(elsewhere.path()).empty());
}

TEST(BadInput, APhotoLargerThanMemoryAllowsIsProcessedInBoundedMemory)
{
    ScratchFolder in, out;
    const int width = 8000, height = 6000;
    std::string large = in / "large.png";
    vips::VImage xy = vips::VImage::xyz(width, height);
    ((xy.extract_band(0) + xy.extract_band(1) * 3) % 256)
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W))
        .pngsave(large.c_str(), vips::VImage::option()->set("compression", 1));

    ToolRun run = runVivanto({"--rg", "40", large, "-o", out.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    vips::VImage result = load(out / "large.png");
    EXPECT_EQ(result.width(), width);
    EXPECT_EQ(result.height(), height);
    EXPECT_EQ(result.bands(), 1);
    // Its working image alone is 48 MP x 6 bytes = 288 MB.
    long wholeWorkingKiB = long(width) * height * 6 / 1024;
    EXPECT_LT(run.peakKiB, allowedKiB(wholeWorkingKiB)) << "peak memory, KiB";
}

} // namespace
