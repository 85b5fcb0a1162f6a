// The built plug-in as the editor sees it: the shared library loaded once per
// test process, and for each test a fresh stand-in host registered with it.
// Tests reach the hooks only through the pointers the plug-in registered.
#pragma once

#include "host.h"
#include "plugin_library.h"

namespace testing_support {

// The library under test: $VIVANTO_PLUGIN when set, else the one this build made.
standin::PluginLibrary& pluginLibrary();

class LoadedPlugin {
public:
    // Registers the plug-in (pluginLibrary(), or the given build) with a new
    // host and clears the call log, so a test sees only what its own calls do.
    LoadedPlugin();
    explicit LoadedPlugin(standin::PluginLibrary& library);

    standin::Host host;

    int process(PipeData pipe);
    int aboutToChange(OptionData edit);
    int doDependencies(OptionData edit);
    int about(OptionData* record);
    int initializeOptions(OptionData* record);

    // A one-row image at the plug-in's format with the given red-green and
    // blue-yellow samples, one pixel per pair.
    standin::Image& imageOf(const std::vector<uint16_t>& redGreen,
                            const std::vector<uint16_t>& blueYellow);
};

} // namespace testing_support
