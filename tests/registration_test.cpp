// The plug-in as the editor loads it: entry points looked up by name,
// registration of options and hooks in their fixed order, the About box and
// the options initialiser, all reached through what the plug-in registered.
#include "loaded_plugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using testing_support::LoadedPlugin;
using testing_support::pluginLibrary;

namespace {

const std::vector<std::string> kRegistrationCalls = {
    "defineBoolOption(options, \"vivanto_enabled\", \"vivanto_plugin\", \"Enable vivanto plugin\", 0, 0)",
    "defineIntOption(options, \"vivanto_rg\", \"vivanto_plugin\", \"Pop the reds and greens\", 15, 0)",
    "defineIntOption(options, \"vivanto_by\", \"vivanto_plugin\", \"Pop the blues and yellows.\", 35, 0)",
    "setInitializeOptionsHook(plugin, hook)",
    "addSettingsHook(plugin, hook)",
    "addAboutHandler(plugin, hook, \"vivanto_about\")",
    "addSettingsHook(plugin, hook)",
    "addProcess(plugin, hook, 9, 4)",
};

TEST(Registration, DefinesThreeOptionsThenRegistersFiveHooksInOrder)
{
    standin::Host host;
    bool sawFirstCall = false;
    host.setObserver([&](const standin::Call&) {
        if (sawFirstCall)
            return;
        sawFirstCall = true;
        EXPECT_EQ(host.record()->clearedWord, 0u)
            << "clearedWord written after the first host call";
        EXPECT_EQ(host.record()->interfaceVersion, 5)
            << "interfaceVersion written after the first host call";
    });

    EXPECT_EQ(pluginLibrary().registerPlugin(host.record()), 0);
    EXPECT_EQ(host.calls(), kRegistrationCalls);
    EXPECT_EQ(host.record()->clearedWord, 0u);
    EXPECT_EQ(host.record()->interfaceVersion, 5);
    EXPECT_TRUE(host.violations().empty());

    auto settingsHooks = host.settingsHooks();
    ASSERT_EQ(settingsHooks.size(), 2u);
    std::vector<const void*> hooks = {reinterpret_cast<const void*>(host.initializeHook()),
                                      reinterpret_cast<const void*>(settingsHooks[0]),
                                      reinterpret_cast<const void*>(host.aboutHook()),
                                      reinterpret_cast<const void*>(settingsHooks[1]),
                                      reinterpret_cast<const void*>(host.processHook())};
    for (std::size_t i = 0; i < hooks.size(); ++i) {
        EXPECT_NE(hooks[i], nullptr);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(hooks[i], hooks[j])
                << "hooks " << j << " and " << i << " are the same function";
    }
}

TEST(Registration, DefinedOptionsCarryKindGroupLabelAndDefault)
{
    LoadedPlugin plugin;
    auto options = plugin.host.settings().inDefinitionOrder();
    ASSERT_EQ(options.size(), 3u);
    struct Expected {
        const char* key;
        standin::OptionKind kind;
        const char* label;
        int32_t defaultValue;
    } expected[] = {
        {"vivanto_enabled", standin::OptionKind::Bool, "Enable vivanto plugin", 0},
        {"vivanto_rg", standin::OptionKind::Int, "Pop the reds and greens", 15},
        {"vivanto_by", standin::OptionKind::Int, "Pop the blues and yellows.", 35},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(options[i]->key, expected[i].key);
        EXPECT_EQ(options[i]->kind, expected[i].kind);
        EXPECT_EQ(options[i]->group, "vivanto_plugin");
        EXPECT_EQ(options[i]->label, expected[i].label);
        EXPECT_EQ(options[i]->defaultValue, expected[i].defaultValue);
    }
}

TEST(Registration, ASecondCallRegistersEverythingAgain)
{
    standin::Host host;
    ASSERT_EQ(pluginLibrary().registerPlugin(host.record()), 0);
    ASSERT_EQ(pluginLibrary().registerPlugin(host.record()), 0);
    std::vector<std::string> twice = kRegistrationCalls;
    twice.insert(twice.end(), kRegistrationCalls.begin(), kRegistrationCalls.end());
    EXPECT_EQ(host.calls(), twice);
    EXPECT_EQ(host.registrations().size(), 10u);
}

// A private copy of the library, so this test sees it before any registration
// no matter which tests ran first in this process.
TEST(Lifecycle, VersionAndUnregisterAnswerBeforeDuringAndAfterRegistration)
{
    namespace fs = std::filesystem;
    fs::path copy = fs::temp_directory_path()
        / ("vivanto-lifecycle-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())
           + fs::path(pluginLibrary().path()).filename().string());
    fs::copy_file(pluginLibrary().path(), copy, fs::copy_options::overwrite_existing);
    {
        standin::PluginLibrary fresh(copy.string());
        standin::Host host;
        EXPECT_EQ(fresh.getVersion(), 5);
        EXPECT_EQ(fresh.unRegisterPlugin(), 0);

        std::vector<int> versionsDuring;
        host.setObserver(
            [&](const standin::Call&) { versionsDuring.push_back(fresh.getVersion()); });
        EXPECT_EQ(fresh.registerPlugin(host.record()), 0);
        host.setObserver(nullptr);
        EXPECT_EQ(versionsDuring, std::vector<int>(kRegistrationCalls.size(), 5));

        host.log().clear();
        EXPECT_EQ(fresh.getVersion(), 5);
        EXPECT_EQ(fresh.unRegisterPlugin(), 0);
        EXPECT_EQ(fresh.unRegisterPlugin(), 0);
        EXPECT_TRUE(host.calls().empty())
            << "getVersion and unRegisterPlugin call no host operation";
    }
    fs::remove(copy);
}

TEST(About, ShowsTheTitleAndBodyByteForByteAndReadsNoRecord)
{
    const std::string body = std::string("<center><h2>About Vivanto</h2></center>")
        + "<p><center>Version: 0.9</center></p>"
        + "<p>Vivanto is a plugin that allows for easy color adjustment without changing the exposure "
          "and contrast of the image. </p>"
        + ""
        + "<p><i>I always appreciate comments on improvents or see examples of what you do with "
          "Vivanto. Donations are also welcomed. This might tempt me to add more features, or even "
          "create new plugins.</i></p>";
    LoadedPlugin plugin;
    OptionData record = plugin.host.edit(plugin.host.owner("anything"), plugin.host.changeSet({}));

    EXPECT_EQ(plugin.about(nullptr), 0);
    EXPECT_EQ(plugin.about(&record), 0);
    auto boxes = plugin.host.aboutBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.title, "About Vivanto Plugin");
        EXPECT_EQ(box.body, body);
    }
    EXPECT_EQ(plugin.host.log().count("showAboutBox"), 2u);
    EXPECT_EQ(plugin.host.calls().size(), 2u) << "the About handler makes no other host call";
}

TEST(InitializeOptions, AnswersZeroAndCallsNothing)
{
    LoadedPlugin plugin;
    OptionData record = plugin.host.edit(nullptr, nullptr);
    EXPECT_EQ(plugin.initializeOptions(nullptr), 0);
    EXPECT_EQ(plugin.initializeOptions(&record), 0);
    EXPECT_TRUE(plugin.host.calls().empty());
}

} // namespace
