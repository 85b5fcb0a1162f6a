#include "stage_host.h"

#include <stdexcept>

namespace vivanto {

namespace {

standin::PluginLibrary& checkedVersion(standin::PluginLibrary& library)
{
    int version = library.getVersion();
    if (version != kInterfaceVersion)
        throw std::runtime_error(library.path() + ": speaks plug-in interface version "
                                 + std::to_string(version) + ", this host needs "
                                 + std::to_string(kInterfaceVersion));
    return library;
}

} // namespace

StageHost::StageHost(const std::string& libraryPath)
    : library_(libraryPath)
{
    checkedVersion(library_);
    if (library_.registerPlugin(host_.record()) != 0)
        throw std::runtime_error(libraryPath + ": RegisterPlugin refused to register");
    process_ = host_.processHook();
    if (process_ == nullptr)
        throw std::runtime_error(libraryPath + ": the plug-in registered no processing stage");
    host_.log().clear();
}

StageHost::~StageHost()
{
    library_.unRegisterPlugin();
}

std::vector<standin::Option> StageHost::options()
{
    std::vector<standin::Option> out;
    for (const standin::Option* option : host_.settings().inDefinitionOrder())
        out.push_back(*option);
    return out;
}

void StageHost::edit(const std::string& key, int32_t value)
{
    standin::Option* option = host_.settings().find(key);
    if (option == nullptr)
        throw std::runtime_error("the plug-in defines no option \"" + key
                                 + "\" (see --list-options)");
    if (option->kind == standin::OptionKind::Bool && value != 0 && value != 1)
        throw std::runtime_error("\"" + key + "\" is a switch: give 0 (off) or 1 (on), not "
                                 + std::to_string(value));
    int32_t before = option->value;
    option->value = value;
    OptionData record = host_.edit(host_.owner(kStageName), host_.changeSet({key}));
    for (OptionHook hook : host_.settingsHooks()) {
        if (hook(host_.record(), &record) != 0) {
            option->value = before;
            throw std::runtime_error("the plug-in refused the edit " + key + "="
                                     + std::to_string(value));
        }
    }
}

void StageHost::storeQuietly(const std::string& key, int32_t value)
{
    if (standin::Option* option = host_.settings().find(key))
        option->value = value;
}

AboutText StageHost::about()
{
    OptionHook hook = host_.aboutHook();
    if (hook == nullptr)
        throw std::runtime_error(library_.path() + ": the plug-in offers no About action");
    std::size_t shownBefore = host_.aboutBoxes().size();
    OptionData record = host_.edit(nullptr, nullptr);
    hook(host_.record(), &record);
    std::vector<standin::AboutBox> shown = host_.aboutBoxes();
    if (shown.size() == shownBefore)
        throw std::runtime_error(library_.path() + ": the About action showed nothing");
    return {shown.back().title, shown.back().body};
}

} // namespace vivanto
