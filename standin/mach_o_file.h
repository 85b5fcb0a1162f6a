// The parts of a 32-bit i386 Mach-O file (a relocatable object, or a dylib)
// that loading it needs, read from bytes we do not trust: every offset, size
// and count is checked against the file before it is used, and anything out
// of bounds or not understood is refused with a MachOError naming it.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin::macho {

struct MachOError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Numbers from the platform's <mach-o/loader.h>, <mach-o/nlist.h> and
// <mach-o/reloc.h>, spelled out here since no Apple header exists on Linux.
constexpr uint32_t kMagic = 0xfeedface;
constexpr uint32_t kCpuTypeI386 = 7;
constexpr uint32_t kFileTypeObject = 1;
constexpr uint32_t kFileTypeDylib = 6;

constexpr uint32_t kSectionTypeMask = 0xff;
constexpr uint32_t kAttrPureInstructions = 0x80000000;
constexpr uint32_t kAttrSomeInstructions = 0x00000400;
constexpr uint32_t kAttrDebug = 0x02000000;

enum SectionType : uint32_t {
    kRegular = 0,
    kZeroFill = 1,
    kCStringLiterals = 2,
    kFourByteLiterals = 3,
    kEightByteLiterals = 4,
    kLiteralPointers = 5,
    kNonLazySymbolPointers = 6,
    kLazySymbolPointers = 7,
    kSymbolStubs = 8,
    kModInitFuncPointers = 9,
    kModTermFuncPointers = 0xa,
    kCoalesced = 0xb,
    kGigabyteZeroFill = 0xc,
    kInterposing = 0xd,
    kSixteenByteLiterals = 0xe,
    kDtraceDof = 0xf,
    kLazyDylibSymbolPointers = 0x10,
    kThreadLocalRegular = 0x11,
    kThreadLocalZeroFill = 0x12,
    kThreadLocalVariables = 0x13,
    kThreadLocalVariablePointers = 0x14,
    kThreadLocalInitFunctionPointers = 0x15,
    kInitFuncOffsets = 0x16,
};

enum RelocationType : uint8_t {
    kVanilla = 0,
    kPair = 1,
    kSectionDifference = 2,
    kPreboundLazyPointer = 3,
    kLocalSectionDifference = 4,
    kThreadLocal = 5,
};

constexpr uint8_t kSymbolStab = 0xe0;
constexpr uint8_t kSymbolPrivateExternal = 0x10;
constexpr uint8_t kSymbolTypeMask = 0x0e;
constexpr uint8_t kSymbolExternal = 0x01;
constexpr uint8_t kSymbolUndefined = 0x0;
constexpr uint8_t kSymbolAbsolute = 0x2;
constexpr uint8_t kSymbolInSection = 0xe;
constexpr uint8_t kSymbolPrebound = 0xc;
constexpr uint8_t kSymbolIndirect = 0xa;

struct Relocation {
    bool scattered = false;
    bool pcRelative = false;
    bool external = false;      // plain form only: `target` is a symbol index
    uint8_t lengthLog2 = 2;     // the fixed-up field is 1 << lengthLog2 bytes
    uint8_t type = kVanilla;    // RelocationType
    uint32_t address = 0;       // offset of the field in its section
    uint32_t target = 0;        // plain form: symbol index or section ordinal (0: absolute)
    uint32_t targetAddress = 0; // scattered form: the target's address in the file's layout
};

struct Section {
    std::string segment;
    std::string name;
    uint32_t address = 0; // in the file's own layout
    uint32_t size = 0;
    uint32_t fileOffset = 0;
    uint32_t alignLog2 = 0;
    uint32_t flags = 0;
    uint32_t firstIndirectSymbol = 0; // symbol pointer sections: their first entry's index
    uint32_t relocationOffset = 0;    // where `relocations` are in the file
    std::vector<Relocation> relocations;

    uint32_t type() const { return flags & kSectionTypeMask; }
    bool isZeroFill() const;
    bool isDebug() const;
    bool isCode() const;
    std::string label() const { return segment + "," + name; }
};

struct Segment {
    std::string name;
    uint32_t address = 0;
    uint32_t memorySize = 0;
    uint32_t fileOffset = 0;
    uint32_t fileSize = 0;
    uint32_t initialProtection = 0; // VM_PROT_READ 1, WRITE 2, EXECUTE 4
};

struct Symbol {
    std::string name;
    uint8_t type = 0;
    uint8_t section = 0; // 1-based ordinal over every section of the file, 0: none
    uint16_t description = 0;
    uint32_t value = 0;

    bool isDebugEntry() const { return (type & kSymbolStab) != 0; }
    uint8_t kind() const { return type & kSymbolTypeMask; }
    bool isExported() const
    {
        return !isDebugEntry() && (type & kSymbolExternal) != 0
            && (type & kSymbolPrivateExternal) == 0 && kind() == kSymbolInSection;
    }
};

// A dylib's fix-ups for the dynamic linker: rebases (pointers to slide) and
// binds (imports), as opcode streams (LC_DYLD_INFO) and as classic local and
// external relocations (LC_DYSYMTAB).
struct DynamicInfo {
    std::span<const uint8_t> rebaseOpcodes;
    std::span<const uint8_t> bindOpcodes;
    std::span<const uint8_t> weakBindOpcodes;
    std::span<const uint8_t> lazyBindOpcodes;
    std::vector<Relocation> localRelocations;
    std::vector<Relocation> externalRelocations;
    // Per entry of a symbol pointer section: a symbol index, or one of:
    std::vector<uint32_t> indirectSymbols;
    static constexpr uint32_t kLocal = 0x80000000;
    static constexpr uint32_t kAbsolute = 0x40000000;
};

struct File {
    std::span<const uint8_t> bytes; // the whole file, as given to readFile
    uint32_t fileType = 0;
    uint32_t flags = 0;
    std::vector<Segment> segments;
    std::vector<Section> sections; // in file order: ordinal = index + 1
    std::vector<Symbol> symbols;
    uint32_t symbolTableOffset = 0; // where `symbols` are in the file, 12 bytes each
    DynamicInfo dynamic;
};

// Reads and checks the headers, sections, relocations and symbols of a
// little-endian i386 Mach-O object or dylib; throws MachOError otherwise
// (another CPU or file type, 64-bit, big-endian, universal, truncated, or
// counts and offsets that leave the file). `contents` must outlive the result.
File readFile(std::span<const uint8_t> contents);

// Whether these are the first bytes of some Mach-O or universal file.
bool looksLikeMachO(std::span<const uint8_t> prefix);

} // namespace standin::macho
