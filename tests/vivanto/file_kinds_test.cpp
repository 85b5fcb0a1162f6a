// vivanto end to end on every kind of file it reads: the result keeps format,
// depth, bands, alpha and profile; lightness stays; the opponent axes are
// scaled by the sliders' factors; greys stay grey.
#include "case_name.h"
#include "tool_support.h"

#include <gtest/gtest.h>

namespace {

using namespace tool_test;

// Error allowed between measured L*, a*, b* and the expectation: the file's
// own quantisation (8-bit steps, JPEG) dwarfs the working encoding's.
double toleranceFor(const PhotoRecipe& recipe)
{
    if (recipe.kind == Kind::Jpeg)
        return 1.5;
    return recipe.bits == 16 ? 0.03 : 0.6;
}

class FileKinds : public testing::TestWithParam<PhotoRecipe> {};

TEST_P(FileKinds, KeepFormatLightnessAlphaProfileAndScaleChromaByTheSliders)
{
    const PhotoRecipe& recipe = GetParam();
    ScratchFolder in, out;
    std::string input = in / recipe.fileName();
    writePhoto(recipe, input);
    auto inputsBefore = snapshot(in.path());

    ToolRun run = runVivanto({"--rg", "40", "--by", "20", input, "-o", out.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(snapshot(in.path()), inputsBefore);
    std::string output = out / recipe.fileName();

    vips::VImage before = load(input), after = load(output);
    EXPECT_EQ(std::string(after.get_string("vips-loader")), before.get_string("vips-loader"));
    EXPECT_EQ(after.format(), before.format());
    EXPECT_EQ(after.bands(), before.bands());
    EXPECT_EQ(after.width(), before.width());
    EXPECT_EQ(after.height(), before.height());
    if (recipe.alpha) {
        vips::VImage alphaBefore = before.extract_band(before.bands() - 1).cast(VIPS_FORMAT_INT);
        vips::VImage alphaAfter = after.extract_band(after.bands() - 1).cast(VIPS_FORMAT_INT);
        EXPECT_EQ((alphaBefore - alphaAfter).abs().max(), 0.0) << "alpha must come back unchanged";
    }
    bool profileBefore = before.get_typeof("icc-profile-data") != 0;
    ASSERT_EQ(after.get_typeof("icc-profile-data") != 0, profileBefore);
    if (profileBefore) {
        size_t lengthBefore = 0, lengthAfter = 0;
        auto* a = static_cast<const char*>(before.get_blob("icc-profile-data", &lengthBefore));
        auto* b = static_cast<const char*>(after.get_blob("icc-profile-data", &lengthAfter));
        EXPECT_EQ(std::string(a, lengthBefore), std::string(b, lengthAfter))
            << "the profile must be kept";
    }

    double tolerance = toleranceFor(recipe);
    auto labBefore = patchLab(input), labAfter = patchLab(output);
    for (std::size_t p = 0; p < std::size_t(kPatches); ++p) {
        SCOPED_TRACE("patch " + std::to_string(p));
        EXPECT_NEAR(labAfter[p][0], labBefore[p][0], tolerance) << "lightness must be kept";
        EXPECT_NEAR(labAfter[p][1], 1.4 * labBefore[p][1], tolerance);
        EXPECT_NEAR(labAfter[p][2], 1.2 * labBefore[p][2], tolerance);
        if (isGreyPatch(int(p))) {
            EXPECT_LE(largestChannelSpread(output, int(p)),
                      recipe.kind == Kind::Jpeg || recipe.profile ? 1.0 : 0.0)
                << "greys must stay neutral";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, FileKinds,
                         testing::Values(PhotoRecipe{Kind::Png, 8, false, false, false},
                                         PhotoRecipe{Kind::Png, 16, false, false, false},
                                         PhotoRecipe{Kind::Png, 8, true, false, false},
                                         PhotoRecipe{Kind::Png, 16, true, true, false},
                                         PhotoRecipe{Kind::Png, 8, false, true, false},
                                         PhotoRecipe{Kind::Png, 16, false, true, true},
                                         PhotoRecipe{Kind::Tiff, 8, false, false, false},
                                         PhotoRecipe{Kind::Tiff, 16, false, false, false},
                                         PhotoRecipe{Kind::Tiff, 16, true, false, false},
                                         PhotoRecipe{Kind::Tiff, 8, false, true, true},
                                         PhotoRecipe{Kind::Jpeg, 8, false, false, false},
                                         PhotoRecipe{Kind::Jpeg, 8, true, false, false},
                                         PhotoRecipe{Kind::Jpeg, 8, false, false, true}),
                         [](const testing::TestParamInfo<PhotoRecipe>& row) {
                             return row.param.name();
                         });

} // namespace
