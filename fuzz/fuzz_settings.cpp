// Fuzzes registration and the hooks the editor calls around a settings edit.
//
// Each input registers the plug-in once or twice with a fresh stand-in host,
// then plays a short session of edits: before each, the switch and sliders
// may be removed, restored or switched; the edit's owner is null, this
// plug-in's stage ("HueflarePlugin_pop"), a near miss of that name or any
// other name; its change set is null or holds any subset of the three keys
// (and perhaps another stage's key); and one of the four option hooks is
// called. A model of the settings predicts each hook's answer, its exact host
// calls, the switch afterwards and the change set's additions; the host must
// end every call with no live string and no breach of its rules.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

using fuzz_support::check;
using fuzz_support::checkCalls;
using fuzz_support::kBlueYellow;
using fuzz_support::kEnabled;
using fuzz_support::kRedGreen;

constexpr const char* kOwnStage = "HueflarePlugin_pop";
constexpr const char* kForeignKey = "sharpen_amount";
constexpr int kMaxEdits = 8;

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string definition(const char* operation, const char* key, const char* label, int defaultValue)
{
    return std::string(operation) + "(options, " + quoted(key) + ", \"vivanto_plugin\", "
        + quoted(label) + ", " + std::to_string(defaultValue) + ", 0)";
}

// What one RegisterPlugin asks of the host, in order.
std::vector<std::string> registrationCalls()
{
    return {definition("defineBoolOption", kEnabled, "Enable vivanto plugin", 0),
            definition("defineIntOption", kRedGreen, "Pop the reds and greens", 15),
            definition("defineIntOption", kBlueYellow, "Pop the blues and yellows.", 35),
            "setInitializeOptionsHook(plugin, hook)",
            "addSettingsHook(plugin, hook)",
            "addAboutHandler(plugin, hook, \"vivanto_about\")",
            "addSettingsHook(plugin, hook)",
            "addProcess(plugin, hook, 9, 4)"};
}

enum class Hook { AboutToChange, DoDependencies, About, InitializeOptions };

// What the host holds and has handed out so far, as the plug-in should see it.
struct Model {
    bool switchPresent = true;
    bool switchOn = false;
    int ownersMade = 0;
    int changeSetsMade = 0;
};

std::string ownerNameFrom(FuzzedDataProvider& in)
{
    static const char* const kNames[] = {kOwnStage,
                                         "HueflarePlugin_po",
                                         "HueflarePlugin_pop ",
                                         "hueflareplugin_pop",
                                         "HueflarePlugin_pop\n",
                                         "",
                                         "Sharpen"};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
    case 1:
        return kOwnStage;
    case 2:
        return in.PickValueInArray(kNames);
    default:
        return in.ConsumeRandomLengthString(24);
    }
}

void registerPlugin(standin::Host& host, int times)
{
    std::vector<std::string> want;
    for (int i = 0; i < times; ++i) {
        check(fuzz_support::plugin().registerPlugin(host.record()) == 0,
              "RegisterPlugin did not answer 0");
        check(host.record()->interfaceVersion == 5 && host.record()->clearedWord == 0,
              "RegisterPlugin did not set the interface version and clear the word");
        std::vector<std::string> once = registrationCalls();
        want.insert(want.end(), once.begin(), once.end());
    }
    checkCalls(host.calls(), want, "RegisterPlugin");
    check(host.settingsHooks().size() == 2 * static_cast<std::size_t>(times),
          "not two settings hooks");
    check(fuzz_support::plugin().getVersion() == 5, "getVersion did not answer 5");
    host.log().clear();
}

// Applies the input's changes to the settings before an edit.
void changeSettings(FuzzedDataProvider& in, standin::Host& host, Model& model)
{
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        model.switchPresent = !model.switchPresent;
        if (model.switchPresent)
            host.setBool(kEnabled, model.switchOn);
        else
            host.removeOption(kEnabled);
    }
    if (model.switchPresent && in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        model.switchOn = !model.switchOn;
        host.setBool(kEnabled, model.switchOn);
    }
    // The sliders' presence and values must make no difference to the hooks.
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        host.removeOption(kRedGreen);
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        host.setInt(kBlueYellow, in.ConsumeIntegral<int32_t>());
}

struct Outcome {
    int result = 0;
    std::vector<std::string> calls;
    bool switchTurnedOn = false;
    int stringsCreated = 0;
};

