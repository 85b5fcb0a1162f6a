// The stage's arithmetic worked out a second way, independently of the
// plug-in's code, for the tests to compare against.
//
// The exact rule is computed with integers only: every value is held as an
// integer times a power of two, sums and products are formed exactly, and the
// rounding to single precision (ties to even) and the final round half up are
// done by hand. The plain single-precision rule is evaluated step by step
// through volatile floats, so no step can be fused or kept wider.
#pragma once

#include <cstdint>
#include <vector>

namespace oracle {

enum class Evaluation { Exact, PlainSingle };

// (clamp(slider, -100, 600) + 100) / 100, rounded to the nearest float.
float factor(int32_t slider);

uint16_t exactSample(uint16_t sample, int32_t slider);
uint16_t plainSample(uint16_t sample, int32_t slider);
uint16_t sample(Evaluation evaluation, uint16_t x, int32_t slider);

// What the stage must give for every sample 0..65535 at one slider value.
std::vector<uint16_t> table(Evaluation evaluation, int32_t slider);

// The evaluation this build of the plug-in was compiled for.
Evaluation builtEvaluation();

} // namespace oracle
