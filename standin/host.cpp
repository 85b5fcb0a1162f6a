#include "host.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace standin {

namespace {

std::atomic<Host*> activeHost{nullptr};

template <typename Handle, typename Object> Object* object(Handle handle)
{
    return reinterpret_cast<Object*>(handle);
}

std::string optionName(OptionHandle handle)
{
    return handle == nullptr ? "null" : "<" + object<OptionHandle, Option>(handle)->key + ">";
}

} // namespace

// The operations the record points at. Each logs itself, checks the handles it
// is given against what this host handed out, and then does the host's work.
struct Host::Internals {
    static Host& host() { return Host::active(); }

    static std::string imageName(ImageHandle handle)
    {
        Host& h = host();
        std::lock_guard lock(h.mutex_);
        for (std::size_t i = 0; i < h.images_.size(); ++i)
            if (reinterpret_cast<ImageHandle>(h.images_[i].get()) == handle)
                return "image" + std::to_string(i + 1);
        return handle == nullptr ? "null" : "unknown-image";
    }

    static Image* image(ImageHandle handle, const char* operation)
    {
        Host& h = host();
        {
            std::lock_guard lock(h.mutex_);
            for (auto& image : h.images_)
                if (reinterpret_cast<ImageHandle>(image.get()) == handle)
                    return image.get();
        }
        h.violation(std::string(operation) + " given an image this host did not hand out");
        return nullptr;
    }

    static std::string stringName(StringHandle handle)
    {
        Host& h = host();
        std::lock_guard lock(h.mutex_);
        auto found = h.stringNumbers_.find(handle);
        return found == h.stringNumbers_.end() ? "unknown-string"
                                               : "string" + std::to_string(found->second);
    }

    static bool liveString(StringHandle handle, const char* operation)
    {
        Host& h = host();
        {
            std::lock_guard lock(h.mutex_);
            if (h.strings_.count(handle) != 0)
                return true;
        }
        h.violation(std::string(operation) + " given a string that is not live");
        return false;
    }

    static std::string changeSetName(ChangeSetHandle handle)
    {
        Host& h = host();
        std::lock_guard lock(h.mutex_);
        for (std::size_t i = 0; i < h.changeSets_.size(); ++i)
            if (reinterpret_cast<ChangeSetHandle>(h.changeSets_[i].get()) == handle)
                return "changes" + std::to_string(i + 1);
        return handle == nullptr ? "null" : "unknown-changes";
    }

    static std::string ownerName(OwnerHandle handle)
    {
        Host& h = host();
        std::lock_guard lock(h.mutex_);
        for (std::size_t i = 0; i < h.owners_.size(); ++i)
            if (reinterpret_cast<OwnerHandle>(h.owners_[i].get()) == handle)
                return "owner" + std::to_string(i + 1);
        return handle == nullptr ? "null" : "unknown-owner";
    }

    static bool ourSettings(SettingsHandle settings, const char* operation)
    {
        if (reinterpret_cast<Settings*>(settings) == &host().settings_)
            return true;
        host().violation(std::string(operation) + " given settings this host did not hand out");
        return false;
    }

    static Option* option(OptionHandle handle, const char* operation)
    {
        if (handle != nullptr)
            return object<OptionHandle, Option>(handle);
        host().violation(std::string(operation) + " given a null option");
        return nullptr;
    }

    // --- dialogs and strings ---------------------------------------------

    static int HOST_CALL showAboutBox(const char* title, const char* body)
    {
        Host& h = host();
        h.record("showAboutBox", {quoted(title), quoted(body)});
        std::lock_guard lock(h.mutex_);
        h.aboutBoxes_.push_back({title ? title : "", body ? body : ""});
        return 0;
    }

    static StringHandle HOST_CALL newString()
    {
        Host& h = host();
        StringHandle handle;
        {
            std::lock_guard lock(h.mutex_);
            h.stringTokens_.push_back(0);
            handle = reinterpret_cast<StringHandle>(&h.stringTokens_.back());
            h.strings_[handle] = "";
            h.stringNumbers_[handle] = ++h.stringsCreated_;
        }
        h.record("newString", {});
        return handle;
    }

    static void HOST_CALL freeString(StringHandle string)
    {
        Host& h = host();
        h.record("freeString", {stringName(string)});
        if (!liveString(string, "freeString"))
            return;
        std::lock_guard lock(h.mutex_);
        h.strings_.erase(string);
    }

