// What the user asked for, read from the command line.
#pragma once

#include "gamut.h"
#include "photo.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivanto {

// One settings edit, in the order given: a key the plug-in should define and
// the integer for it.
struct SettingEdit {
    std::string key;
    int32_t value = 0;
};

struct Request {
    std::vector<std::string> inputs;
    std::string outputFolder; // empty: write no results
    std::string pluginPath;   // empty: the plug-in built beside vivanto
    std::vector<SettingEdit> edits;
    std::optional<FileFormat> format; // default: the input's
    std::optional<int> bits;          // default: the input's
    int quality = 92;                 // JPEG
    bool force = false;
    std::string compareFile;
    std::string scopeFile; // the vectorscope, before and after (PNG)
    std::string aboutPage;
    bool listOptions = false;
    bool stats = false;
    bool json = false; // --stats as one JSON object per file on standard output
    GamutMode gamut = GamutMode::Clip;
    bool timings = false;
    bool help = false;
    int threads = 0;         // 0: one per processor
    int32_t stripRows = 256; // 0: the whole image in one call

    // `vivanto serve [PHOTO]`: the live preview page instead of a batch.
    bool serve = false;
    int port = 0;           // 0: any free port
    int previewSide = 1000; // longest side of the preview, in pixels
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws UsageError naming the argument at fault.
Request parseCommandLine(const std::vector<std::string>& arguments);

extern const char* const kUsage;

} // namespace vivanto
