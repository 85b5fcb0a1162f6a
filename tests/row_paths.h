// The testing build of the plug-in (hueflare_testing): the same source, which
// also lets a test or benchmark list the row loops this CPU offers and force
// one for the whole process. Shipped libraries have no such exports.
#pragma once

#include "plugin_library.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// Row paths as the plug-in numbers them.
enum class RowPath : int32_t { Scalar = 0, Sse2 = 1, Avx = 2, AvxFma = 3, Avx2 = 4, Avx512 = 5 };
constexpr int32_t kRowPathCount = 6;

class RowPaths {
public:
    // Loads the testing build from `path` (throws with the reason when it
    // cannot, or when it lacks the testing exports).
    explicit RowPaths(const std::string& path);
    RowPaths(const RowPaths&) = delete;
    RowPaths& operator=(const RowPaths&) = delete;

    // Its entry points, for LoadedPlugin and stand-in hosts.
    standin::PluginLibrary& library() { return library_; }

    bool available(RowPath path) const;
    std::vector<RowPath> available() const;
    std::string name(RowPath path) const;
    // Every later call in the process runs `path`; false when not available.
    bool force(RowPath path);
    // Back to the plug-in's own choice.
    void chooseAutomatically();

private:
    void* lookUp(const char* symbol);

    standin::PluginLibrary library_;
    int32_t (*paths_)() = nullptr;
    int32_t (*force_)(int32_t) = nullptr;
    const char* (*name_)(int32_t) = nullptr;
};

// The testing build this tree made (or $VIVANTO_TESTING_PLUGIN), loaded once.
RowPaths& rowPaths();

} // namespace testing_support
