// The host's side of settings: options stored by key, the settings lock, the
// change set of one edit, and the owner an edit belongs to.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace standin {

enum class OptionKind { Bool, Int };

struct Option {
    std::string key;
    OptionKind kind = OptionKind::Int;
    std::string group;
    std::string label;
    int32_t defaultValue = 0;
    int32_t value = 0;
};

// Options by key, behind a lock that knows whether (and by whom) it is held.
class Settings {
public:
    // Adds the option, or redefines it (value back to the default) when the
    // key exists; the handle of an existing key stays valid.
    Option& define(const Option& option);
    Option* find(const std::string& key);
    void remove(const std::string& key);
    std::vector<const Option*> inDefinitionOrder() const;

    void lock();
    // False when the calling thread did not hold the lock.
    bool unlock();
    bool heldByThisThread() const;

private:
    std::map<std::string, std::unique_ptr<Option>> options_;
    std::vector<std::string> definitionOrder_;
    std::vector<std::unique_ptr<Option>> retired_;
    std::mutex lock_;
    mutable std::mutex holderMutex_;
    std::thread::id holder_;
};

// The options one settings edit changes, by key.
struct ChangeSet {
    std::set<std::string> keys;
    std::vector<std::string> added; // keys the plug-in added, in order
};

// The processing stage an edit belongs to.
struct Owner {
    std::string name;
};

} // namespace standin
