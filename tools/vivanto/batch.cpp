#include "batch.h"

#include "cancel.h"
#include "output_file.h"
#include "photo.h"
#include "stats.h"
#include "strips.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace vivanto {

namespace {

namespace fs = std::filesystem;

// Thrown to end one file with a message for the user.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Interrupted {};

class Stopwatch {
public:
    double lap()
    {
        auto now = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        return seconds;
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

void stopIfCancelled()
{
    if (cancelled())
        throw Interrupted{};
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

std::string resultKey(const std::string& output)
{
    std::error_code ec;
    return fs::weakly_canonical(output, ec).string();
}

// Even with --force, a result of this run is never replaced by another input's.
void refuseResultOfThisRun(const std::string& output, const ResultsWritten& written)
{
    auto found = written.find(resultKey(output));
    if (found != written.end())
        throw FileError(output + " was written from " + found->second
                        + " in this run; rename one of the two");
}

void refuseExisting(const std::string& output, bool force)
{
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(output, ec)))
        throw FileError(output + " already exists (use --force to replace it)");
}

void writeCommitted(const vips::VImage& image, const std::string& path, FileFormat format,
                    const Request& request)
{
    OutputFile file(path);
    encodePhoto(image, file.temporaryPath(), format, request.quality);
    stopIfCancelled();
    try {
        file.commit(request.force);
    } catch (const std::runtime_error& error) {
        throw FileError(path + " " + error.what());
    }
}

std::string describeTimings(const std::string& name, const Timings& t)
{
    char line[512];
    std::snprintf(
        line, sizeof line,
        "%s: timings: decode %.3f s, convert to working %.3f s, stage %.3f s "
        "(%.3f s of it inside the plug-in, summed over threads), convert back %.3f s, encode %.3f s",
        name.c_str(), t.decode, t.toWorking, t.stage, t.inHook, t.fromWorking, t.encode);
    return line;
}

StripPlan planFor(const Request& request)
{
    int threads = request.threads > 0 ? request.threads
                                      : static_cast<int>(std::thread::hardware_concurrency());
    return {.threads = threads > 0 ? threads : 1, .rowsPerStrip = request.stripRows};
}

// Returns the seconds spent inside the plug-in's stage, summed over threads.
double runStage(StageHost& stage, WorkingImage& working, const Request& request, Progress& progress)
{
    StripRun run =
        runInStrips(stage, working, planFor(request), cancelFlag(), [&](int done, int total) {
            progress.update("stage", 0.4 + 0.3 * done / total);
        });
    switch (run.result) {
    case StageResult::Done:
        return run.hookSeconds;
    case StageResult::Cancelled:
        throw Interrupted{};
    case StageResult::Refused:
        throw FileError("the plug-in's stage refused the image (result -1)");
    case StageResult::HostRulesBroken:
        throw FileError("the plug-in broke the host's rules: " + stage.host().violations().front());
    }
    return 0;
}

void process(StageHost& stage, const Request& request, const std::string& input, Progress& progress,
             ResultsWritten& written)
{
    std::string name = fs::path(input).filename().string();
    Timings timings;
    Stopwatch clock;
    Photo photo = decodePhoto(input);
    timings.decode = clock.lap();
    stopIfCancelled();

    FileFormat format = request.format.value_or(photo.format);
    int bits = format == FileFormat::Jpeg ? 8 : request.bits.value_or(photo.bits);
    std::string output;
    if (!request.outputFolder.empty()) {
        output = resultPathFor(request, input, format);
        refuseToReplaceInput(input, output);
        refuseResultOfThisRun(output, written);
        refuseExisting(output, request.force);
    }

    progress.update("converting", 0.2);
    clock.lap();
    WorkingImage working = toWorking(photo, planFor(request).threads);
    timings.toWorking = clock.lap();
    stopIfCancelled();

    ClipStats clipping;
    if (request.stats) {
        progress.update("measuring", 0.3);
        clipping = measureClipping(stage, working);
        clock.lap();
    }

    progress.update("stage", 0.4);
    timings.inHook = runStage(stage, working, request, progress);
    timings.stage = clock.lap();

    progress.update("converting back", 0.7);
    vips::VImage result = fromWorking(working, photo, bits, planFor(request).threads);
    if (format == FileFormat::Jpeg && photo.hasAlpha) {
        result = flattenedOnWhite(result, photo);
        progress.message(name + ": JPEG holds no transparency; the result is shown on white",
                         false);
    }
    timings.fromWorking = clock.lap();
    stopIfCancelled();

    progress.update("writing", 0.85);
    if (!output.empty()) {
        writeCommitted(result, output, format, request);
        written[resultKey(output)] = input;
    }
    timings.encode = clock.lap();

    if (!request.compareFile.empty()) {
        refuseToReplaceInput(input, request.compareFile);
        refuseExisting(request.compareFile, request.force);
        FileFormat compareFormat = formatOfName(request.compareFile);
        writeCommitted(sideBySide(photo, result), request.compareFile, compareFormat, request);
    }

    if (request.stats) {
        std::string report = describe(clipping, name);
        report.pop_back(); // message() ends the line itself
        progress.message(report, false);
    }
    if (request.timings)
        progress.message(describeTimings(name, timings), false);
    if (!output.empty())
        progress.message(name + " -> " + output, false);
    if (!request.compareFile.empty())
        progress.message(name + ": before and after -> " + request.compareFile, false);
}

} // namespace

FileOutcome processPhoto(StageHost& stage, const Request& request, const std::string& input,
                         Progress& progress, ResultsWritten& written)
{
    try {
        process(stage, request, input, progress, written);
        return FileOutcome::Written;
    } catch (const Interrupted&) {
        return FileOutcome::Interrupted;
    } catch (const std::exception& error) {
        if (cancelled())
            return FileOutcome::Interrupted;
        progress.message("vivanto: " + input + ": " + error.what(), true);
        return FileOutcome::Failed;
    }
}

} // namespace vivanto
