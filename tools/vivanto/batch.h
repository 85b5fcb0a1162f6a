// One photo through the whole host: decode, convert to the working image,
// the plug-in's stage in strips, convert back, encode under a temporary name
// and rename into place; with the comparison, clipping report and timings
// when asked.
#pragma once

#include "command_line.h"
#include "progress.h"
#include "stage_host.h"

#include <map>
#include <string>

namespace vivanto {

enum class FileOutcome { Written, Failed, Interrupted };

struct Timings {
    double decode = 0, toWorking = 0, stage = 0, inHook = 0, fromWorking = 0, encode = 0;
};

// The results a batch has written so far, by the input each came from, so
// that two inputs of the same name never overwrite each other's result.
using ResultsWritten = std::map<std::string, std::string>;

FileOutcome processPhoto(StageHost& stage, const Request& request, const std::string& input,
                         Progress& progress, ResultsWritten& written);

} // namespace vivanto
