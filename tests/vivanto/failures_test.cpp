// Every way a file or the plug-in can fail: one line naming the file and the
// reason, a non-zero exit status, the rest of the batch still done, inputs
// untouched and no partial or temporary file left anywhere.
#include "case_name.h"
#include "tool_support.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace tool_test;
namespace fs = std::filesystem;

struct FailureCase {
    std::string name;
    // Puts the bad input (or situation) in place; returns the extra arguments.
    std::function<std::vector<std::string>(const ScratchFolder& in, const ScratchFolder& out)>
        arrange;
    int status;
    std::string message;      // the line on stderr, after "vivanto: "
    bool goodFileWritten;     // whether the good file of the batch comes out
    std::string outputFolder; // "" for the scratch output folder
};

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string truncated(const std::string& path, std::size_t keep)
{
    std::string bytes = bytesOf(path);
    return bytes.substr(0, keep);
}

void PrintTo(const FailureCase& row, std::ostream* out)
{
    *out << row.name;
}

class Failures : public testing::TestWithParam<FailureCase> {};

TEST_P(Failures, NameTheFileAndTheReasonAndLeaveNothingBehind)
{
    const FailureCase& c = GetParam();
    ScratchFolder in, out;
    PhotoRecipe recipe{};
    std::string good = in / "good.png";
    writePhoto(recipe, good);
    std::vector<std::string> arguments = c.arrange(in, out);
    auto inputsBefore = snapshot(in.path());
    auto outputsBefore = snapshot(out.path());

    arguments.insert(arguments.begin(), {"--rg", "40"});
    arguments.push_back(good);
    arguments.insert(arguments.end(),
                     {"-o", c.outputFolder.empty() ? out.path().string() : in / c.outputFolder});
    ToolRun run = runVivanto(arguments);

    EXPECT_EQ(run.status, c.status);
    std::string message = "vivanto: " + c.message;
    for (auto& [from, to] : std::map<std::string, std::string>{{"IN/", in.path().string() + "/"},
                                                               {"OUT/", out.path().string() + "/"}})
        for (std::size_t at; (at = message.find(from)) != std::string::npos;)
            message.replace(at, from.size(), to);
    EXPECT_NE(run.err.find(message + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(in.path()), inputsBefore) << "inputs must never change";
    auto outputs = snapshot(out.path());
    for (const auto& [name, bytes] : outputs)
        EXPECT_EQ(name.find(".vivanto-"), std::string::npos) << "temporary file left: " << name;
    if (c.goodFileWritten) {
        EXPECT_EQ(outputs.size(), outputsBefore.size() + (outputsBefore.count("good.png") ? 0 : 1));
        EXPECT_NE(outputs["good.png"], "") << "the rest of the batch must still be processed";
    } else {
        EXPECT_EQ(outputs, outputsBefore);
    }
}

std::vector<std::string> none(const ScratchFolder&, const ScratchFolder&)
{
    return {};
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, Failures,
    testing::Values(
        FailureCase{"missing_input",
                    [](auto& in, auto&) { return std::vector<std::string>{in / "gone.png"}; }, 1,
                    "IN/gone.png: no such file", true},
        FailureCase{"folder_as_input",
                    [](auto& in, auto&) {
                        fs::create_directory(in / "photos.png");
                        return std::vector<std::string>{in / "photos.png"};
                    },
                    1, "IN/photos.png: is a folder, not an image", true},
        FailureCase{
            "truncated_png",
            [](auto& in, auto&) {
                writeText(in / "cut.png", truncated(in / "good.png", 120));
                return std::vector<std::string>{in / "cut.png"};
            },
            1,
            "IN/cut.png: cannot decode (corrupt, truncated or not an image): vipspng: libpng read error",
            true},
        FailureCase{
            "not_an_image",
            [](auto& in, auto&) {
                writeText(in / "notes.jpg", "just some words\n");
                return std::vector<std::string>{in / "notes.jpg"};
            },
            1,
            "IN/notes.jpg: cannot decode (corrupt, truncated or not an image): not an image in any format libvips knows",
            true},
        FailureCase{"unsupported_format",
                    [](auto& in, auto&) {
                        load(in / "good.png").write_to_file((in / "good.ppm").c_str());
                        return std::vector<std::string>{in / "good.ppm"};
                    },
                    1, "IN/good.ppm: unsupported format (ppm): vivanto reads PNG, TIFF and JPEG",
                    true},
        FailureCase{"existing_output",
                    [](auto&, auto& out) {
                        writeText(out / "good.png", "an older result");
                        return std::vector<std::string>{};
                    },
                    1, "IN/good.png: OUT/good.png already exists (use --force to replace it)",
                    false},
        FailureCase{
            "same_name_twice_even_with_force",
            [](auto& in, auto&) {
                fs::create_directory(in / "other");
                fs::copy_file(in / "good.png", in / "other/good.png");
                return std::vector<std::string>{"--force", in / "other/good.png"};
            },
            1,
            "IN/good.png: OUT/good.png was written from IN/other/good.png in this run; rename one of the two",
            true},
        FailureCase{"output_would_replace_input", none, 1,
                    "IN/good.png: IN/./good.png is the input itself; inputs are never replaced",
                    false, "."},
        FailureCase{"missing_output_folder", none, 2, "IN/nowhere: output folder does not exist",
                    false, "nowhere"},
        FailureCase{
            "plugin_missing",
            [](auto& in, auto&) {
                return std::vector<std::string>{"--plugin", in / "none.so"};
            },
            2,
            "IN/none.so: cannot load the plug-in: IN/none.so: cannot open shared object file: No such file or directory",
            false},
        FailureCase{"plugin_without_an_entry_point",
                    [](auto&, auto&) {
                        return std::vector<std::string>{"--plugin", FAKE_PLUGIN_WITHOUT_UNREGISTER};
                    },
                    2,
                    FAKE_PLUGIN_WITHOUT_UNREGISTER
                    ": not a plug-in for this host: it has no entry point \"unRegisterPlugin\"",
                    false},
        FailureCase{"plugin_of_another_version",
                    [](auto&, auto&) {
                        return std::vector<std::string>{"--plugin", FAKE_PLUGIN_VERSION_6};
                    },
                    2,
                    FAKE_PLUGIN_VERSION_6 ": speaks plug-in interface version 6, this host needs 5",
                    false},
        FailureCase{
            "stage_refuses",
            [](auto& in, auto&) {
                load(in / "good.png").crop(0, 0, 7, 5).write_to_file((in / "narrow.png").c_str());
                return std::vector<std::string>{"--plugin", FAKE_PLUGIN_REFUSING_WIDTH_7,
                                                in / "narrow.png"};
            },
            1, "IN/narrow.png: the plug-in's stage refused the image (result -1)", true}),
    testing_support::CaseName());

TEST(Force, ReplacesAnExistingResult)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{}, in / "good.png");
    writeText(out / "good.png", "an older result");
    ToolRun run = runVivanto({"--rg", "40", "--force", in / "good.png", "-o", out.path().string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(load(out / "good.png").width(), 64);
}

TEST(Interrupt, StopsTheBatchKeepsNoOutputAndSaysSo)
{
    ScratchFolder in, out;
    writePhoto(PhotoRecipe{}, in / "a.png");
    writePhoto(PhotoRecipe{Kind::Tiff, 16}, in / "b.tif");
    auto inputsBefore = snapshot(in.path());
    // The fake stage raises SIGINT while working on row 3, as a user's Ctrl-C would.
    ToolRun run = runVivanto({"--plugin", FAKE_PLUGIN_INTERRUPTING, "--rg", "40", "--strip-rows",
                              "0", in / "a.png", in / "b.tif", "-o", out.path().string()});
    EXPECT_EQ(run.status, 130);
    EXPECT_NE(run.err.find("vivanto: interrupted; no partial output was kept\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("2 files: 0 done, 0 failed, interrupted with 2 not done"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(snapshot(out.path()).empty());
    EXPECT_EQ(snapshot(in.path()), inputsBefore);
}

} // namespace
