// What --stats says about one photo: as lines for the reader, or as one JSON
// object on one line for programs.
#pragma once

#include "gamut.h"
#include "gamut_stats.h"
#include "stats.h"

#include <cstdint>
#include <string>

namespace vivanto {

struct StatsReport {
    std::string file; // as given on the command line
    std::string name; // its file name, starting each line of text
    int outputBits = 8;
    GamutMode gamut = GamutMode::Clip;
    uint64_t outOfGamutAfter = 0; // with the settings as chosen, both sliders together
    GamutStats gamutStats;
    ClipStats clipping; // in the working encoding
};

// Lines of text, each ending in a newline.
std::string statsText(const StatsReport& report);
// One line of JSON, no newline; names that are not UTF-8 have their faulty
// bytes replaced (U+FFFD), as JSON holds text only.
std::string statsJson(const StatsReport& report);

} // namespace vivanto
