// The oracle's answer for every slider value -100..600 and every sample,
// worked out once per test process and shared by every exhaustive test.
#pragma once

#include "oracle.h"

#include <cstdint>
#include <vector>

namespace testing_support {

constexpr int32_t kSliderMin = -100;
constexpr int32_t kSliderMax = 600;

// [slider - kSliderMin][sample]
const std::vector<std::vector<uint16_t>>& oracleTables(oracle::Evaluation evaluation);

} // namespace testing_support
