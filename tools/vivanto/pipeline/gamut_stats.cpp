#include "gamut_stats.h"

#include "chain.h"
#include "colour.h"
#include "working_image.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace vivanto {

namespace {

constexpr std::array<const char*, 2> kAxisKeys{"vivanto_rg", "vivanto_by"};
// Values tried per axis in a pass: the search narrows by this plus one.
constexpr int kTriesPerPass = 3;

// One way of rendering the photo: the stage's responses looked up per
// sample, or nothing for the photo as it came in.
struct Evaluation {
    const AxisResponses* responses = nullptr;
};

// One pass: the photo read once, every evaluation counted on every pixel.
class Pass {
public:
    Pass(const Photo& photo, int outputBits, std::vector<Evaluation> evaluations,
         HostBool* cancelFlag)
        : in_(photo.profile, photo.grey, photo.bits)
        , out_(photo.profile, photo.grey, outputBits)
        , evaluations_(std::move(evaluations))
        , counts_(evaluations_.size())
        , cancelFlag_(cancelFlag)
        , image_(photo.hasAlpha ? photo.image.extract_band(
                     0, vips::VImage::option()->set("n", photo.grey ? 1 : 3))
                                : photo.image)
    {
    }

    void run()
    {
        if (vips_sink(image_.get_image(), start, generate, stop, this, nullptr) != 0) {
            if (cancelled_)
                throw ChainCancelled{};
            char* text = vips_error_buffer_copy();
            std::string message = text != nullptr ? text : "";
            g_free(text);
            std::lock_guard lock(mutex_);
            throw PhotoError(!failure_.empty() ? failure_
                                               : "cannot decode (corrupt, truncated or not an "
                                                 "image): "
                                     + libraryMessage(message));
        }
    }

    uint64_t count(std::size_t evaluation) const { return counts_[evaluation].load(); }
    uint64_t clippedOnTheWayIn() const { return clipped_.load(); }

private:
    struct Worker {
        std::vector<uint16_t> working, trial;
        std::vector<uint8_t> outside;
        std::vector<uint64_t> counts;
        uint64_t clipped = 0;
    };

    static void* start(VipsImage* /*image*/, void* pass, void* /*unused*/)
    {
        auto* worker = new Worker; // NOLINT(cppcoreguidelines-owning-memory): libvips holds it
        worker->counts.assign(static_cast<Pass*>(pass)->evaluations_.size(), 0);
        return worker;
    }

    static int stop(void* held, void* pass, void* /*unused*/)
    {
        std::unique_ptr<Worker> worker(static_cast<Worker*>(held));
        auto* self = static_cast<Pass*>(pass);
        for (std::size_t e = 0; e < worker->counts.size(); ++e)
            self->counts_[e] += worker->counts[e];
        self->clipped_ += worker->clipped;
        return 0;
    }

    static int generate(VipsRegion* region, void* held, void* pass, void* /*unused*/,
                        gboolean* /*stop*/)
    {
        auto* self = static_cast<Pass*>(pass);
        if (self->cancelFlag_ != nullptr
            && std::atomic_ref<HostBool>(*self->cancelFlag_).load(std::memory_order_relaxed) == 1) {
            self->cancelled_ = true;
            return -1;
        }
        try {
            self->measure(*static_cast<Worker*>(held), region);
            return 0;
        } catch (const std::exception& error) {
            std::lock_guard lock(self->mutex_);
            self->failure_ = error.what();
        }
        return -1;
    }

    void measure(Worker& worker, VipsRegion* region) const
    {
        const VipsRect& r = region->valid;
        auto width = std::size_t(r.width);
        worker.working.resize(width * kChannels);
        worker.trial.resize(width * kChannels);
        worker.outside.resize(width);
        for (int y = r.top; y < r.top + r.height; ++y) {
            const VipsPel* row = rowOf(region, r.left, y);
            worker.clipped += in_.toWorkingCounted(row, worker.working.data(), width);
            for (std::size_t e = 0; e < evaluations_.size(); ++e)
                worker.counts[e] += outOfGamutUnder(worker, evaluations_[e], width);
        }
    }

    std::size_t outOfGamutUnder(Worker& worker, const Evaluation& evaluation,
                                std::size_t width) const
    {
        const uint16_t* pixels = worker.working.data();
        if (evaluation.responses != nullptr) {
            const uint16_t* a = (*evaluation.responses)[0].data();
            const uint16_t* b = (*evaluation.responses)[1].data();
            for (std::size_t i = 0; i < width; ++i) {
                const uint16_t* from = worker.working.data() + i * kChannels;
                uint16_t* to = worker.trial.data() + i * kChannels;
                to[0] = from[0];
                to[1] = a[from[1]];
                to[2] = b[from[2]];
            }
            pixels = worker.trial.data();
        }
        return out_.outOfGamut(pixels, worker.outside.data(), width);
    }

