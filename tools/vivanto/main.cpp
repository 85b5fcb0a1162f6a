// vivanto: a command-line host for the vivanto plug-in. Loads the plug-in as
// the editor does, applies the user's settings through the plug-in's own
// settings hooks and runs its stage on photos, or serves a live preview page.
#include "batch.h"
#include "front.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The plug-in beside vivanto, else where an installed vivanto keeps it, else
// the one this build made; all found from vivanto's own path, so an unpacked
// package or a moved build tree works from any folder.
std::string defaultPluginPath()
{
    std::error_code ec;
    fs::path here = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (const char* relative : {VIVANTO_PLUGIN_NAME, VIVANTO_PLUGIN_FROM_INSTALLED_TOOL}) {
        fs::path candidate = (here / relative).lexically_normal();
        if (fs::exists(candidate, ec))
            return candidate.string();
    }
    return (here / VIVANTO_PLUGIN_FROM_TOOL).lexically_normal().string();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        return vivanto::runCommandLine(arguments, defaultPluginPath());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vivanto: %s\n", error.what());
        return vivanto::kExitUsage;
    }
}
