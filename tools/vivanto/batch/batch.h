// A batch: every photo the user named through its own chain (see chain.h),
// several photos at once where one cannot keep every core busy, with a
// progress bar or lines, one line per result, and a summary. It only sets
// chains up, names their results and reports on them.
#pragma once

#include "command_line.h"
#include "stage_host.h"

namespace vivanto {

inline constexpr int kExitFileFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Runs the batch `request` names with the plug-in `stage` as its settings
// stand; returns the exit status (0, kExitFileFailed or kExitInterrupted).
int runBatch(StageHost& stage, const Request& request);

} // namespace vivanto