Outcome expectedDependencies(const Model& model, bool withOwner, bool own,
                             const std::set<std::string>* keys, int stringsBefore)
{
    Outcome o;
    if (!withOwner) {
        o.result = -1;
        return o;
    }
    std::string ownName = "string" + std::to_string(stringsBefore + 1);
    std::string ownerName = "string" + std::to_string(stringsBefore + 2);
    std::string owner = "owner" + std::to_string(model.ownersMade);
    o.stringsCreated = 2;
    o.calls = {"newString()",
               "newString()",
               "setString(" + ownName + ", " + quoted(kOwnStage) + ")",
               "ownerName(" + owner + ", " + ownerName + ")",
               "compareStrings(" + ownerName + ", " + ownName + ")",
               "freeString(" + ownName + ")",
               "freeString(" + ownerName + ")"};
    // An edit of our stage without a change set ends quietly: there is nothing
    // to add the switch to.
    if (!own || keys == nullptr)
        return o;
    std::string changes = "changes" + std::to_string(model.changeSetsMade);
    auto has = [&](const char* key) {
        o.calls.push_back("changeSetHas(" + changes + ", " + quoted(key) + ")");
        return keys->count(key) != 0;
    };
    if (has(kEnabled))
        return o;
    o.calls.push_back("findOption(settings, " + quoted(kEnabled) + ")");
    if (!model.switchPresent)
        return o;
    o.calls.push_back("boolValue(<" + std::string(kEnabled) + ">)");
    if (model.switchOn)
        return o;
    if (!has(kBlueYellow) && !has(kRedGreen))
        return o;
    o.calls.push_back("findOption(settings, " + quoted(kEnabled) + ")");
    o.calls.push_back("setBoolValue(<" + std::string(kEnabled) + ">, 1)");
    o.calls.push_back("changeSetAdd(" + changes + ", <" + std::string(kEnabled) + ">)");
    o.switchTurnedOn = true;
    return o;
}

void playEdit(FuzzedDataProvider& in, standin::Host& host, Model& model)
{
    changeSettings(in, host, model);

    standin::Owner* owner = nullptr;
    std::string ownerName;
    if (in.ConsumeIntegralInRange<int>(0, 4) != 0) {
        ownerName = ownerNameFrom(in);
        owner = host.owner(ownerName);
        ++model.ownersMade;
    }
    standin::ChangeSet* changes = nullptr;
    if (in.ConsumeIntegralInRange<int>(0, 4) != 0) {
        changes = host.changeSet({});
        ++model.changeSetsMade;
        auto members = in.ConsumeIntegral<uint8_t>();
        const char* const keys[] = {kEnabled, kRedGreen, kBlueYellow, kForeignKey};
        for (unsigned k = 0; k < 4; ++k)
            if ((members >> k) & 1u)
                changes->keys.insert(keys[k]);
    }
    const std::set<std::string> keysBefore =
        changes != nullptr ? changes->keys : std::set<std::string>{};
    OptionData edit = host.edit(owner, changes);
    const OptionData editBefore = edit;
    const int stringsBefore = host.stringsCreated();
    std::vector<OptionHook> settingsHooks = host.settingsHooks();

    Outcome want;
    int result = 0;
    switch (in.PickValueInArray({Hook::AboutToChange, Hook::DoDependencies, Hook::DoDependencies,
                                 Hook::About, Hook::InitializeOptions})) {
    case Hook::AboutToChange:
        result = settingsHooks.at(0)(host.record(), &edit);
        want.result = owner == nullptr || changes == nullptr ? -1 : 0;
        break;
    case Hook::DoDependencies:
        result = settingsHooks.at(1)(host.record(), &edit);
        want = expectedDependencies(model, owner != nullptr, ownerName == kOwnStage,
                                    changes != nullptr ? &keysBefore : nullptr, stringsBefore);
        break;
    case Hook::About: {
        std::size_t boxesBefore = host.aboutBoxes().size();
        result = host.aboutHook()(host.record(), in.ConsumeBool() ? &edit : nullptr);
        std::vector<standin::AboutBox> boxes = host.aboutBoxes();
        check(boxes.size() == boxesBefore + 1 && boxes.back().title == "About Vivanto Plugin"
                  && boxes.back().body.starts_with("<center><h2>About Vivanto</h2></center>"),
              "handleAbout did not show the About box");
        check(host.log().count("showAboutBox") == 1 && host.log().calls().size() == 1,
              "handleAbout made other host calls");
        host.log().clear();
        break;
    }
    case Hook::InitializeOptions:
        result = host.initializeHook()(host.record(), in.ConsumeBool() ? &edit : nullptr);
        break;
    }

    check(result == want.result,
          "hook answered " + std::to_string(result) + ", want " + std::to_string(want.result));
    checkCalls(host.calls(), want.calls, "option hook");
    check(host.stringsLive() == 0, "a host string outlived the hook");
    check(host.stringsCreated() - stringsBefore == want.stringsCreated,
          "wrong number of host strings created");
    check(edit.settings == editBefore.settings && edit.owner == editBefore.owner
              && edit.changeSet == editBefore.changeSet,
          "a hook wrote into the edit record");

    if (want.switchTurnedOn)
        model.switchOn = true;
    if (model.switchPresent)
        check(host.value(kEnabled) == (model.switchOn ? 1 : 0), "the switch holds the wrong value");
    if (changes != nullptr) {
        std::set<std::string> keysWant = keysBefore;
        if (want.switchTurnedOn)
            keysWant.insert(kEnabled);
        check(changes->keys == keysWant, "the change set holds the wrong keys");
        check(changes->added
                  == (want.switchTurnedOn ? std::vector<std::string>{kEnabled}
                                          : std::vector<std::string>{}),
              "the change set gained the wrong options");
    }
    fuzz_support::checkNoViolations(host);
    host.log().clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    standin::Host host;
    registerPlugin(host, in.ConsumeIntegralInRange<int>(1, 2));
    Model model;
    for (int edit = 0; edit < kMaxEdits && in.remaining_bytes() > 0; ++edit)
        playEdit(in, host, model);
    check(fuzz_support::plugin().unRegisterPlugin() == 0, "unRegisterPlugin did not answer 0");
    return 0;
}
