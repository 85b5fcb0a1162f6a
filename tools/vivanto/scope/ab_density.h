// How many pixels lie where in the a*b* plane: a grid of bins over the
// working encoding's whole range, a* across and b* up, filled from working
// samples (working_image.h). A vectorscope's trace is drawn from it.
//
// Bins are 64 samples (a quarter of a unit of a* or b*) wide and centred so
// that neutral is the middle of the middle bin; the first and last bins, half
// as wide, hold what the encoding clamped at its ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vivanto {

inline constexpr int kDensityBins = 1025; // per axis
inline constexpr int kNeutralBin = kDensityBins / 2;
inline constexpr double kBinsPerUnit = 4.0; // of a* or b*

class AbDensity {
public:
    AbDensity();
    ~AbDensity();
    AbDensity(const AbDensity&) = delete;
    AbDensity& operator=(const AbDensity&) = delete;

    // Counts `pixels` working pixels (3 samples each). Safe to call from
    // several threads at once: each call counts into a grid of its own,
    // taken from and given back to a pool, so threads never share a bin.
    void add(const uint16_t* working, std::size_t pixels);

    // The counts so far, kDensityBins x kDensityBins, row after row from the
    // lowest b* up, each row from the lowest a* to the highest. Neither this
    // nor clear() may run while add() does.
    std::vector<uint64_t> counts() const;
    uint64_t pixels() const;
    void clear();

    // Calls visit(row, column, count) for every bin counted more than zero,
    // once per share of it (a bin may be visited several times, and its
    // counts then add up): what counts() sums, without a grid of its size.
    template <typename Visit> void forEachCount(Visit visit) const;

    // The bin of a red-green or blue-yellow sample, and the a* (or b*) at a
    // bin's centre.
    static int binOf(uint16_t sample) { return (int(sample) + 33) >> 6; }
    static double unitsAtBin(int bin) { return double(bin - kNeutralBin) / kBinsPerUnit; }

private:
    // 32-bit counters keep a grid at 4 MB, so that a thread's counting stays
    // mostly in cache; a grid is folded into 64-bit totals before any of them
    // could overflow.
    struct Grid {
        std::vector<uint32_t> cells =
            std::vector<uint32_t>(std::size_t(kDensityBins) * kDensityBins, 0);
        uint64_t pixels = 0;
        // The rows and columns counted into, so that reading skips the rest.
        int firstRow = kDensityBins, lastRow = -1, firstColumn = kDensityBins, lastColumn = -1;
    };
    Grid* takeGrid();
    void giveBack(Grid* grid);

    mutable std::mutex mutex_; // guards what follows
    std::vector<std::unique_ptr<Grid>> grids_;
    std::vector<Grid*> idle_;
    std::vector<uint64_t> folded_; // grids that neared their counters' limit, added up
};

template <typename Visit> void AbDensity::forEachCount(Visit visit) const
{
    std::lock_guard lock(mutex_);
    auto visitAll = [&](const auto& cells, int firstRow, int lastRow, int firstColumn,
                        int lastColumn) {
        for (int row = firstRow; row <= lastRow; ++row) {
            const auto* counts = cells.data() + std::size_t(row) * kDensityBins;
            for (int column = firstColumn; column <= lastColumn; ++column)
                if (counts[column] != 0)
                    visit(row, column, uint64_t(counts[column]));
        }
    };
    for (const auto& grid : grids_)
        visitAll(grid->cells, grid->firstRow, grid->lastRow, grid->firstColumn, grid->lastColumn);
    if (!folded_.empty())
        visitAll(folded_, 0, kDensityBins - 1, 0, kDensityBins - 1);
}

} // namespace vivanto