    static void HOST_CALL setString(StringHandle string, const char* text)
    {
        Host& h = host();
        h.record("setString", {stringName(string), quoted(text)});
        if (!liveString(string, "setString"))
            return;
        if (text == nullptr) {
            h.violation("setString given a null text");
            return;
        }
        std::lock_guard lock(h.mutex_);
        h.strings_[string] = text;
    }

    static int HOST_CALL compareStrings(StringHandle first, StringHandle second)
    {
        Host& h = host();
        h.record("compareStrings", {stringName(first), stringName(second)});
        if (!liveString(first, "compareStrings") || !liveString(second, "compareStrings"))
            return 1;
        std::lock_guard lock(h.mutex_);
        return h.strings_[first] == h.strings_[second] ? 0 : 1;
    }

    // --- images ----------------------------------------------------------

    static uint16_t* HOST_CALL imageRow(ImageHandle handle, int32_t row)
    {
        Host& h = host();
        h.record("imageRow", {imageName(handle), std::to_string(row)});
        Image* image = Internals::image(handle, "imageRow");
        if (image == nullptr)
            return nullptr;
        if (row < 0 || row >= image->geometry().height)
            h.violation("imageRow asked for row " + std::to_string(row) + " outside the image");
        uint16_t* samples = image->row(row);
        std::vector<CancelTrigger> fired;
        {
            std::lock_guard lock(h.mutex_);
            for (const CancelTrigger& trigger : h.cancelTriggers_)
                if (trigger.row == row)
                    fired.push_back(trigger);
        }
        for (const CancelTrigger& trigger : fired)
            std::atomic_ref<HostBool>(*trigger.flag)
                .store(trigger.value, std::memory_order_relaxed);
        return samples;
    }

    template <int32_t Geometry::*Field>
    static int32_t geometryField(ImageHandle handle, const char* operation)
    {
        host().record(operation, {imageName(handle)});
        Image* image = Internals::image(handle, operation);
        return image == nullptr ? 0 : image->geometry().*Field;
    }
    static int32_t HOST_CALL imageChannelStep(ImageHandle image)
    {
        return geometryField<&Geometry::channelStep>(image, "imageChannelStep");
    }
    static int32_t HOST_CALL imageBorder(ImageHandle image)
    {
        return geometryField<&Geometry::border>(image, "imageBorder");
    }
    static int32_t HOST_CALL imageKind(ImageHandle image)
    {
        return geometryField<&Geometry::kind>(image, "imageKind");
    }
    static int32_t HOST_CALL imagePixelStep(ImageHandle image)
    {
        return geometryField<&Geometry::pixelStep>(image, "imagePixelStep");
    }
    static int32_t HOST_CALL imageWidth(ImageHandle image)
    {
        return geometryField<&Geometry::width>(image, "imageWidth");
    }
    static int32_t HOST_CALL imageHeight(ImageHandle image)
    {
        return geometryField<&Geometry::height>(image, "imageHeight");
    }

    // --- registration ----------------------------------------------------

