// vivanto --stats end to end: with --json, one object per photo on one line of
// standard output and nothing else there, names escaped whatever they hold;
// its figures against an independent count (LittleCMS in double precision on
// the decoded photo, the plug-in's own response to each sample), the largest
// slider value checked against its definition; a photo whose profile cannot
// convert fails alone; and the flags' usage errors.
#include "gamut_oracle.h"
#include "stage_host.h"
#include "stats.h"
#include "tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

using gamut_test::Oracle;
using gamut_test::Profile;
using tool_test::runVivanto;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Pixels out of sRGB's gamut (by more than half a code) with the sliders at
// `rg` and `by`, counted independently.
class IndependentCount {
public:
    explicit IndependentCount(const std::string& path)
        : stage_(SERVE_TEST_PLUGIN)
        , oracle_(Profile::Srgb)
        , device_(gamut_test::devicePixels(tool_test::load(path), 8, 3))
    {
    }
    uint64_t operator()(int32_t rg, int32_t by)
    {
        auto results =
            gamut_test::expectedResults(oracle_, device_, vivanto::stageResponses(stage_, rg, by));
        return uint64_t(std::count_if(results.begin(), results.end(), [&](const auto& result) {
            return oracle_.outside(result.data(), 0.5 / 255.0);
        }));
    }
    uint64_t pixels() const { return device_.size(); }

private:
    vivanto::StageHost stage_;
    Oracle oracle_;
    std::vector<gamut_test::Colour> device_;
};

// A TIFF whose embedded profile is whatever `profile` holds: TIFF keeps it
// as it is (PNG's saver drops a profile that does not suit the image).
void writeWithProfile(const std::string& path, const std::vector<unsigned char>& profile)
{
    tool_test::writePhoto({tool_test::Kind::Tiff, 8}, path);
    vips::VImage image = tool_test::load(path).copy_memory();
    image.set("icc-profile-data", nullptr, const_cast<unsigned char*>(profile.data()),
              profile.size());
    std::filesystem::remove(path);
    image.tiffsave(path.c_str());
}

