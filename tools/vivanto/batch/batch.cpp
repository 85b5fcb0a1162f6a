#include "batch.h"

#include "ab_density.h"
#include "cancel.h"
#include "chain.h"
#include "colour.h"
#include "gamut_boundary.h"
#include "gamut_stats.h"
#include "output_file.h"
#include "photo.h"
#include "progress.h"
#include "stats.h"
#include "stats_report.h"
#include "vectorscope.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vivanto {

namespace {

namespace fs = std::filesystem;

// Photos of more pixels than this run alone, so that memory stays that of one
// chain; smaller ones run side by side, since decoding and encoding one photo
// keep only one core busy each.
constexpr uint64_t kLargePhotoPixels = 40'000'000;

// Thrown to end one file with a message for the user.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Interrupted {};

enum class FileOutcome { Written, Failed, Interrupted };

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int threadsFor(const Request& request)
{
    int threads = request.threads > 0 ? request.threads
                                      : static_cast<int>(std::thread::hardware_concurrency());
    return std::max(threads, 1);
}

std::string resultPathFor(const Request& request, const std::string& input, FileFormat format)
{
    fs::path name = fs::path(input).filename();
    // Same format: keep the input's own suffix (photo.JPEG stays photo.JPEG).
    bool sameFormat = false;
    try {
        sameFormat = formatOfName(input) == format;
    } catch (const PhotoError&) {
        // an unusual suffix for the input's format: write the usual one
    }
    std::string suffix = sameFormat ? name.extension().string() : suffixOf(format);
    return (fs::path(request.outputFolder) / name.stem()).string() + suffix;
}

void refuseToReplaceInput(const std::string& input, const std::string& output)
{
    std::error_code ec;
    if (fs::equivalent(input, output, ec))
        throw FileError(output + " is the input itself; inputs are never replaced");
}

void refuseExisting(const std::string& output, bool force)
{
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(output, ec)))
        throw FileError(output + " already exists (use --force to replace it)");
}

std::string resultKey(const std::string& output)
{
    std::error_code ec;
    return fs::weakly_canonical(output, ec).string();
}

// Two outputs of one photo under one name would leave only the one committed last.
void refuseSameName(const std::string& first, const std::string& second)
{
    if (!first.empty() && !second.empty() && resultKey(first) == resultKey(second))
        throw FileError(second + " is named for two of this photo's outputs; give each its own");
}

// The vectorscope of the photo's chain, on the output's gamut.
struct ScopeRecording {
    AbDensity before;
    AbDensity after;

    void observe(ChainOptions& options)
    {
        options.observeWorking = [this](const uint16_t* in, const uint16_t* out,
                                        std::size_t pixels) {
            before.add(in, pixels);
            after.add(out, pixels);
        };
    }
};

void writeBytes(const std::vector<unsigned char>& bytes, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    int error = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written)
        throw std::runtime_error(std::string("cannot be written: ") + std::strerror(error));
}

std::string describeTimings(const std::string& name, double wall, int threads, const ChainTimes& t)
{
    char line[640];
    std::snprintf(line, sizeof line,
                  "%s: timings: %.3f s in all, decoding, converting, the stage and encoding "
                  "side by side; summed over %d thread%s: waiting for decoded pixels %.3f s, "
                  "convert to working %.3f s, stage %.3f s (%.3f s of it inside the plug-in), "
                  "convert back %.3f s",
                  name.c_str(), wall, threads, threads == 1 ? "" : "s", t.source, t.toWorking,
                  t.stage, t.inHook, t.fromWorking);
    return line;
}

// Turns in the order the inputs were given, whichever photo gets there
// first: result names are claimed in turn, so that of two inputs of the same
// name the first always wins, and results are committed in turn, so that an
// interrupted batch leaves the results of a prefix of its inputs, as if the
// photos had run one after another. Every input takes or passes each of its
// turns exactly once, through a Ticket.
class Turns {
public:
    class Ticket {
    public:
        Ticket(Turns& turns, int index)
            : turns_(turns)
            , index_(index)
        {
        }
        ~Ticket()
        {
            if (!used_)
                turns_.pass(index_);
        }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

