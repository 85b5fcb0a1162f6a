// The stage run in strips from several threads at once gives exactly the
// pixels of one call over the whole image: the plug-in keeps no state, and the
// host must hand every strip its own image and pipe record.
#include "tool_support.h"

#include <gtest/gtest.h>

namespace {

using namespace tool_test;

std::string resultOf(const std::string& input, const std::string& folder,
                     std::vector<std::string> plan)
{
    std::vector<std::string> arguments{"--rg", "300", "--by", "-40", input, "-o", folder};
    arguments.insert(arguments.end(), plan.begin(), plan.end());
    ToolRun run = runVivanto(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    return bytesOf(std::filesystem::path(folder) / "noise.tif");
}

TEST(VivantoStrips, EqualOneCallOverTheWholeImage)
{
    ScratchFolder in, once, strips, rowByRow;
    std::string input = in / "noise.tif";
    // Large enough that strips really overlap in time, so ThreadSanitizer
    // sees concurrent renders; odd sizes leave a short last strip.
    writeNoisePhoto(401, 299, input);

    std::string oneCall =
        resultOf(input, once.path().string(), {"--threads", "1", "--strip-rows", "0"});
    ASSERT_FALSE(oneCall.empty());
    EXPECT_NE(oneCall, bytesOf(input)) << "the stage must have changed something";
    EXPECT_EQ(resultOf(input, strips.path().string(), {"--threads", "4", "--strip-rows", "7"}),
              oneCall);
    EXPECT_EQ(resultOf(input, rowByRow.path().string(), {"--threads", "3", "--strip-rows", "1"}),
              oneCall);
}

} // namespace

// A batch runs photos side by side: each result must be what the photo gives
// alone, every one reported, and the summary must count them all.
TEST(VivantoConcurrent, PhotosSideBySideGiveWhatEachGivesAlone)
{
    ScratchFolder in, together, oneByOne;
    std::vector<std::string> inputs;
    const std::vector<PhotoRecipe> recipes{
        {Kind::Png, 8, false, false, false},   {Kind::Png, 16, false, true, false},
        {Kind::Tiff, 16, false, false, false}, {Kind::Tiff, 8, true, false, false},
        {Kind::Jpeg, 8, false, false, true},   {Kind::Png, 16, true, true, false}};
    for (const PhotoRecipe& recipe : recipes) {
        inputs.push_back(in / recipe.fileName());
        writePhoto(recipe, inputs.back());
    }
    inputs.push_back(in / "noise.tif");
    writeNoisePhoto(203, 117, inputs.back());

    auto runWith = [&](const std::string& threads, const ScratchFolder& out) {
        std::vector<std::string> arguments{"--rg", "80", "--by", "-30", "--threads", threads};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        arguments.insert(arguments.end(), {"-o", out.path().string()});
        ToolRun run = runVivanto(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("vivanto: 7 files: 7 done, 0 failed"), std::string::npos) << run.out;
        for (const std::string& input : inputs)
            EXPECT_NE(run.out.find(std::filesystem::path(input).filename().string() + " -> "),
                      std::string::npos)
                << run.out;
    };
    runWith("4", together);
    runWith("1", oneByOne);
    auto alone = snapshot(oneByOne.path());
    EXPECT_EQ(alone.size(), inputs.size());
    EXPECT_EQ(snapshot(together.path()), alone);
}