    static const VipsPel* rowOf(VipsRegion* region, int x, int y)
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
        return VIPS_REGION_ADDR(region, x, y);
#pragma GCC diagnostic pop
    }

    const ColourSpace in_;
    const ColourSpace out_;
    const std::vector<Evaluation> evaluations_;
    std::vector<std::atomic<uint64_t>> counts_;
    std::atomic<uint64_t> clipped_{0};
    HostBool* const cancelFlag_;
    vips::VImage image_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::string failure_;
};

// One axis's search: every count known so far, by slider value.
struct AxisSearch {
    std::map<int32_t, uint64_t> counts;
    std::optional<int32_t> answer;
    bool done = false;
};

bool underShare(uint64_t outside, uint64_t pixels)
{
    return double(outside) < kOutOfGamutShare * double(pixels);
}

// The values still to try, or the answer when it is found: the highest known
// value under the share and the next known one above it bound it. The first
// pass tries 0 (the photo as it is), the chosen value and 600; only when
// none of them is under the share is -100 tried, and with none under it
// either there is taken to be none.
std::vector<int32_t> nextTries(AxisSearch& search, uint64_t pixels)
{
    std::optional<int32_t> low;
    for (const auto& [value, count] : search.counts)
        if (value >= kLowestSlider && value <= kHighestSlider && underShare(count, pixels))
            low = value;
    if (!low && !search.counts.contains(kLowestSlider))
        return {kLowestSlider};
    if (!low || *low == kHighestSlider) {
        search.answer = low;
        search.done = true;
        return {};
    }
    int32_t high = search.counts.upper_bound(*low)->first;
    if (high == *low + 1) {
        search.answer = low;
        search.done = true;
        return {};
    }
    std::set<int32_t> tries;
    for (int j = 1; j <= kTriesPerPass; ++j)
        tries.insert(*low + int32_t(int64_t(high - *low) * j / (kTriesPerPass + 1)));
    tries.erase(*low);
    tries.erase(high);
    return {tries.begin(), tries.end()};
}

} // namespace

GamutStats measureGamut(const std::function<Photo()>& open, int outputBits,
                        const ResponsesAt& responsesAt, std::array<int32_t, 2> chosen,
                        HostBool* cancelFlag)
{
    GamutStats stats;
    std::array<AxisSearch, 2> searches;
    std::array<std::vector<int32_t>, 2> tries;
    for (std::size_t axis = 0; axis < 2; ++axis) {
        stats.axes[axis].key = kAxisKeys[axis];
        stats.axes[axis].chosen = chosen[axis];
        std::set<int32_t> first{chosen[axis], 0, kHighestSlider};
        tries[axis].assign(first.begin(), first.end());
    }
    for (bool firstPass = true; !tries[0].empty() || !tries[1].empty(); firstPass = false) {
        Photo photo = open();
        stats.pixels = uint64_t(photo.image.width()) * uint64_t(photo.image.height());
        std::vector<std::unique_ptr<AxisResponses>> tables;
        std::vector<Evaluation> evaluations;
        std::vector<std::pair<std::size_t, int32_t>> tried; // axis and value, per evaluation
        if (firstPass)
            evaluations.push_back({});
        for (std::size_t axis = 0; axis < 2; ++axis)
            for (int32_t value : tries[axis]) {
                tables.push_back(std::make_unique<AxisResponses>(responsesAt(axis, value)));
                evaluations.push_back({tables.back().get()});
                tried.emplace_back(axis, value);
            }
        Pass pass(photo, outputBits, std::move(evaluations), cancelFlag);
        pass.run();
        ++stats.passes;
        std::size_t offset = firstPass ? 1 : 0;
        if (firstPass) {
            stats.outOfGamutBefore = pass.count(0);
            stats.clippedOnTheWayIn = pass.clippedOnTheWayIn();
        }
        for (std::size_t e = 0; e < tried.size(); ++e)
            searches[tried[e].first].counts[tried[e].second] = pass.count(e + offset);
        for (std::size_t axis = 0; axis < 2; ++axis) {
            if (firstPass)
                stats.axes[axis].outOfGamut = searches[axis].counts.at(chosen[axis]);
            tries[axis] = searches[axis].done ? std::vector<int32_t>{}
                                              : nextTries(searches[axis], stats.pixels);
        }
    }
    for (std::size_t axis = 0; axis < 2; ++axis)
        stats.axes[axis].largestUnderShare = searches[axis].answer;
    return stats;
}

} // namespace vivanto
