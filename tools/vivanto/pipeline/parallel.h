// Runs `work(first, end)` over [0, count) cut into `threads` nearly equal
// ranges, one per thread, and waits for all of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace vivanto {

template <typename Work> void inParallel(std::size_t count, int threads, const Work& work)
{
    std::size_t parts = std::clamp<std::size_t>(std::size_t(std::max(threads, 1)), 1,
                                                std::max<std::size_t>(count, 1));
    std::vector<std::jthread> helpers;
    for (std::size_t part = 1; part < parts; ++part)
        helpers.emplace_back([&work, part, parts, count] {
            work(count * part / parts, count * (part + 1) / parts);
        });
    work(std::size_t{0}, count / parts);
}

} // namespace vivanto
