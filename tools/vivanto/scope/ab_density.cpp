#include "ab_density.h"

#include <algorithm>
#include <limits>

namespace vivanto {

namespace {

constexpr std::size_t kCells = std::size_t(kDensityBins) * std::size_t(kDensityBins);

} // namespace

// 32-bit counters keep a grid at 4 MB, so that a thread's counting stays
// mostly in cache; a grid is folded into 64-bit totals before any of them
// could overflow.
struct AbDensity::Grid {
    std::vector<uint32_t> cells = std::vector<uint32_t>(kCells, 0);
    uint64_t pixels = 0;
};

AbDensity::AbDensity() = default;
AbDensity::~AbDensity() = default;

AbDensity::Grid* AbDensity::takeGrid()
{
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
        Grid* grid = idle_.back();
        idle_.pop_back();
        return grid;
    }
    grids_.push_back(std::make_unique<Grid>());
    return grids_.back().get();
}

void AbDensity::giveBack(Grid* grid)
{
    std::lock_guard lock(mutex_);
    idle_.push_back(grid);
}

void AbDensity::add(const uint16_t* working, std::size_t pixels)
{
    constexpr uint64_t kLimit = std::numeric_limits<uint32_t>::max();
    Grid* grid = takeGrid();
    while (pixels > 0) {
        if (grid->pixels >= kLimit) {
            std::lock_guard lock(mutex_);
            folded_.resize(kCells, 0);
            for (std::size_t i = 0; i < kCells; ++i)
                folded_[i] += grid->cells[i];
            std::fill(grid->cells.begin(), grid->cells.end(), 0);
            grid->pixels = 0;
        }
        std::size_t now = std::min<uint64_t>(pixels, kLimit - grid->pixels);
        uint32_t* cells = grid->cells.data();
        for (std::size_t i = 0; i < now; ++i) {
            const uint16_t* pixel = working + i * 3;
            ++cells[std::size_t(binOf(pixel[2])) * kDensityBins + std::size_t(binOf(pixel[1]))];
        }
        grid->pixels += now;
        working += now * 3;
        pixels -= now;
    }
    giveBack(grid);
}

std::vector<uint64_t> AbDensity::counts() const
{
    std::lock_guard lock(mutex_);
    std::vector<uint64_t> sum = folded_;
    sum.resize(kCells, 0);
    for (const auto& grid : grids_)
        for (std::size_t i = 0; i < kCells; ++i)
            sum[i] += grid->cells[i];
    return sum;
}

uint64_t AbDensity::pixels() const
{
    std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (const auto& grid : grids_)
        total += grid->pixels;
    for (uint64_t count : folded_)
        total += count;
    return total;
}

void AbDensity::clear()
{
    std::lock_guard lock(mutex_);
    for (const auto& grid : grids_) {
        std::fill(grid->cells.begin(), grid->cells.end(), 0);
        grid->pixels = 0;
    }
    folded_.clear();
}

} // namespace vivanto