    static void registration(const Registration& registration, PluginHandle plugin,
                             std::vector<std::string> extra)
    {
        Host& h = host();
        std::vector<std::string> arguments{
            plugin == h.record_.pluginHandle ? kPluginName : "unknown-plugin", "hook"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        h.record(registration.operation, arguments);
        if (plugin != h.record_.pluginHandle)
            h.violation(registration.operation
                        + " given a plug-in handle this host did not hand out");
        std::lock_guard lock(h.mutex_);
        h.registrations_.push_back(registration);
    }

    static int HOST_CALL addSettingsHook(PluginHandle plugin, OptionHook hook)
    {
        registration({.operation = "addSettingsHook", .optionHook = hook}, plugin, {});
        return 0;
    }

    static int HOST_CALL setInitializeOptionsHook(PluginHandle plugin, OptionHook hook)
    {
        registration({.operation = "setInitializeOptionsHook", .optionHook = hook}, plugin, {});
        return 0;
    }

    static int HOST_CALL addProcess(PluginHandle plugin, ProcessHook hook, int32_t first,
                                    int32_t second)
    {
        registration({.operation = "addProcess",
                      .processHook = hook,
                      .processFirst = first,
                      .processSecond = second},
                     plugin, {std::to_string(first), std::to_string(second)});
        return 0;
    }

    static int HOST_CALL addAboutHandler(PluginHandle plugin, OptionHook hook, const char* key)
    {
        registration(
            {.operation = "addAboutHandler", .optionHook = hook, .aboutKey = key ? key : ""},
            plugin, {quoted(key)});
        return 0;
    }

    // --- options ---------------------------------------------------------

    static OptionHandle HOST_CALL findOption(SettingsHandle settings, const char* key)
    {
        Host& h = host();
        h.record("findOption", {kSettingsName, quoted(key)});
        if (!ourSettings(settings, "findOption") || key == nullptr)
            return nullptr;
        return reinterpret_cast<OptionHandle>(h.settings_.find(key));
    }

    static int define(OptionsHandle options, const char* operation, OptionKind kind,
                      const char* key, const char* group, const char* label, int32_t defaultValue,
                      int32_t reserved)
    {
        Host& h = host();
        h.record(operation,
                 {options == h.record_.optionsHandle ? kOptionsName : "unknown-options",
                  quoted(key), quoted(group), quoted(label), std::to_string(defaultValue),
                  std::to_string(reserved)});
        if (options != h.record_.optionsHandle)
            h.violation(std::string(operation)
                        + " given an options handle this host did not hand out");
        if (key == nullptr || group == nullptr || label == nullptr) {
            h.violation(std::string(operation) + " given a null text");
            return -1;
        }
        h.settings_.define({key, kind, group, label, defaultValue, defaultValue});
        return 0;
    }

    static int HOST_CALL defineBoolOption(OptionsHandle options, const char* key, const char* group,
                                          const char* label, int32_t defaultValue, int32_t reserved)
    {
        return define(options, "defineBoolOption", OptionKind::Bool, key, group, label,
                      defaultValue, reserved);
    }

    static int HOST_CALL defineIntOption(OptionsHandle options, const char* key, const char* group,
                                         const char* label, int32_t defaultValue, int32_t reserved)
    {
        return define(options, "defineIntOption", OptionKind::Int, key, group, label, defaultValue,
                      reserved);
    }

    static void HOST_CALL lockSettings(SettingsHandle settings, int32_t zero)
    {
        Host& h = host();
        h.record("lockSettings", {kSettingsName, std::to_string(zero)});
        if (!ourSettings(settings, "lockSettings"))
            return;
        if (h.settings_.heldByThisThread()) {
            h.violation("lockSettings while this thread already holds the lock");
            return;
        }
        h.settings_.lock();
    }

    static void HOST_CALL unlockSettings(SettingsHandle settings, int32_t zero)
    {
        Host& h = host();
        h.record("unlockSettings", {kSettingsName, std::to_string(zero)});
        if (ourSettings(settings, "unlockSettings") && !h.settings_.unlock())
            h.violation("unlockSettings without holding the lock");
    }

    static ChangeSet* changeSet(ChangeSetHandle handle, const char* operation)
    {
        Host& h = host();
        {
            std::lock_guard lock(h.mutex_);
            for (auto& changes : h.changeSets_)
                if (reinterpret_cast<ChangeSetHandle>(changes.get()) == handle)
                    return changes.get();
        }
        h.violation(std::string(operation) + " given a change set this host did not hand out ("
                    + changeSetName(handle) + ")");
        return nullptr;
    }

    static int HOST_CALL changeSetHas(ChangeSetHandle handle, const char* key)
    {
        Host& h = host();
        h.record("changeSetHas", {changeSetName(handle), quoted(key)});
        ChangeSet* changes = changeSet(handle, "changeSetHas");
        if (changes == nullptr || key == nullptr)
            return 0;
        std::lock_guard lock(h.mutex_);
        return changes->keys.count(key) != 0 ? 1 : 0;
    }

    static void HOST_CALL changeSetAdd(ChangeSetHandle handle, OptionHandle optionHandle)
    {
        Host& h = host();
        h.record("changeSetAdd", {changeSetName(handle), optionName(optionHandle)});
        ChangeSet* changes = changeSet(handle, "changeSetAdd");
        Option* added = option(optionHandle, "changeSetAdd");
        if (changes == nullptr || added == nullptr)
            return;
        std::lock_guard lock(h.mutex_);
        changes->keys.insert(added->key);
        changes->added.push_back(added->key);
    }

    static HostBool HOST_CALL boolValue(OptionHandle handle)
    {
        host().record("boolValue", {optionName(handle)});
        Option* read = option(handle, "boolValue");
        return read == nullptr ? 0 : static_cast<HostBool>(read->value != 0);
    }

    static int32_t HOST_CALL intValue(OptionHandle handle)
    {
        host().record("intValue", {optionName(handle)});
        Option* read = option(handle, "intValue");
        return read == nullptr ? 0 : read->value;
    }

    static void HOST_CALL setBoolValue(OptionHandle handle, int32_t value)
    {
        host().record("setBoolValue", {optionName(handle), std::to_string(value)});
        if (Option* written = option(handle, "setBoolValue"))
            written->value = value != 0 ? 1 : 0;
    }

    static void HOST_CALL ownerName(OwnerHandle handle, StringHandle name)
    {
        Host& h = host();
        h.record("ownerName", {Internals::ownerName(handle), stringName(name)});
        if (!liveString(name, "ownerName"))
            return;
        std::lock_guard lock(h.mutex_);
        for (auto& owner : h.owners_)
            if (reinterpret_cast<OwnerHandle>(owner.get()) == handle) {
                h.strings_[name] = owner->name;
                return;
            }
        h.violations_.push_back("ownerName given an owner this host did not hand out");
    }
};

Host::Host()
{
    Host* expected = nullptr;
    if (!activeHost.compare_exchange_strong(expected, this))
        throw std::logic_error("only one stand-in host may be active at a time");
    // The plug-in and options handles are opaque to the plug-in; any stable,
    // distinct addresses of ours will do.
    record_.pluginHandle = reinterpret_cast<PluginHandle>(&registrations_);
    record_.optionsHandle = reinterpret_cast<OptionsHandle>(&settings_);
    record_.interfaceVersion = -1;
    record_.clearedWord = 0xDEADBEEF;
    fillOperations();
}

Host::~Host()
{
    activeHost.store(nullptr);
}

Host& Host::active()
{
    Host* host = activeHost.load();
    if (host == nullptr)
        throw std::logic_error("a host operation was called with no stand-in host active");
    return *host;
}

void Host::fillOperations()
{
    using I = Internals;
    record_.showAboutBox = I::showAboutBox;
    record_.newString = I::newString;
    record_.freeString = I::freeString;
    record_.setString = I::setString;
    record_.compareStrings = I::compareStrings;
    record_.imageRow = I::imageRow;
    record_.imageChannelStep = I::imageChannelStep;
    record_.imageBorder = I::imageBorder;
    record_.imageKind = I::imageKind;
    record_.imagePixelStep = I::imagePixelStep;
    record_.imageWidth = I::imageWidth;
    record_.imageHeight = I::imageHeight;
    record_.addSettingsHook = I::addSettingsHook;
    record_.setInitializeOptionsHook = I::setInitializeOptionsHook;
    record_.addProcess = I::addProcess;
    record_.addAboutHandler = I::addAboutHandler;
    record_.findOption = I::findOption;
    record_.defineBoolOption = I::defineBoolOption;
    record_.defineIntOption = I::defineIntOption;
    record_.lockSettings = I::lockSettings;
    record_.unlockSettings = I::unlockSettings;
    record_.changeSetHas = I::changeSetHas;
    record_.changeSetAdd = I::changeSetAdd;
    record_.boolValue = I::boolValue;
    record_.intValue = I::intValue;
    record_.setBoolValue = I::setBoolValue;
    record_.ownerName = I::ownerName;
}

void Host::record(const std::string& operation, std::vector<std::string> arguments)
{
    Call call{operation, std::move(arguments), settings_.heldByThisThread()};
    std::function<void(const Call&)> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer)
        observer(call);
    log_.record(std::move(call));
}

