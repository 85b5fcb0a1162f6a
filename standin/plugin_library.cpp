#include "plugin_library.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
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

} // namespace

PluginLibrary::PluginLibrary(const std::string& path)
    : path_(path)
{
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    // RTLD_LOCAL: the plug-in's symbols must not leak into, or be bound from,
    // anything else the process has loaded.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
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
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

void* PluginLibrary::lookUp(const char* name)
{
#if defined(_WIN32)
    void* symbol =
        reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    void* symbol = dlsym(handle_, name);
#endif
    if (symbol == nullptr)
        throw std::runtime_error(path_ + ": not a plug-in for this host: it has no entry point \""
                                 + name + "\"");
    return symbol;
}

} // namespace standin
