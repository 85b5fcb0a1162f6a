// Support for end-to-end tests of the vivanto binary: running it, scratch
// folders, small generated photos of every kind it reads, and measuring them.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <ostream>
#include <spawn.h>
#include <string>
#include <vector>
#include <vips/vips8>

namespace tool_test {

struct ToolRun {
    int status = -1; // exit status; 128 + n when killed by signal n
    std::string out;
    std::string err;
    long peakKiB = 0; // its largest resident set
};

// Runs the built vivanto with `arguments`, capturing both streams.
ToolRun runVivanto(const std::vector<std::string>& arguments);

// Starts the built vivanto with `arguments` and its streams as `actions` set
// them, and returns at once with its process id; throws when it cannot start.
pid_t spawnVivanto(const std::vector<std::string>& arguments,
                   const posix_spawn_file_actions_t& actions);

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::filesystem::path path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Every file of a folder tree and its bytes, to prove nothing changed.
std::map<std::string, std::string> snapshot(const std::filesystem::path& folder);
std::string bytesOf(const std::filesystem::path& file);

enum class Kind { Png, Tiff, Jpeg };

struct PhotoRecipe {
    Kind kind = Kind::Png;
    int bits = 8;
    bool grey = false;
    bool alpha = false;
    bool profile = false; // a display-P3 profile embedded, pixels converted into it
    std::string name() const;
    std::string fileName() const;
};
// Test names and failure messages show the kind, not the bytes.
inline void PrintTo(const PhotoRecipe& recipe, std::ostream* out)
{
    *out << recipe.name();
}

// Patches of 16 x 16 pixels, four across and three down: five greys and seven
// moderate colours that stay inside sRGB when pushed by up to 1.4.
inline constexpr int kPatchSize = 16;
inline constexpr int kPatchesAcross = 4;
inline constexpr int kPatches = 12;
bool isGreyPatch(int patch);

void writePhoto(const PhotoRecipe& recipe, const std::string& path);
// A photo of `width` x `height` with colours from a fixed pseudo-random
// sequence over the whole 16-bit range, as a 16-bit TIFF.
void writeNoisePhoto(int width, int height, const std::string& path);

// Mean CIE L*a*b* of the centre of every patch, through the file's profile
// (sRGB when it has none).
std::vector<std::array<double, 3>> patchLab(const std::string& path);

// Largest difference between any two colour bands within each patch's centre
// (0 for a perfectly neutral patch); 0 for one-band images.
double largestChannelSpread(const std::string& path, int patch);

vips::VImage load(const std::string& path);

} // namespace tool_test
