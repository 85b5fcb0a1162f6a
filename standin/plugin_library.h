// Loads a built plug-in the way the editor does: the shared library by path,
// then its three entry points by name, and nothing else.
#pragma once

#include "bibble_host.h"

#include <string>

namespace standin {

class PluginLibrary {
public:
    using GetVersion = int(HOST_CALL*)(void);
    using RegisterPlugin = int(HOST_CALL*)(BibblePluginData*);
    using UnRegisterPlugin = int(HOST_CALL*)(void);

    // Throws std::runtime_error with a message naming the file and what is
    // wrong: it cannot be loaded, or one of the entry points is missing.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& path() const { return path_; }

    GetVersion getVersion = nullptr;
    RegisterPlugin registerPlugin = nullptr;
    UnRegisterPlugin unRegisterPlugin = nullptr;

private:
    void* lookUp(const char* name);
    void close();

    std::string path_;
    void* handle_ = nullptr;
};

} // namespace standin
