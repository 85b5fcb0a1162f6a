#include "call_log.h"

#include <algorithm>

namespace standin {

std::string Call::text() const
{
    std::string out = operation + "(";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += arguments[i];
    }
    return out + ")";
}

void CallLog::record(Call call)
{
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

void CallLog::clear()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::vector<Call> CallLog::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> CallLog::texts(const std::vector<std::string>& onlyOperations) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Call& call : calls_) {
        bool wanted = onlyOperations.empty()
            || std::find(onlyOperations.begin(), onlyOperations.end(), call.operation)
                != onlyOperations.end();
        if (wanted)
            out.push_back(call.text());
    }
    return out;
}

std::size_t CallLog::count(const std::string& operation) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(),
                      [&](const Call& call) { return call.operation == operation; }));
}

std::string quoted(const char* text)
{
    if (text == nullptr)
        return "null";
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict, its bug 105329)
    // about the memcpy inside `"\"" + std::string(text)` at -O2 and above.
    std::string out(1, '"');
    out += text;
    out += '"';
    return out;
}

} // namespace standin