TEST(VivantoStatsJson, OneEscapedObjectPerPhotoWithFiguresAsCountedIndependently)
{
    vivanto::startImageLibrary("vivanto_tests");
    tool_test::ScratchFolder folder;
    const std::string odd = folder / "odd \"name\" \\ \u00fc.png";
    const std::string notUtf8 = folder / "bytes \xff\xfe.png";
    const std::string greyProfiled = folder / "grey profile.tif";
    tool_test::writePhoto({tool_test::Kind::Png, 8}, odd);
    std::filesystem::copy_file(odd, notUtf8);
    cmsHPROFILE grey = vivanto::srgbGreyProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(grey, nullptr, &size);
    std::vector<unsigned char> greyBytes(size);
    cmsSaveProfileToMem(grey, greyBytes.data(), &size);
    cmsCloseProfile(grey);
    writeWithProfile(greyProfiled, greyBytes);

    tool_test::ToolRun run = runVivanto({"--stats", "--json", "--rg", "100", "--by", "80",
                                         "--threads", "1", odd, greyProfiled, notUtf8});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("grey profile.tif"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not for RGB"), std::string::npos) << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 2U) << "one line per photo that could be measured, nothing else:\n"
                                << run.out;
    nlohmann::json first = nlohmann::json::parse(lines[0]);
    nlohmann::json second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(first["file"], odd);
    EXPECT_EQ(second["file"], folder / "bytes \xef\xbf\xbd\xef\xbf\xbd.png");

    IndependentCount count(odd);
    const uint64_t pixels = count.pixels();
    for (const nlohmann::json& object : {first, second}) {
        EXPECT_EQ(object["pixels"], pixels);
        EXPECT_EQ(object["outOfGamutBefore"], 0);
        EXPECT_EQ(object["clippedOnTheWayIn"], 0);
        EXPECT_EQ(object["outOfGamutPixels"], count(100, 80));
        EXPECT_TRUE(object["enabled"].get<bool>());
        ASSERT_EQ(object["axes"].size(), 2U);
        for (std::size_t axis = 0; axis < 2; ++axis) {
            const nlohmann::json& a = object["axes"][axis];
            auto alone = [&](int32_t value) {
                return axis == 0 ? count(value, 0) : count(0, value);
            };
            EXPECT_EQ(a["key"], axis == 0 ? "vivanto_rg" : "vivanto_by");
            EXPECT_EQ(a["value"], axis == 0 ? 100 : 80);
            EXPECT_EQ(a["outOfGamutPixels"], alone(axis == 0 ? 100 : 80));
            EXPECT_TRUE(a["workingClippedSamples"].is_number());
            ASSERT_TRUE(a["largestUnder0.1Percent"].is_number()) << a;
            auto largest = a["largestUnder0.1Percent"].get<int32_t>();
            EXPECT_LT(double(alone(largest)), 0.001 * double(pixels)) << "at " << largest;
            if (largest < vivanto::kHighestSlider) {
                EXPECT_GE(double(alone(largest + 1)), 0.001 * double(pixels))
                    << "at " << largest + 1;
            }
            EXPECT_GT(largest, 0) << "moderate colours go some way before leaving sRGB";
        }
    }
}

TEST(VivantoStatsJson, TextReportNamesTheGamutFiguresFirst)
{
    tool_test::ScratchFolder folder;
    std::string photo = folder / "patches.png";
    tool_test::writePhoto({tool_test::Kind::Png, 16, false, false, true}, photo);
    tool_test::ToolRun run = runVivanto({"--stats", "--rg", "40", "--by", "35", photo});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    ASSERT_NE(at("out of the output's gamut"), lines.end()) << run.out;
    EXPECT_NE(at("0 of 3072 pixels before"), lines.end()) << run.out;
    ASSERT_NE(at("clipped on the way in"), lines.end()) << run.out;
    ASSERT_NE(at("samples clipped at 0 or 65535"), lines.end()) << run.out;
    EXPECT_LT(at("out of the output's gamut"), at("samples clipped at 0 or 65535"));
}

struct UsageCase {
    std::vector<std::string> arguments;
    std::string named; // what the message must name
};

TEST(VivantoStatsJson, WrongGamutAndJsonFlagsAreUsageErrors)
{
    const UsageCase cases[] = {
        {{"--gamut", "squeeze", "--stats", "x.png"}, "squeeze"},
        {{"--gamut"}, "--gamut needs a value"},
        {{"--json", "x.png", "-o", "."}, "--json goes with --stats"},
        {{"serve", "--gamut", "squeeze"}, "squeeze"},
    };
    for (const UsageCase& c : cases) {
        tool_test::ToolRun run = runVivanto(c.arguments);
        EXPECT_EQ(run.status, 2) << c.named;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    }
}

TEST(VivantoStatsJson, CompressWritesOtherColoursThanClipOnlyWhereOutOfGamut)
{
    tool_test::ScratchFolder folder;
    std::string photo = folder / "patches.png";
    tool_test::writePhoto({tool_test::Kind::Png, 8}, photo);
    std::filesystem::create_directory(folder / "clip");
    std::filesystem::create_directory(folder / "compress");
    for (const char* mode : {"clip", "compress"}) {
        tool_test::ToolRun run =
            runVivanto({"--rg", "400", "--by", "300", "--gamut", mode, photo, "-o", folder / mode});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    std::string clipPath = folder / "clip/patches.png",
                compressPath = folder / "compress/patches.png";
    EXPECT_NE(tool_test::bytesOf(clipPath), tool_test::bytesOf(compressPath));
    for (int patch = 0; patch < tool_test::kPatches; ++patch) {
        if (tool_test::isGreyPatch(patch)) {
            EXPECT_EQ(tool_test::largestChannelSpread(compressPath, patch), 0.0) << patch;
        }
    }
}

} // namespace
