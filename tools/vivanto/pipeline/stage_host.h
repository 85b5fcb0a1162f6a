// The plug-in as the editor holds it: the library opened by path, its three
// entry points checked, RegisterPlugin called with a stand-in host record, and
// from then on only what the plug-in registered: its options, its settings
// hooks (called in the order it added them), its About handler and its
// processing stage.
#pragma once

#include "host.h"
#include "plugin_library.h"

#include <memory>
#include <string>
#include <vector>

namespace vivanto {

// The interface version this host speaks.
inline constexpr int kInterfaceVersion = 5;
// The name the editor gives the plug-in's stage when it reports who owns an edit.
inline constexpr const char* kStageName = "HueflarePlugin_pop";

struct AboutText {
    std::string title;
    std::string htmlBody;
};

class StageHost {
public:
    // Throws std::runtime_error naming the library and the reason when it cannot
    // be loaded, lacks an entry point, speaks another interface version or
    // registers no processing stage.
    explicit StageHost(const std::string& libraryPath);
    ~StageHost();
    StageHost(const StageHost&) = delete;
    StageHost& operator=(const StageHost&) = delete;

    standin::Host& host() { return host_; }
    ProcessHook processHook() const { return process_; }

    // The options the plug-in defined, in definition order, with current values.
    std::vector<standin::Option> options();

    // One edit in the settings panel: stores the value, then hands the edit to
    // every registered settings hook, owned by the plug-in's stage with a change
    // set naming the key. Throws std::runtime_error when the key is not one the
    // plug-in defined, the value does not suit its kind, or a hook refuses.
    void edit(const std::string& key, int32_t value);

    // Chooses the About action; throws when the plug-in registered none or shows nothing.
    AboutText about();

    // Sets an option as stored settings would, with no edit and no hooks; for
    // measurements that must not count as the user's edits.
    void storeQuietly(const std::string& key, int32_t value);

private:
    standin::PluginLibrary library_;
    standin::Host host_;
    ProcessHook process_ = nullptr;
};

} // namespace vivanto
