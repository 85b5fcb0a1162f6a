#include "exhaustive_tables.h"

#include <mutex>
#include <thread>

namespace testing_support {

namespace {

std::vector<std::vector<uint16_t>> build(oracle::Evaluation evaluation)
{
    std::vector<std::vector<uint16_t>> tables(kSliderMax - kSliderMin + 1);
    // Two workers: the tables cost as much as the tests that use them.
    auto work = [&](std::size_t first) {
        for (std::size_t i = first; i < tables.size(); i += 2)
            tables[i] = oracle::table(evaluation, static_cast<int32_t>(i) + kSliderMin);
    };
    std::thread helper(work, 1);
    work(0);
    helper.join();
    return tables;
}

} // namespace

const std::vector<std::vector<uint16_t>>& oracleTables(oracle::Evaluation evaluation)
{
    static std::once_flag exactOnce, plainOnce;
    // Both tables live as long as the process, and each is built once.
    // cppcheck-suppress variableScope
    static std::vector<std::vector<uint16_t>> exact, plain;
    if (evaluation == oracle::Evaluation::Exact) {
        std::call_once(exactOnce, [] { exact = build(oracle::Evaluation::Exact); });
        return exact;
    }
    std::call_once(plainOnce, [] { plain = build(oracle::Evaluation::PlainSingle); });
    return plain;
}

} // namespace testing_support
