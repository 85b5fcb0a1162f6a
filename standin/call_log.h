// The stand-in host's record of every call the plug-in made into it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace standin {

struct Call {
    std::string operation;
    std::vector<std::string> arguments;
    bool settingsLocked = false; // whether the calling thread held the settings lock

    // "operation(arg1, arg2)": how tests compare sequences.
    std::string text() const;
};

// Thread-safe, since render threads may call the host at once.
class CallLog {
public:
    void record(Call call);
    void clear();
    std::vector<Call> calls() const;
    // The calls as text, optionally only those whose operation is listed.
    std::vector<std::string> texts(const std::vector<std::string>& onlyOperations = {}) const;
    std::size_t count(const std::string& operation) const;

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

std::string quoted(const char* text);

} // namespace standin
