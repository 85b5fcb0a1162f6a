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
