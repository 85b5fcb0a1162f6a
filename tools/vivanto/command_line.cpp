#include "command_line.h"

#include <charconv>
#include <limits>
#include <optional>

namespace vivanto {

const char* const kUsage = R"(usage: vivanto [options] INPUT... -o FOLDER
       vivanto serve [options] [PHOTO]

Runs the vivanto plug-in's colour stage on PNG, TIFF and JPEG photos, as the
editor would, and writes each result under the input's name into FOLDER.

Settings (each is one edit in the plug-in's settings panel, in the order given;
moving a slider while the switch is off turns the switch on):
  --rg N                 "Pop the reds and greens" (key vivanto_rg)
  --by N                 "Pop the blues and yellows." (key vivanto_by)
  --enable, --disable    the switch "Enable vivanto plugin" (key vivanto_enabled)
  --set KEY=VALUE        any option the plug-in defines (integers; switches 0 or 1)
  --list-options         show the plug-in's options and their values, then stop

Output:
  -o, --output FOLDER    folder for the results (must exist)
  --force                replace results that already exist
  --format png|tiff|jpeg write this format instead of the input's
  --depth 8|16           write this many bits per sample instead of the input's
  --quality N            JPEG quality, 1..100 (default 92)
  --compare FILE         also write before and after side by side (one input)
  --gamut clip|compress  how results outside the output's gamut come back: each
                         channel clamped (clip, the default), or chroma reduced at
                         the same lightness and hue onto the gamut's edge (compress)
  --scope FILE.png       also write the vectorscope: the a*b* plane before and after,
                         with the output's gamut at L* 25, 50 and 75 (one input)
  --stats                report pixels out of the output's gamut, before and after,
                         per colour axis, how far each slider can go, and clipping
                         in the working encoding (writes nothing without -o)
  --json                 with --stats: one JSON object per file on standard output
  --timings              report the photo's time and each step's, summed over the threads

Plug-in and host:
  --plugin PATH          load this plug-in library instead of the one built with vivanto
  --about PAGE           show the plug-in's About title and write its text to PAGE (HTML)
  --threads N            threads per photo, and photos at once (default: one per processor)
  --strip-rows N         at most N rows per stage call (default 256; 0: one call per photo)
  -h, --help

Live preview (vivanto serve): a page on http://127.0.0.1:PORT/ with the
plug-in's settings panel, before and after views of PHOTO (the built-in example
chart when none is given), marks on pixels out of sRGB's gamut, the gamut
choice (--gamut sets where it starts), the vectorscope, a full-size download and
the About box. Settings flags set the starting values; Ctrl-C stops the server.
  --port N               listen on this port (default: a free one, printed on start)
  --preview-size N       longest side of the preview in pixels (default 1000)

Exit status: 0 all done, 1 some file failed, 2 wrong usage or unusable plug-in,
130 interrupted.
)";

