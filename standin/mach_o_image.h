// Plays the Mac's dynamic loader for the stand-in host: maps an i386 Mach-O
// relocatable object (what clang makes for Mac OS X on a machine with no
// Apple linker), or an i386 dylib, into this process, applies its
// relocations and hands out its exported symbols by name.
//
// An object's sections are placed by what they hold: code read and execute,
// the rest of __TEXT read only, everything else read and write; debug
// sections (the __DWARF segment, S_ATTR_DEBUG) are not loaded. A dylib's
// segments keep their own layout and protections and are rebased.
//
// The loader links nothing in: an undefined symbol (an import), a
// thread-local, a constructor or destructor, lazy binding, a relocation kind
// it does not know, another CPU type or a truncated file is refused with a
// macho::MachOError naming what, before any of the file's code could run.
// The code runs only in a 32-bit x86 process; elsewhere the image can still
// be mapped below 4 GiB and its relocated bytes read.
#pragma once

#include "mach_o_file.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class MachOImage {
public:
    struct PlacedSection {
        std::string label; // "__TEXT,__text"
        uintptr_t address = 0;
        uint32_t size = 0;
        int protection = 0; // PROT_READ, PROT_WRITE and PROT_EXEC bits
    };

    explicit MachOImage(std::span<const uint8_t> bytes);
    ~MachOImage();
    MachOImage(const MachOImage&) = delete;
    MachOImage& operator=(const MachOImage&) = delete;

    // The exported function or variable `name` as C spells it (the file's
    // symbol has the platform's leading underscore), or null.
    void* symbol(std::string_view name) const;

    // What was mapped, in the order of the file's sections.
    const std::vector<PlacedSection>& sections() const { return placed_; }

private:
    void mapObject(const macho::File& file);
    void mapDylib(const macho::File& file);
    void reserve(uint64_t size);
    void protect(uint64_t offset, uint64_t size, int protection);

    uint8_t* memory_ = nullptr;
    size_t size_ = 0;
    std::map<std::string, void*, std::less<>> exports_;
    std::vector<PlacedSection> placed_;
};

} // namespace standin
