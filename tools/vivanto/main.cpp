// vivanto: a command-line host for the vivanto plug-in. Loads the plug-in as
// the editor does, applies the user's settings through the plug-in's own
// settings hooks and runs its stage on photos, or serves a live preview page.
#include "batch.h"
#include "cancel.h"
#include "command_line.h"
#include "output_file.h"
#include "photo.h"
#include "progress.h"
#include "serve.h"
#include "stage_host.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace vivanto;

constexpr int kExitFileFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// The plug-in beside vivanto, else where an installed vivanto keeps it, else
// the one this build made; all found from vivanto's own path, so an unpacked
// package or a moved build tree works from any folder.
std::string defaultPluginPath()
{
    std::error_code ec;
    fs::path here = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (const char* relative : {VIVANTO_PLUGIN_NAME, VIVANTO_PLUGIN_FROM_INSTALLED_TOOL}) {
        fs::path candidate = (here / relative).lexically_normal();
        if (fs::exists(candidate, ec))
            return candidate.string();
    }
    return (here / VIVANTO_PLUGIN_FROM_TOOL).lexically_normal().string();
}

std::string kindName(standin::OptionKind kind)
{
    return kind == standin::OptionKind::Bool ? "switch" : "integer";
}

void listOptions(StageHost& stage)
{
    std::printf("%-18s %-8s %8s %8s  %s\n", "key", "kind", "default", "value", "label");
    for (const standin::Option& option : stage.options())
        std::printf("%-18s %-8s %8d %8d  \"%s\"\n", option.key.c_str(),
                    kindName(option.kind).c_str(), option.defaultValue, option.value,
                    option.label.c_str());
}

std::string escapedHtml(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void writeAboutPage(StageHost& stage, const Request& request)
{
    AboutText about = stage.about();
    std::printf("%s\n", about.title.c_str());
    OutputFile page(request.aboutPage);
    {
        std::ofstream out(page.temporaryPath(), std::ios::binary);
        out << "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>"
            << escapedHtml(about.title) << "</title>\n</head>\n<body>\n"
            << about.htmlBody << "\n</body>\n</html>\n";
        if (!out.flush())
            throw std::runtime_error(request.aboutPage + ": cannot be written");
    }
    try {
        page.commit(request.force);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(request.aboutPage + " " + error.what());
    }
    std::printf("About text written to %s\n", request.aboutPage.c_str());
}

void noteIfSwitchedOff(StageHost& stage)
{
    for (const standin::Option& option : stage.options())
        if (option.key == "vivanto_enabled" && option.value == 0)
            std::printf("note: \"%s\" is off, so the stage leaves colours as they are; "
                        "turn it on with --enable or move a slider (--rg, --by)\n",
                        option.label.c_str());
}

void checkOutputFolder(const Request& request)
{
    if (request.outputFolder.empty())
        return;
    std::error_code ec;
    if (!fs::is_directory(request.outputFolder, ec))
        throw UsageError(request.outputFolder + ": output folder does not exist");
}

int runBatch(StageHost& stage, const Request& request)
{
    catchInterrupts();
    auto started = std::chrono::steady_clock::now();
    Progress progress(static_cast<int>(request.inputs.size()), isatty(STDERR_FILENO) != 0);
    int written = 0, failed = 0;
    bool interrupted = false;
    ResultsWritten results;
    for (std::size_t i = 0; i < request.inputs.size() && !interrupted; ++i) {
        progress.startFile(static_cast<int>(i + 1), request.inputs[i]);
        switch (processPhoto(stage, request, request.inputs[i], progress, results)) {
        case FileOutcome::Written:
            ++written;
            break;
        case FileOutcome::Failed:
            ++failed;
            break;
        case FileOutcome::Interrupted:
            interrupted = true;
            break;
        }
    }
    progress.finish();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::size_t notStarted = request.inputs.size() - std::size_t(written + failed);
    std::printf("vivanto: %zu file%s: %d done, %d failed%s (%.1f s)\n", request.inputs.size(),
                request.inputs.size() == 1 ? "" : "s", written, failed,
                interrupted
                    ? (", interrupted with " + std::to_string(notStarted) + " not done").c_str()
                    : "",
                seconds);
    if (interrupted) {
        std::fprintf(stderr, "vivanto: interrupted; no partial output was kept\n");
        return kExitInterrupted;
    }
    return failed > 0 ? kExitFileFailed : 0;
}

int run(const std::vector<std::string>& arguments)
{
    Request request = parseCommandLine(arguments);
    if (request.help || (arguments.empty())) {
        std::fputs(kUsage, request.help ? stdout : stderr);
        return request.help ? 0 : kExitUsage;
    }
    std::string pluginPath = request.pluginPath.empty() ? defaultPluginPath() : request.pluginPath;
    if (request.serve)
        return runServe(request, pluginPath);
    checkOutputFolder(request);
    startImageLibrary("vivanto");
    StageHost stage(pluginPath);
    for (const SettingEdit& edit : request.edits)
        stage.edit(edit.key, edit.value);
    if (request.listOptions)
        listOptions(stage);
    if (!request.aboutPage.empty())
        writeAboutPage(stage, request);
    if (request.inputs.empty()) {
        if (request.listOptions || !request.aboutPage.empty())
            return 0;
        throw UsageError("no input photos given (see --help)");
    }
    noteIfSwitchedOff(stage);
    return runBatch(stage, request);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        return run(arguments);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vivanto: %s\n", error.what());
        return kExitUsage;
    }
}