void Host::setObserver(std::function<void(const Call&)> observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void Host::violation(const std::string& what)
{
    std::lock_guard lock(mutex_);
    violations_.push_back(what);
}

void Host::defineDefaults()
{
    settings_.define(
        {"vivanto_enabled", OptionKind::Bool, "vivanto_plugin", "Enable vivanto plugin", 0, 0});
    settings_.define(
        {"vivanto_rg", OptionKind::Int, "vivanto_plugin", "Pop the reds and greens", 15, 15});
    settings_.define(
        {"vivanto_by", OptionKind::Int, "vivanto_plugin", "Pop the blues and yellows.", 35, 35});
}

void Host::setBool(const std::string& key, bool value)
{
    Option* option = settings_.find(key);
    if (option == nullptr)
        option = &settings_.define({key, OptionKind::Bool, "", key, 0, 0});
    option->value = value ? 1 : 0;
}

void Host::setInt(const std::string& key, int32_t value)
{
    Option* option = settings_.find(key);
    if (option == nullptr)
        option = &settings_.define({key, OptionKind::Int, "", key, 0, 0});
    option->value = value;
}

int32_t Host::value(const std::string& key)
{
    Option* option = settings_.find(key);
    if (option == nullptr)
        throw std::out_of_range("no option " + key);
    return option->value;
}

Owner* Host::owner(const std::string& name)
{
    std::lock_guard lock(mutex_);
    owners_.push_back(std::make_unique<Owner>(Owner{name}));
    return owners_.back().get();
}

ChangeSet* Host::changeSet(std::initializer_list<std::string> keys)
{
    std::lock_guard lock(mutex_);
    changeSets_.push_back(std::make_unique<ChangeSet>());
    changeSets_.back()->keys.insert(keys.begin(), keys.end());
    return changeSets_.back().get();
}

OptionData Host::edit(Owner* owner, ChangeSet* changes)
{
    return {reinterpret_cast<SettingsHandle>(&settings_), reinterpret_cast<OwnerHandle>(owner),
            reinterpret_cast<ChangeSetHandle>(changes)};
}

Image& Host::addImage(const Geometry& geometry, Guards guards)
{
    auto image = std::make_unique<Image>(geometry, guards);
    std::lock_guard lock(mutex_);
    images_.push_back(std::move(image));
    return *images_.back();
}

Image& Host::addImageOver(const Geometry& geometry, uint16_t* firstPixel, int64_t rowStride)
{
    auto image = std::make_unique<Image>(geometry, firstPixel, rowStride);
    std::lock_guard lock(mutex_);
    images_.push_back(std::move(image));
    return *images_.back();
}

void Host::removeImage(const Image& image)
{
    std::unique_ptr<Image> released;
    std::lock_guard lock(mutex_);
    auto found =
        std::find_if(images_.begin(), images_.end(),
                     [&](const std::unique_ptr<Image>& held) { return held.get() == &image; });
    if (found == images_.end())
        return;
    released = std::move(*found);
    images_.erase(found);
}

PipeData Host::pipe(Image* image, HostBool* cancelFlag)
{
    return {reinterpret_cast<SettingsHandle>(&settings_), reinterpret_cast<ImageHandle>(image),
            cancelFlag};
}

void Host::cancelWhenRowFetched(int32_t row, HostBool* flag, HostBool value)
{
    std::lock_guard lock(mutex_);
    cancelTriggers_.push_back({row, flag, value});
}

std::vector<std::string> Host::violations() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> out = violations_;
    if (settings_.heldByThisThread())
        out.push_back("the settings lock is still held");
    return out;
}

std::vector<Registration> Host::registrations() const
{
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::vector<AboutBox> Host::aboutBoxes() const
{
    std::lock_guard lock(mutex_);
    return aboutBoxes_;
}

int Host::stringsLive() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(strings_.size());
}

ProcessHook Host::processHook() const
{
    ProcessHook hook = nullptr;
    for (const Registration& r : registrations())
        if (r.operation == "addProcess")
            hook = r.processHook;
    return hook;
}

std::vector<OptionHook> Host::settingsHooks() const
{
    std::vector<OptionHook> hooks;
    for (const Registration& r : registrations())
        if (r.operation == "addSettingsHook")
            hooks.push_back(r.optionHook);
    return hooks;
}

OptionHook Host::aboutHook() const
{
    OptionHook hook = nullptr;
    for (const Registration& r : registrations())
        if (r.operation == "addAboutHandler")
            hook = r.optionHook;
    return hook;
}

OptionHook Host::initializeHook() const
{
    OptionHook hook = nullptr;
    for (const Registration& r : registrations())
        if (r.operation == "setInitializeOptionsHook")
            hook = r.optionHook;
    return hook;
}

} // namespace standin