        // Runs `action` once every earlier input has had its turn; the turn
        // passes on even when it throws.
        template <typename Action> void take(const Action& action)
        {
            used_ = true;
            turns_.wait(index_);
            struct PassOn {
                Turns& turns;
                ~PassOn() { turns.advance(); }
            } passOn{turns_};
            action();
        }

    private:
        Turns& turns_;
        int index_;
        bool used_ = false;
    };

private:
    void wait(int index)
    {
        std::unique_lock lock(mutex_);
        turn_.wait(lock, [&] { return next_ == index; });
    }
    void advance()
    {
        std::lock_guard lock(mutex_);
        ++next_;
        turn_.notify_all();
    }
    void pass(int index)
    {
        wait(index);
        advance();
    }

    std::mutex mutex_;
    std::condition_variable turn_;
    int next_ = 0;
};

class Batch {
public:
    Batch(StageHost& stage, const Request& request)
        : stage_(stage)
        , request_(request)
        , threads_(threadsFor(request))
        , progress_(static_cast<int>(request.inputs.size()), isatty(STDERR_FILENO) != 0,
                    request.json)
    {
    }

    int run();

private:
    void work();
    FileOutcome processOne(int index);
    void process(int index, const std::string& input);
    ChainOptions chainOptions(int bits, int index, bool measure);
    std::unique_ptr<OutputFile> writeTemporary(Chain& chain, const vips::VImage& image,
                                               const std::string& path, FileFormat format);
    std::unique_ptr<OutputFile> writeScope(const Photo& photo, const ScopeRecording& scope);
    void reportStats(const std::string& input, const std::string& name, int bits,
                     const Chain& chain);
    void claim(const std::string& input, const std::string& output);

    StageHost& stage_;
    const Request& request_;
    const int threads_;
    Progress progress_;
    Turns claimTurns_;
    Turns commitTurns_;
    std::map<std::string, std::string> claimed_; // result names, by the input each comes from
    // Stage calls hold it shared; the clipping measurement of --stats changes
    // the settings for a while and holds it alone.
    std::shared_mutex pluginGuard_;
    // Photos run holding it shared; large ones hold it alone.
    std::shared_mutex photoSlots_;
    std::atomic<int> next_{0};
    std::atomic<int> written_{0};
    std::atomic<int> failed_{0};
    std::atomic<bool> interrupted_{false};
};

ChainOptions Batch::chainOptions(int bits, int index, bool measure)
{
    ChainOptions options{.outputBits = bits,
                         .rowsPerStrip = request_.stripRows,
                         .histograms = measure,
                         .cancelFlag = cancelFlag(),
                         .gamut = request_.gamut,
                         .countGamut = measure};
    options.aroundStageCall = [this](const std::function<int()>& call) {
        std::shared_lock together(pluginGuard_);
        return call();
    };
    options.progress = [this, index](double share) {
        progress_.update(index + 1, "working", share);
    };
    return options;
}

std::unique_ptr<OutputFile> Batch::writeTemporary(Chain& chain, const vips::VImage& image,
                                                  const std::string& path, FileFormat format)
{
    auto file = std::make_unique<OutputFile>(path);
    chain.run([&] { encodePhoto(image, file->temporaryPath(), format, request_.quality); });
    return file;
}

std::unique_ptr<OutputFile> Batch::writeScope(const Photo& photo, const ScopeRecording& scope)
{
    ColourSpace output(photo.profile, photo.grey, 16);
    GamutBoundary gamut(output);
    auto file = std::make_unique<OutputFile>(request_.scopeFile);
    try {
        writeBytes(scopePng(renderScope(scope.before, scope.after, &gamut)), file->temporaryPath());
    } catch (const std::runtime_error& error) {
        throw FileError(request_.scopeFile + " " + error.what());
    }
    return file;
}

// Called in input order: even with --force, a result of this run is never
// replaced by another input's.
void Batch::claim(const std::string& input, const std::string& output)
{
    auto found = claimed_.find(resultKey(output));
    if (found != claimed_.end())
        throw FileError(output + " was written from " + found->second
                        + " in this run; rename one of the two");
    claimed_[resultKey(output)] = input;
}

