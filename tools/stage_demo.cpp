// A walk through one editing event with the built plug-in and the stand-in
// host: load and register, drag a slider while the switch is off, render a
// small row of colours, and print what happened.
#include "host.h"
#include "plugin_library.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    try {
        std::string path = argc > 1 ? argv[1] : HUEFLARE_LIBRARY;
        standin::PluginLibrary library(path);
        standin::Host host;
        std::printf("loaded %s (interface version %d)\n", path.c_str(), library.getVersion());
        library.registerPlugin(host.record());
        for (const standin::Option* option : host.settings().inDefinitionOrder())
            std::printf("  option %-16s %-28s default %d\n", option->key.c_str(),
                        ("\"" + option->label + "\"").c_str(), option->defaultValue);

        // The user drags "Pop the reds and greens" to 40 with the switch off.
        host.setInt("vivanto_rg", 40);
        standin::ChangeSet* changes = host.changeSet({"vivanto_rg"});
        OptionData edit = host.edit(host.owner("HueflarePlugin_pop"), changes);
        for (OptionHook hook : host.settingsHooks())
            hook(host.record(), &edit);
        std::printf("slider edit: switch is now %s\n", host.value("vivanto_enabled") ? "on" : "off");

        const uint16_t colours[][3] = {{30000, 32767, 32767}, {30000, 40000, 32767}, {30000, 20000, 45000},
                                       {50000, 36000, 28000}, {10000, 60000, 5000}};
        auto& image = host.addImage({.width = 5, .height = 1, .border = 0});
        image.fill([&](int32_t x, int32_t, int32_t c) { return colours[x][c]; });
        PipeData pipe = host.pipe(&image);
        int result = host.processHook()(host.record(), &pipe);
        std::printf("render: result %d, sliders 40 and 35\n", result);
        std::printf("  %-22s %-22s\n", "before (L, rg, by)", "after (L, rg, by)");
        for (int32_t x = 0; x < 5; ++x)
            std::printf("  %5u %5u %5u      %5u %5u %5u\n", colours[x][0], colours[x][1], colours[x][2],
                        image.at(x, 0, 0), image.at(x, 0, 1), image.at(x, 0, 2));
        std::printf("%zu host calls, %zu rule breaches\n", host.log().calls().size(), host.violations().size());
        return host.violations().empty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stage_demo: %s\n", error.what());
        return 1;
    }
}