namespace {

int64_t parseInteger(const std::string& text, const std::string& what, int64_t low, int64_t high)
{
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw UsageError(what + ": \"" + text + "\" is not an integer");
    if (value < low || value > high)
        throw UsageError(what + ": " + text + " is out of range " + std::to_string(low) + ".."
                         + std::to_string(high));
    return value;
}

int32_t settingValue(const std::string& text, const std::string& key)
{
    return static_cast<int32_t>(parseInteger(text, key, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
}

FileFormat formatNamed(const std::string& name)
{
    if (name == "png")
        return FileFormat::Png;
    if (name == "tiff" || name == "tif")
        return FileFormat::Tiff;
    if (name == "jpeg" || name == "jpg")
        return FileFormat::Jpeg;
    throw UsageError("--format: \"" + name + "\" is not png, tiff or jpeg");
}

// The page writes nothing on its own (the full-size result is a download), so
// the batch's output flags would silently do nothing there.
void checkServeRequest(const Request& request)
{
    if (request.inputs.size() > 1)
        throw UsageError("serve: give at most one photo");
    bool batchOnly = !request.outputFolder.empty() || request.format || request.bits
        || request.force || !request.compareFile.empty() || !request.scopeFile.empty()
        || !request.aboutPage.empty() || request.listOptions || request.stats || request.timings
        || request.json;
    if (batchOnly)
        throw UsageError("serve: -o, --format, --depth, --force, --compare, --scope, --about, "
                         "--list-options, --stats, --json and --timings are for "
                         "batches; the page offers the result as a download");
}

// The scope is one photo's; and it is a plot, not a photo, so PNG only.
void checkScopeRequest(const Request& request)
{
    if (request.scopeFile.empty())
        return;
    if (request.inputs.size() != 1)
        throw UsageError("--scope needs exactly one input");
    bool png = false;
    try {
        png = formatOfName(request.scopeFile) == FileFormat::Png;
    } catch (const PhotoError&) {
        // any other suffix
    }
    if (!png)
        throw UsageError("--scope: \"" + request.scopeFile + "\" is not a .png file name");
}

} // namespace

Request parseCommandLine(const std::vector<std::string>& arguments)
{
    Request request;
    // A photo that is really named "serve" is given as ./serve.
    request.serve = !arguments.empty() && arguments.front() == "serve";
    for (std::size_t i = request.serve ? 1 : 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size())
                throw UsageError(argument + " needs a value");
            return arguments[++i];
        };
        if (argument == "-h" || argument == "--help")
            request.help = true;
        else if (argument == "-o" || argument == "--output")
            request.outputFolder = value();
        else if (argument == "--plugin")
            request.pluginPath = value();
        else if (argument == "--rg")
            request.edits.push_back({"vivanto_rg", settingValue(value(), "--rg")});
        else if (argument == "--by")
            request.edits.push_back({"vivanto_by", settingValue(value(), "--by")});
        else if (argument == "--enable")
            request.edits.push_back({"vivanto_enabled", 1});
        else if (argument == "--disable")
            request.edits.push_back({"vivanto_enabled", 0});
        else if (argument == "--set") {
            const std::string& pair = value();
            std::size_t equals = pair.find('=');
            if (equals == std::string::npos || equals == 0)
                throw UsageError("--set: \"" + pair + "\" is not KEY=VALUE");
            std::string key = pair.substr(0, equals);
            request.edits.push_back({key, settingValue(pair.substr(equals + 1), key)});
        } else if (argument == "--list-options")
            request.listOptions = true;
        else if (argument == "--force")
            request.force = true;
        else if (argument == "--format")
            request.format = formatNamed(value());
        else if (argument == "--depth") {
            int64_t bits = parseInteger(value(), "--depth", 8, 16);
            if (bits != 8 && bits != 16)
                throw UsageError("--depth: give 8 or 16");
            request.bits = static_cast<int>(bits);
        } else if (argument == "--quality")
            request.quality = static_cast<int>(parseInteger(value(), "--quality", 1, 100));
        else if (argument == "--compare")
            request.compareFile = value();
        else if (argument == "--scope")
            request.scopeFile = value();
        else if (argument == "--about")
            request.aboutPage = value();
        else if (argument == "--stats")
            request.stats = true;
        else if (argument == "--json")
            request.json = true;
        else if (argument == "--gamut") {
            const std::string& name = value();
            std::optional<GamutMode> mode = gamutModeNamed(name);
            if (!mode)
                throw UsageError("--gamut: \"" + name + "\" is not clip or compress");
            request.gamut = *mode;
        } else if (argument == "--timings")
            request.timings = true;
        else if (argument == "--threads")
            request.threads = static_cast<int>(parseInteger(value(), "--threads", 1, 256));
        else if (argument == "--strip-rows")
            request.stripRows =
                static_cast<int32_t>(parseInteger(value(), "--strip-rows", 0, 1 << 30));
        else if (argument == "--port" && request.serve)
            request.port = static_cast<int>(parseInteger(value(), "--port", 0, 65535));
        else if (argument == "--preview-size" && request.serve)
            request.previewSide =
                static_cast<int>(parseInteger(value(), "--preview-size", 16, 8192));
        else if (argument.size() > 1 && argument[0] == '-')
            throw UsageError("unknown option " + argument + " (see --help)");
        else
            request.inputs.push_back(argument);
    }
    if (request.serve) {
        checkServeRequest(request);
        return request;
    }
    if (request.format == FileFormat::Jpeg && request.bits == 16)
        throw UsageError("--depth 16: JPEG holds 8-bit samples only");
    if (request.json && !request.stats)
        throw UsageError("--json goes with --stats");
    if (!request.compareFile.empty() && request.inputs.size() != 1)
        throw UsageError("--compare needs exactly one input");
    checkScopeRequest(request);
    bool actsOnPhotos = !request.outputFolder.empty() || request.stats
        || !request.compareFile.empty() || !request.scopeFile.empty();
    if (!request.inputs.empty() && !actsOnPhotos)
        throw UsageError(
            "say where the results go: -o FOLDER (or ask for --stats, --compare or --scope)");
    return request;
}

} // namespace vivanto