void Batch::process(int index, const std::string& input)
{
    // Declared so that the claim turn passes on first, should this photo fail early.
    Turns::Ticket commitTurn(commitTurns_, index);
    Turns::Ticket claimTurn(claimTurns_, index);
    std::string name = fs::path(input).filename().string();
    auto started = std::chrono::steady_clock::now();
    Photo photo = openPhoto(input);
    FileFormat format = request_.format.value_or(photo.format);
    int bits = format == FileFormat::Jpeg ? 8 : request_.bits.value_or(photo.bits);
    std::string output;
    if (!request_.outputFolder.empty()) {
        output = resultPathFor(request_, input, format);
        refuseToReplaceInput(input, output);
        refuseExisting(output, request_.force);
        claimTurn.take([&] { claim(input, output); });
    }
    refuseSameName(output, request_.compareFile);
    std::unique_ptr<ScopeRecording> scope;
    if (!request_.scopeFile.empty()) {
        refuseSameName(output, request_.scopeFile);
        refuseSameName(request_.compareFile, request_.scopeFile);
        refuseToReplaceInput(input, request_.scopeFile);
        refuseExisting(request_.scopeFile, request_.force);
        scope = std::make_unique<ScopeRecording>();
    }

    uint64_t pixels = uint64_t(photo.image.width()) * uint64_t(photo.image.height());
    std::unique_lock alone(photoSlots_, std::defer_lock);
    std::shared_lock together(photoSlots_, std::defer_lock);
    if (pixels > kLargePhotoPixels)
        alone.lock();
    else
        together.lock();
    if (cancelled())
        throw Interrupted{};

    // The first chain writes the result, or the comparison when there is no
    // result, or nothing (--stats, --timings alone); with both, the
    // comparison gets a second chain over the photo opened anew, since the
    // first one read it to its end.
    ChainOptions options = chainOptions(bits, index, request_.stats);
    if (scope)
        scope->observe(options);
    Chain chain(stage_, photo, options);
    bool compareOnly = output.empty() && !request_.compareFile.empty();
    std::vector<std::unique_ptr<OutputFile>> files;
    if (!output.empty()) {
        vips::VImage result = chain.result();
        if (format == FileFormat::Jpeg && photo.hasAlpha) {
            result = flattenedOnWhite(result, photo);
            progress_.message(name + ": JPEG holds no transparency; the result is shown on white",
                              false);
        }
        files.push_back(writeTemporary(chain, result, output, format));
    } else if (!compareOnly) {
        chain.drain();
    }
    double wall = secondsSince(started);
    ChainTimes times = chain.times();

    if (!request_.compareFile.empty()) {
        refuseToReplaceInput(input, request_.compareFile);
        refuseExisting(request_.compareFile, request_.force);
        FileFormat compareFormat = formatOfName(request_.compareFile);
        // Before and after each read the file once, from their own openings.
        Photo before = openPhoto(input);
        std::unique_ptr<Chain> second;
        Chain* compared = &chain;
        if (!compareOnly) {
            second =
                std::make_unique<Chain>(stage_, openPhoto(input), chainOptions(8, index, false));
            compared = second.get();
        }
        files.push_back(writeTemporary(*compared, sideBySide(before, compared->result()),
                                       request_.compareFile, compareFormat));
    }
    if (scope)
        files.push_back(writeScope(photo, *scope));
    // Memory is free again for the next photo while this one waits its turn.
    if (alone.owns_lock())
        alone.unlock();
    if (together.owns_lock())
        together.unlock();
    commitTurn.take([&] {
        if (cancelled())
            throw Interrupted{};
        for (const auto& file : files) {
            try {
                file->commit(request_.force);
            } catch (const std::runtime_error& error) {
                throw FileError(file->finalPath() + " " + error.what());
            }
        }
    });

    if (request_.stats)
        reportStats(input, name, bits, chain);
    if (request_.timings)
        progress_.message(describeTimings(name, wall, threads_, times), false);
    if (!output.empty())
        progress_.message(name + " -> " + output, false);
    if (!request_.compareFile.empty())
        progress_.message(name + ": before and after -> " + request_.compareFile, false);
    if (scope)
        progress_.message(name + ": vectorscope -> " + request_.scopeFile, false);
}

