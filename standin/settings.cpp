#include "settings.h"

namespace standin {

Option& Settings::define(const Option& option)
{
    auto found = options_.find(option.key);
    if (found != options_.end()) {
        *found->second = option;
        return *found->second;
    }
    definitionOrder_.push_back(option.key);
    auto& stored = options_[option.key];
    stored = std::make_unique<Option>(option);
    return *stored;
}

Option* Settings::find(const std::string& key)
{
    auto found = options_.find(key);
    return found == options_.end() ? nullptr : found->second.get();
}

void Settings::remove(const std::string& key)
{
    auto found = options_.find(key);
    if (found == options_.end())
        return;
    // A plug-in may still hold the handle; keep the object so a late use reads
    // stale data instead of freed memory.
    retired_.push_back(std::move(found->second));
    options_.erase(found);
    std::erase(definitionOrder_, key);
}

std::vector<const Option*> Settings::inDefinitionOrder() const
{
    std::vector<const Option*> out;
    for (const std::string& key : definitionOrder_)
        out.push_back(options_.at(key).get());
    return out;
}

void Settings::lock()
{
    lock_.lock();
    std::lock_guard guard(holderMutex_);
    holder_ = std::this_thread::get_id();
}

bool Settings::unlock()
{
    {
        std::lock_guard guard(holderMutex_);
        if (holder_ != std::this_thread::get_id())
            return false;
        holder_ = std::thread::id();
    }
    lock_.unlock();
    return true;
}

bool Settings::heldByThisThread() const
{
    std::lock_guard guard(holderMutex_);
    return holder_ == std::this_thread::get_id();
}

} // namespace standin
