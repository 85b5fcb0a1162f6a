// Plug-ins that misbehave on purpose, built several ways from this one source,
// to drive vivanto's failure paths: a wrong interface version, a missing entry
// point, a stage that refuses some images, and a stage during which the user
// presses Ctrl-C; and a stage whose every pixel depends on its neighbours
// across the whole border, so that a host handing it a wrong border shows.
// Each defines the same three options as the real plug-in so
// that the usual settings flags apply.
#include "bibble_host.h"

#include <cstddef>
#include <signal.h>

#ifndef FAKE_VERSION
#define FAKE_VERSION 5
#endif

namespace {

int HOST_CALL acceptEdit(BibblePluginData*, OptionData*)
{
    return 0;
}

int HOST_CALL process(BibblePluginData* data, PipeData* pipe)
{
#ifdef FAKE_REFUSE_WIDTH
    if (data->imageWidth(pipe->image) == FAKE_REFUSE_WIDTH)
        return -1;
#endif
#ifdef FAKE_INTERRUPT_AT_ROW
    int32_t height = data->imageHeight(pipe->image);
    for (int32_t row = 0; row < height; ++row) {
        if (pipe->cancelFlag != nullptr && __atomic_load_n(pipe->cancelFlag, __ATOMIC_RELAXED) == 1)
            return 0;
        data->imageRow(pipe->image, row);
        if (row == FAKE_INTERRUPT_AT_ROW)
            raise(SIGINT); // as if the user pressed Ctrl-C now
    }
#endif
#ifdef FAKE_NEIGHBOURS
    // Red-green from the lightness of every pixel within the border on either
    // side, each weighted by its place; blue-yellow from the two outermost.
    // Lightness is written only once the row has been read, so every read
    // sees the host's values; it changes too, so that grey photos show it.
    int32_t width = data->imageWidth(pipe->image);
    int32_t rows = data->imageHeight(pipe->image);
    int32_t border = data->imageBorder(pipe->image);
    auto step = std::ptrdiff_t(data->imagePixelStep(pipe->image));
    for (int32_t row = 0; row < rows; ++row) {
        uint16_t* pixels = data->imageRow(pipe->image, row);
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            uint32_t mixed = 0;
            for (std::ptrdiff_t k = -border; k <= border; ++k)
                mixed += uint32_t(pixels[(x + k) * step]) * uint32_t(k + border + 1);
            pixels[x * step + 1] = uint16_t(mixed);
            pixels[x * step + 2] =
                uint16_t(pixels[(x - border) * step] ^ (pixels[(x + border) * step] >> 1));
        }
        for (std::ptrdiff_t x = 0; x < width; ++x)
            pixels[x * step] = uint16_t(pixels[x * step + 1] ^ pixels[x * step + 2]);
    }
#endif
    (void)data;
    (void)pipe;
    return 0;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int HOST_CALL getVersion(void)
{
    return FAKE_VERSION;
}

__attribute__((visibility("default"))) int HOST_CALL RegisterPlugin(BibblePluginData* data)
{
    data->interfaceVersion = FAKE_VERSION;
    data->defineBoolOption(data->optionsHandle, "vivanto_enabled", "vivanto_plugin", "Enable", 0,
                           0);
    data->defineIntOption(data->optionsHandle, "vivanto_rg", "vivanto_plugin", "Red-green", 15, 0);
    data->defineIntOption(data->optionsHandle, "vivanto_by", "vivanto_plugin", "Blue-yellow", 35,
                          0);
    data->addSettingsHook(data->pluginHandle, acceptEdit);
    data->addProcess(data->pluginHandle, process, 9, 4);
    return 0;
}

#ifndef FAKE_WITHOUT_UNREGISTER
__attribute__((visibility("default"))) int HOST_CALL unRegisterPlugin(void)
{
    return 0;
}
#endif

} // extern "C"
