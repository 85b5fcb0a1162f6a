// Runs the plug-in's stage over a working image the way an editor's render
// threads do: the image is cut into horizontal strips, each strip becomes its
// own host image (with a border of replicated edge pixels on both sides of
// every row) and its own pipe record, and several threads call the stage at
// once. The stage keeps no state, so this gives the same pixels as one call.
#pragma once

#include "stage_host.h"
#include "working_image.h"

#include <cstdint>
#include <functional>

namespace vivanto {

struct StripPlan {
    int threads = 1;
    int32_t rowsPerStrip = 0; // 0: the whole image in one strip
    int32_t border = 4;       // pixels on each side of every row
};

enum class StageResult { Done, Refused, Cancelled, HostRulesBroken };

struct StripRun {
    StageResult result = StageResult::Done;
    double hookSeconds = 0; // inside the plug-in's stage, summed over the threads
};

// Processes `image` in place. `stripDone` is called (from any thread) after
// each strip with the number of strips finished so far and the total.
StripRun runInStrips(StageHost& stage, WorkingImage& image, const StripPlan& plan,
                     HostBool* cancelFlag,
                     const std::function<void(int done, int total)>& stripDone = {});

} // namespace vivanto
