#include "plugin_library.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include "mach_o_image.h"

#include <dlfcn.h>

#include <fstream>
#include <iterator>
#include <vector>
#endif

namespace standin {

namespace {

std::string lastLoaderError()
{
#if defined(_WIN32)
    return "Windows error " + std::to_string(GetLastError());
#else
    const char* error = dlerror();
    return error != nullptr ? error : "unknown error";
#endif
}

#if !defined(_WIN32)
#if defined(__i386__)
constexpr bool kRunsI386Code = true;
#else
constexpr bool kRunsI386Code = false;
#endif

// The Mach-O file at `path`, or nothing when it is some other kind of file
// (or none), which dlopen then judges.
std::unique_ptr<MachOImage> openMachO(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(4);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), 4) || !macho::looksLikeMachO(bytes))
        return nullptr;
    // The hooks are handed host records of 32-bit pointers and run as i386 code.
    if (!kRunsI386Code)
        throw std::runtime_error(path
                                 + ": cannot load the plug-in: Mach-O i386 code runs only "
                                   "in a 32-bit x86 process");
    bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error(path + ": cannot load the plug-in: reading it failed");
    try {
        return std::make_unique<MachOImage>(bytes);
    } catch (const macho::MachOError& error) {
        throw std::runtime_error(path + ": cannot load the plug-in: " + error.what());
    }
}
#endif

} // namespace

PluginLibrary::PluginLibrary(const std::string& path)
    : path_(path)
#if !defined(_WIN32)
    , machO_(openMachO(path))
#endif
{
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    // RTLD_LOCAL: the plug-in's symbols must not leak into, or be bound from,
    // anything else the process has loaded.
    if (machO_ == nullptr)
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    else
        handle_ = machO_.get();
#endif
    if (handle_ == nullptr)
        throw std::runtime_error(path + ": cannot load the plug-in: " + lastLoaderError());
    try {
        getVersion = reinterpret_cast<GetVersion>(lookUp("getVersion"));
        registerPlugin = reinterpret_cast<RegisterPlugin>(lookUp("RegisterPlugin"));
        unRegisterPlugin = reinterpret_cast<UnRegisterPlugin>(lookUp("unRegisterPlugin"));
    } catch (...) {
        close();
        throw;
    }
}

PluginLibrary::~PluginLibrary()
{
    close();
}

void PluginLibrary::close()
{
    if (handle_ == nullptr)
        return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    if (machO_ != nullptr)
        machO_.reset();
    else
        dlclose(handle_);
#endif
    handle_ = nullptr;
}

void* PluginLibrary::symbol(const char* name) const
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    if (machO_ != nullptr)
        return machO_->symbol(name);
    return dlsym(handle_, name);
#endif
}

void* PluginLibrary::lookUp(const char* name)
{
    void* found = symbol(name);
    if (found == nullptr)
        throw std::runtime_error(path_ + ": not a plug-in for this host: it has no entry point \""
                                 + name + "\"");
    return found;
}

} // namespace standin
