#include "loaded_plugin.h"

#include <cstdlib>
#include <stdexcept>

namespace testing_support {

standin::PluginLibrary& pluginLibrary()
{
    const char* overridden = std::getenv("VIVANTO_PLUGIN");
    static standin::PluginLibrary library(overridden != nullptr ? overridden : HUEFLARE_LIBRARY);
    return library;
}

LoadedPlugin::LoadedPlugin()
    : LoadedPlugin(pluginLibrary())
{
}

LoadedPlugin::LoadedPlugin(standin::PluginLibrary& library)
{
    if (library.registerPlugin(host.record()) != 0)
        throw std::runtime_error("RegisterPlugin refused");
    host.log().clear();
}

int LoadedPlugin::process(PipeData pipe)
{
    return host.processHook()(host.record(), &pipe);
}

int LoadedPlugin::aboutToChange(OptionData edit)
{
    return host.settingsHooks().at(0)(host.record(), &edit);
}

int LoadedPlugin::doDependencies(OptionData edit)
{
    return host.settingsHooks().at(1)(host.record(), &edit);
}

int LoadedPlugin::about(OptionData* record)
{
    return host.aboutHook()(host.record(), record);
}

int LoadedPlugin::initializeOptions(OptionData* record)
{
    return host.initializeHook()(host.record(), record);
}

standin::Image& LoadedPlugin::imageOf(const std::vector<uint16_t>& redGreen,
                                      const std::vector<uint16_t>& blueYellow)
{
    auto& image = host.addImage({.width = static_cast<int32_t>(redGreen.size()), .height = 1});
    image.fill([&](int32_t x, int32_t, int32_t channel) -> uint16_t {
        auto pixel = static_cast<std::size_t>(x);
        return channel == 0 ? uint16_t{1234}
            : channel == 1  ? redGreen.at(pixel)
                            : blueYellow.at(pixel);
    });
    return image;
}

} // namespace testing_support
