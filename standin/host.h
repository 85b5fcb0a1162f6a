// Our stand-in for the host editor: fills a BibblePluginData with working
// operations over in-memory settings, change sets, owners, strings and images,
// logs every call the plug-in makes, and notes every breach of the host's
// rules (unbalanced locks, strings leaked or used after release, null handles)
// instead of crashing.
//
// The host's operations carry no context of their own (newString takes no
// argument), so one Host is active per process at a time; its operations may
// be called from several threads at once.
//
//     standin::Host host;
//     host.defineDefaults();
//     host.setInt("vivanto_rg", 40);
//     auto& image = host.addImage({.width = 4, .height = 2, .border = 1});
//     PipeData pipe = host.pipe(&image);
//     process(host.record(), &pipe);
#pragma once

#include "bibble_host.h"
#include "call_log.h"
#include "image.h"
#include "settings.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// One registration the plug-in made, in order.
struct Registration {
    std::string operation; // setInitializeOptionsHook, addSettingsHook, addAboutHandler, addProcess
    OptionHook optionHook = nullptr;
    ProcessHook processHook = nullptr;
    std::string aboutKey;
    int32_t processFirst = 0;
    int32_t processSecond = 0;
};

struct AboutBox {
    std::string title;
    std::string body;
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The record handed to RegisterPlugin and every hook.
    BibblePluginData* record() { return &record_; }

    // --- settings -------------------------------------------------------
    Settings& settings() { return settings_; }
    // Defines the plug-in's three options with their shipped defaults, as a
    // host that had loaded the plug-in before would hold them.
    void defineDefaults();
    void setBool(const std::string& key, bool value);
    void setInt(const std::string& key, int32_t value);
    int32_t value(const std::string& key); // throws when the option is missing
    void removeOption(const std::string& key) { settings_.remove(key); }

    // --- settings edits -------------------------------------------------
    Owner* owner(const std::string& name);
    ChangeSet* changeSet(std::initializer_list<std::string> keys);
    // The record of one edit; owner and change set may be null.
    OptionData edit(Owner* owner, ChangeSet* changes);

    // --- images and rendering -------------------------------------------
    Image& addImage(const Geometry& geometry, Guards guards = {});
    // An image over the caller's samples (see Image's second constructor),
    // so that a stage works on them where they are, with no copy.
    Image& addImageOver(const Geometry& geometry, uint16_t* firstPixel, int64_t rowStride);
    // Lets go of an image once its render is over, so that a host rendering
    // many images keeps only the pixels still in use. Its handle is then
    // unknown to the operations, as any handle this host did not hand out.
    void removeImage(const Image& image);
    // The record of one render; image and cancel flag may be null.
    PipeData pipe(Image* image, HostBool* cancelFlag = nullptr);
    // Stores `value` into `flag` as the plug-in fetches row `row`, as a host
    // whose user cancels mid-render would.
    void cancelWhenRowFetched(int32_t row, HostBool* flag, HostBool value);

    // --- what the plug-in did -------------------------------------------
    CallLog& log() { return log_; }
    std::vector<std::string> calls(const std::vector<std::string>& only = {}) const
    {
        return log_.texts(only);
    }
    // Breaches of the host's rules, as readable sentences; empty when clean.
    std::vector<std::string> violations() const;
    std::vector<Registration> registrations() const;
    std::vector<AboutBox> aboutBoxes() const;
    int stringsCreated() const { return stringsCreated_; }
    int stringsLive() const;

    // The hooks as the plug-in registered them (the last of each kind).
    ProcessHook processHook() const;
    std::vector<OptionHook> settingsHooks() const;
    OptionHook aboutHook() const;
    OptionHook initializeHook() const;

    // Called with every call as it is logged, before the host does its work:
    // lets a test look at the world from inside a call.
    void setObserver(std::function<void(const Call&)> observer);

    // Handle names as they appear in the call log.
    static constexpr const char* kPluginName = "plugin";
    static constexpr const char* kOptionsName = "options";
    static constexpr const char* kSettingsName = "settings";

    // Internal to the operations: the active host.
    static Host& active();
    void record(const std::string& operation, std::vector<std::string> arguments);
    void violation(const std::string& what);
    struct Internals;

private:
    void fillOperations();

    BibblePluginData record_{};
    Settings settings_;
    CallLog log_;
    mutable std::mutex mutex_; // guards everything below
    std::vector<std::string> violations_;
    std::vector<Registration> registrations_;
    std::vector<AboutBox> aboutBoxes_;
    std::deque<std::unique_ptr<Owner>> owners_;
    std::deque<std::unique_ptr<ChangeSet>> changeSets_;
    std::deque<std::unique_ptr<Image>> images_;
    std::map<const void*, std::string> strings_; // live strings and their text
    std::map<const void*, int> stringNumbers_;   // every string ever made
    std::deque<char> stringTokens_;              // addresses serving as string handles
    int stringsCreated_ = 0;
    struct CancelTrigger {
        int32_t row;
        HostBool* flag;
        HostBool value;
    };
    std::vector<CancelTrigger> cancelTriggers_;
    std::function<void(const Call&)> observer_;
};

} // namespace standin
