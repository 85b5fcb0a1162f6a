#include "front.h"

#include "batch.h"
#include "command_line.h"
#include "output_file.h"
#include "photo.h"
#include "serve.h"
#include "stage_host.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vivanto {

namespace {

namespace fs = std::filesystem;

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

} // namespace

int runCommandLine(const std::vector<std::string>& arguments, const std::string& defaultPlugin)
{
    Request request = parseCommandLine(arguments);
    if (request.help || (arguments.empty())) {
        std::fputs(kUsage, request.help ? stdout : stderr);
        return request.help ? 0 : kExitUsage;
    }
    std::string pluginPath = request.pluginPath.empty() ? defaultPlugin : request.pluginPath;
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

} // namespace vivanto
