// Loads a built plug-in the way the editor does: the shared library by path,
// then its three entry points by name, and nothing else. A Mac OS X i386
// Mach-O object or dylib is opened by our own loader (mach_o_image.h), in a
// 32-bit x86 process, as the Mac's dynamic loader would.
#pragma once

#include "bibble_host.h"

#include <memory>
#include <string>

namespace standin {

class MachOImage;

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

    // Any other symbol the plug-in exports, by its C name; null when absent.
    void* symbol(const char* name) const;

    GetVersion getVersion = nullptr;
    RegisterPlugin registerPlugin = nullptr;
    UnRegisterPlugin unRegisterPlugin = nullptr;

private:
    void* lookUp(const char* name);
    void close();

    std::string path_;
    void* handle_ = nullptr;
#if !defined(_WIN32)
    std::unique_ptr<MachOImage> machO_;
#endif
};

} // namespace standin
