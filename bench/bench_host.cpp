#include "bench_host.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace bench {

namespace {

// The three settings, and the lock the stage brackets its reads with.
int32_t enabled = 1;
int32_t redGreenValue = 15;
int32_t blueYellowValue = 35;
std::mutex settingsLock;

OptionHandle HOST_CALL findOption(SettingsHandle, const char* key)
{
    int32_t* value = std::strcmp(key, "vivanto_enabled") == 0 ? &enabled
        : std::strcmp(key, "vivanto_rg") == 0                 ? &redGreenValue
        : std::strcmp(key, "vivanto_by") == 0                 ? &blueYellowValue
                                                              : nullptr;
    return reinterpret_cast<OptionHandle>(value);
}
HostBool HOST_CALL boolValue(OptionHandle option)
{
    return *reinterpret_cast<int32_t*>(option) != 0;
}
int32_t HOST_CALL intValue(OptionHandle option)
{
    return *reinterpret_cast<int32_t*>(option);
}
void HOST_CALL lockSettings(SettingsHandle, int32_t)
{
    settingsLock.lock();
}
void HOST_CALL unlockSettings(SettingsHandle, int32_t)
{
    settingsLock.unlock();
}

const Tile& tileOf(ImageHandle image)
{
    return *reinterpret_cast<const Tile*>(image);
}
uint16_t* HOST_CALL imageRow(ImageHandle image, int32_t row)
{
    return tileOf(image).row(row);
}
int32_t HOST_CALL imageKind(ImageHandle)
{
    return 3;
}
int32_t HOST_CALL imageChannelStep(ImageHandle)
{
    return 1;
}
int32_t HOST_CALL imagePixelStep(ImageHandle image)
{
    return tileOf(image).pixelStep;
}
int32_t HOST_CALL imageBorder(ImageHandle image)
{
    return tileOf(image).border;
}
int32_t HOST_CALL imageWidth(ImageHandle image)
{
    return tileOf(image).width;
}
int32_t HOST_CALL imageHeight(ImageHandle image)
{
    return tileOf(image).height;
}

} // namespace

Host::Host(standin::PluginLibrary& library)
{
    if (library.registerPlugin(standin_.record()) != 0)
        throw std::runtime_error("RegisterPlugin refused");
    hook_ = standin_.processHook();
    record_ = *standin_.record();
    record_.findOption = findOption;
    record_.boolValue = boolValue;
    record_.intValue = intValue;
    record_.lockSettings = lockSettings;
    record_.unlockSettings = unlockSettings;
    record_.imageRow = imageRow;
    record_.imageKind = imageKind;
    record_.imageChannelStep = imageChannelStep;
    record_.imagePixelStep = imagePixelStep;
    record_.imageBorder = imageBorder;
    record_.imageWidth = imageWidth;
    record_.imageHeight = imageHeight;
}

void Host::setSliders(int32_t redGreen, int32_t blueYellow)
{
    redGreenValue = redGreen;
    blueYellowValue = blueYellow;
}

int Host::process(const Tile& tile)
{
    PipeData pipe = standin_.pipe(nullptr);
    pipe.image = reinterpret_cast<ImageHandle>(const_cast<Tile*>(&tile));
    return hook_(&record_, &pipe);
}

} // namespace bench
