#include "ab_density.h"

#include <algorithm>
#include <limits>

namespace vivanto {

namespace {

constexpr std::size_t kCells = std::size_t(kDensityBins) * std::size_t(kDensityBins);

} // namespace

namespace {

template <typename Grid> void countInto(Grid& grid, const uint16_t* working, std::size_t pixels)
{
    uint32_t* cells = grid.cells.data();
    int firstRow = grid.firstRow, lastRow = grid.lastRow;
    int firstColumn = grid.firstColumn, lastColumn = grid.lastColumn;
    for (std::size_t i = 0; i < pixels; ++i) {
        const uint16_t* pixel = working + i * 3;
        int row = AbDensity::binOf(pixel[2]), column = AbDensity::binOf(pixel[1]);
        ++cells[std::size_t(row) * kDensityBins + std::size_t(column)];
        firstRow = std::min(firstRow, row);
        lastRow = std::max(lastRow, row);
        firstColumn = std::min(firstColumn, column);
        lastColumn = std::max(lastColumn, column);
    }
    grid.firstRow = firstRow, grid.lastRow = lastRow;
    grid.firstColumn = firstColumn, grid.lastColumn = lastColumn;
    grid.pixels += pixels;
}

} // namespace

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
            *grid = Grid{};
        }
        std::size_t now = std::min<uint64_t>(pixels, kLimit - grid->pixels);
        countInto(*grid, working, now);
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
    // Only the counted rows need clearing, which is most often a small part.
    for (const auto& grid : grids_) {
        for (int row = grid->firstRow; row <= grid->lastRow; ++row)
            std::fill_n(grid->cells.begin() + std::ptrdiff_t(row) * kDensityBins, kDensityBins, 0);
        grid->pixels = 0;
        grid->firstRow = grid->firstColumn = kDensityBins;
        grid->lastRow = grid->lastColumn = -1;
    }
    folded_.clear();
}

} // namespace vivanto