// The settings are changed for a moment (the measuring ramps) under the
// plug-in's guard alone; the passes over the photo need no stage call.
void Batch::reportStats(const std::string& input, const std::string& name, int bits,
                        const Chain& chain)
{
    StatsReport report{.file = input,
                       .name = name,
                       .outputBits = bits,
                       .gamut = request_.gamut,
                       .outOfGamutAfter = chain.gamutCounts().outOfGamut};
    {
        std::unique_lock measuring(pluginGuard_);
        report.clipping = measureClipping(stage_, chain.histograms());
    }
    auto responsesAt = [this](std::size_t axis, int32_t value) {
        std::unique_lock measuring(pluginGuard_);
        return stageResponses(stage_, axis == 0 ? value : 0, axis == 1 ? value : 0);
    };
    report.gamutStats = measureGamut(
        [&] { return openPhoto(input); }, bits, responsesAt,
        {report.clipping.axes[0].chosen, report.clipping.axes[1].chosen}, cancelFlag());
    if (request_.json) {
        progress_.data(statsJson(report));
        return;
    }
    std::string text = statsText(report);
    text.pop_back(); // message() ends the line itself
    progress_.message(text, false);
}

FileOutcome Batch::processOne(int index)
{
    const std::string& input = request_.inputs[std::size_t(index)];
    try {
        process(index, input);
        return FileOutcome::Written;
    } catch (const Interrupted&) {
        return FileOutcome::Interrupted;
    } catch (const ChainCancelled&) {
        return FileOutcome::Interrupted;
    } catch (const std::exception& error) {
        if (cancelled())
            return FileOutcome::Interrupted;
        progress_.message("vivanto: " + input + ": " + error.what(), true);
        return FileOutcome::Failed;
    }
}

void Batch::work()
{
    int total = static_cast<int>(request_.inputs.size());
    for (int index = next_++; index < total; index = next_++) {
        if (interrupted_ || cancelled()) {
            interrupted_ = true;
            // Its turns pass on, so that photos under way can still end.
            Turns::Ticket commitTurn(commitTurns_, index);
            Turns::Ticket claimTurn(claimTurns_, index);
            continue;
        }
        progress_.startFile(index + 1, request_.inputs[std::size_t(index)]);
        FileOutcome outcome = processOne(index);
        progress_.finishFile(index + 1);
        switch (outcome) {
        case FileOutcome::Written:
            ++written_;
            break;
        case FileOutcome::Failed:
            ++failed_;
            break;
        case FileOutcome::Interrupted:
            interrupted_ = true;
            break;
        }
    }
}

int Batch::run()
{
    catchInterrupts();
    vips_concurrency_set(threads_);
    auto started = std::chrono::steady_clock::now();
    std::size_t files = request_.inputs.size();
    {
        std::vector<std::jthread> workers;
        int together = std::clamp(threads_, 1, static_cast<int>(files));
        for (int w = 1; w < together; ++w)
            workers.emplace_back([this] { work(); });
        work();
    }
    progress_.finish();
    std::size_t notDone = files - std::size_t(written_ + failed_);
    std::fprintf(
        request_.json ? stderr : stdout, "vivanto: %zu file%s: %d done, %d failed%s (%.1f s)\n",
        files, files == 1 ? "" : "s", written_.load(), failed_.load(),
        interrupted_ ? (", interrupted with " + std::to_string(notDone) + " not done").c_str() : "",
        secondsSince(started));
    if (interrupted_) {
        std::fprintf(stderr, "vivanto: interrupted; no partial output was kept\n");
        return kExitInterrupted;
    }
    return failed_ > 0 ? kExitFileFailed : 0;
}

} // namespace

int runBatch(StageHost& stage, const Request& request)
{
    Batch batch(stage, request);
    return batch.run();
}

} // namespace vivanto
