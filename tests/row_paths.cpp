#include "row_paths.h"

#include <cstdlib>
#include <stdexcept>

namespace testing_support {

RowPaths::RowPaths(const std::string& path)
    : library_(path)
{
    paths_ = reinterpret_cast<int32_t (*)()>(lookUp("hueflareTestingPaths"));
    force_ = reinterpret_cast<int32_t (*)(int32_t)>(lookUp("hueflareTestingForcePath"));
    name_ = reinterpret_cast<const char* (*)(int32_t)>(lookUp("hueflareTestingPathName"));
}

// Through the library's own loader, so a Mach-O testing object serves too.
void* RowPaths::lookUp(const char* symbol)
{
    void* address = library_.symbol(symbol);
    if (address == nullptr)
        throw std::runtime_error(library_.path() + " is not a testing build: no " + symbol);
    return address;
}

bool RowPaths::available(RowPath path) const
{
    return (paths_() >> static_cast<int32_t>(path) & 1) != 0;
}

std::vector<RowPath> RowPaths::available() const
{
    std::vector<RowPath> paths;
    for (int32_t path = 0; path < kRowPathCount; ++path)
        if (available(static_cast<RowPath>(path)))
            paths.push_back(static_cast<RowPath>(path));
    return paths;
}

std::string RowPaths::name(RowPath path) const
{
    return name_(static_cast<int32_t>(path));
}

bool RowPaths::force(RowPath path)
{
    return force_(static_cast<int32_t>(path)) == 0;
}

void RowPaths::chooseAutomatically()
{
    force_(-1);
}

RowPaths& rowPaths()
{
    const char* overridden = std::getenv("VIVANTO_TESTING_PLUGIN");
    static RowPaths paths(overridden != nullptr ? overridden : HUEFLARE_TESTING_LIBRARY);
    return paths;
}

} // namespace testing_support
