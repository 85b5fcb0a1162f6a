#include "mach_o_image.h"

#include "mach_o_fixups.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>

namespace standin {

using namespace macho;

namespace {

uint64_t pageSize()
{
    return static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t roundUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// An object's sections go to three page-aligned regions by what they hold.
enum Region : size_t { kCode, kReadOnly, kWritable, kRegionCount };

constexpr std::array<int, kRegionCount> kRegionProtection = {PROT_READ | PROT_EXEC, PROT_READ,
                                                             PROT_READ | PROT_WRITE};

Region regionOf(const Section& section)
{
    if (section.isCode())
        return kCode;
    return section.segment == "__TEXT" ? kReadOnly : kWritable;
}

// Where each loaded section goes, as offsets into one mapping.
struct ObjectLayout {
    std::vector<std::optional<uint64_t>> offsets; // per section; none for debug sections
    std::array<uint64_t, kRegionCount> regionStart{};
    std::array<uint64_t, kRegionCount> regionEnd{};
    uint64_t size = 0;
};

ObjectLayout layOut(const File& file)
{
    ObjectLayout layout;
    layout.offsets.resize(file.sections.size());
    uint64_t at = 0;
    for (size_t region = 0; region < kRegionCount; ++region) {
        layout.regionStart[region] = at;
        for (size_t index = 0; index < file.sections.size(); ++index) {
            const Section& section = file.sections[index];
            if (section.isDebug() || regionOf(section) != region)
                continue;
            at = roundUp(at, uint64_t{1} << section.alignLog2);
            layout.offsets[index] = at;
            at += section.size;
            if (at > kImageSizeLimit)
                throw MachOError("the sections need more than "
                                 + std::to_string(kImageSizeLimit >> 20) + " MiB");
        }
        layout.regionEnd[region] = at;
        at = roundUp(at, pageSize());
    }
    layout.size = at;
    return layout;
}

// Section contents in the file's layout are kept consistent by sorting
// addresses to sections once; overlapping sections would make that ambiguous.
void refuseOverlaps(const File& file)
{
    for (size_t one = 0; one < file.sections.size(); ++one)
        for (size_t other = one + 1; other < file.sections.size(); ++other) {
            const Section& a = file.sections[one];
            const Section& b = file.sections[other];
            if (a.isDebug() || b.isDebug() || a.size == 0 || b.size == 0)
                continue;
            if (a.address < uint64_t{b.address} + b.size
                && b.address < uint64_t{a.address} + a.size)
                throw MachOError("sections " + a.label() + " and " + b.label() + " overlap");
        }
}

// Applies one object's relocations to its mapped sections. Every field holds
// its value for the file's own layout (a symbol's field as if the symbol were
// at 0); moving each section by its slide changes the field by the target's
// slide, less the field's own slide when it is PC-relative.
class ObjectRelocator {
public:
    ObjectRelocator(const File& file, const ObjectLayout& layout, uint8_t* base)
        : file_(file)
        , layout_(layout)
        , base_(base)
    {
    }

    void relocate(size_t index)
    {
        const Section& section = file_.sections[index];
        const std::vector<Relocation>& relocations = section.relocations;
        for (size_t at = 0; at < relocations.size(); ++at) {
            const Relocation& relocation = relocations[at];
            const std::string where = section.label() + "+" + hexText(relocation.address);
            const bool isDifference =
                relocation.type == kSectionDifference || relocation.type == kLocalSectionDifference;
            const Relocation* pair = nullptr;
            if (isDifference) {
                if (at + 1 == relocations.size() || relocations[at + 1].type != kPair)
                    throw MachOError("the section difference at " + where
                                     + " has no pair after it");
                pair = &relocations[++at];
            }
            apply(index, relocation, pair, where);
        }
    }

    int64_t slide(size_t index) const
    {
        return static_cast<int64_t>(reinterpret_cast<uintptr_t>(base_) + *layout_.offsets[index])
            - static_cast<int64_t>(file_.sections[index].address);
    }

    uintptr_t addressOf(const Symbol& symbol) const
    {
        return static_cast<uintptr_t>(symbol.value + slide(symbol.section - 1u));
    }

    // A non-lazy symbol pointer section: the dynamic linker's job of writing
    // each entry's symbol address, for symbols this file defines.
    void fillSymbolPointers(size_t index)
    {
        const Section& section = file_.sections[index];
        const std::vector<uint32_t>& indirect = file_.dynamic.indirectSymbols;
        if (section.size % 4 != 0 || section.isZeroFill())
            throw MachOError("symbol pointer section " + section.label() + " of "
                             + std::to_string(section.size) + " bytes");
        for (uint32_t entry = 0; entry < section.size / 4; ++entry) {
            const std::string where = section.label() + "+" + hexText(uint64_t{entry} * 4);
            const uint64_t slot = uint64_t{section.firstIndirectSymbol} + entry;
            if (slot >= indirect.size())
                throw MachOError("symbol pointer " + where + " has no indirect symbol");
            const uint32_t symbol = indirect[static_cast<size_t>(slot)];
            if (symbol == DynamicInfo::kAbsolute)
                continue;
            if ((symbol & DynamicInfo::kLocal) != 0)
                throw MachOError("symbol pointer " + where
                                 + " is a local one, which this loader does not fill");
            auto address = static_cast<uint32_t>(symbolAddress(symbol, where));
            std::memcpy(base_ + *layout_.offsets[index] + uint64_t{entry} * 4, &address, 4);
        }
    }

private:
    void apply(size_t index, const Relocation& relocation, const Relocation* pair,
               const std::string& where)
    {
        const Section& section = file_.sections[index];
        if (section.isZeroFill())
            throw MachOError("a relocation at " + where + " in a zero-filled section");
        const uint64_t width = uint64_t{1} << relocation.lengthLog2;
        if (uint64_t{relocation.address} + width > section.size)
            throw MachOError("the relocation at " + where + " runs past its section");
        int64_t delta = targetDelta(relocation, pair, where);
        if (relocation.pcRelative)
            delta -= slide(index);
        addToField(base_ + *layout_.offsets[index] + relocation.address, relocation.lengthLog2,
                   relocation.pcRelative, delta, where);
    }

    int64_t targetDelta(const Relocation& relocation, const Relocation* pair,
                        const std::string& where) const
    {
        switch (relocation.type) {
        case kVanilla:
            if (relocation.scattered)
                return slide(sectionHolding(relocation.targetAddress, where));
            if (relocation.external)
                return static_cast<int64_t>(symbolAddress(relocation.target, where));
            if (relocation.target == 0)
                return 0;
            return slide(loadedSection(relocation.target, where));
        case kSectionDifference:
        case kLocalSectionDifference:
            if (!relocation.scattered || !pair->scattered || relocation.pcRelative)
                throw MachOError("the section difference at " + where
                                 + " is not in the scattered, absolute form");
            return slide(sectionHolding(relocation.targetAddress, where))
                - slide(sectionHolding(pair->targetAddress, where));
        case kPair:
            throw MachOError("a pair at " + where + " with no section difference before it");
        case kPreboundLazyPointer:
            throw MachOError("a lazy pointer at " + where
                             + ": lazy binding needs the dynamic linker");
        case kThreadLocal:
            throw MachOError("a thread-local reference at " + where
                             + ", which this loader does not provide");
        default:
            throw MachOError("unknown relocation type " + std::to_string(relocation.type) + " at "
                             + where);
        }
    }

    size_t loadedSection(uint32_t ordinal, const std::string& where) const
    {
        if (ordinal > file_.sections.size())
            throw MachOError("the relocation at " + where + " names section "
                             + std::to_string(ordinal) + ", which does not exist");
        if (!layout_.offsets[ordinal - 1])
            throw MachOError("the relocation at " + where + " refers into debug section "
                             + file_.sections[ordinal - 1].label() + ", which is not loaded");
        return ordinal - 1;
    }

    // The loaded section holding `address` of the file's layout; an address
    // just past a section's end (a pointer past an array) belongs to it too.
    size_t sectionHolding(uint32_t address, const std::string& where) const
    {
        std::optional<size_t> endingThere;
        for (size_t index = 0; index < file_.sections.size(); ++index) {
            const Section& section = file_.sections[index];
            if (!layout_.offsets[index])
                continue;
            if (address >= section.address && address - section.address < section.size)
                return index;
            if (address == uint64_t{section.address} + section.size)
                endingThere = index;
        }
        if (!endingThere)
            throw MachOError("the relocation at " + where + " refers to address " + hexText(address)
                             + ", in no loaded section");
        return *endingThere;
    }

    uintptr_t symbolAddress(uint32_t index, const std::string& where) const
    {
        if (index >= file_.symbols.size())
            throw MachOError("the relocation at " + where + " names symbol " + std::to_string(index)
                             + ", which does not exist");
        const Symbol& symbol = file_.symbols[index];
        if (symbol.kind() == kSymbolAbsolute)
            return symbol.value;
        if (symbol.kind() != kSymbolInSection || symbol.isDebugEntry())
            throw MachOError("the relocation at " + where + " refers to '" + symbol.name
                             + "', which is not defined here");
        loadedSection(symbol.section, where);
        return addressOf(symbol);
    }

    const File& file_;
    const ObjectLayout& layout_;
    uint8_t* base_;
};

void checkSymbolsInsideTheirSections(const File& file)
{
    for (const Symbol& symbol : file.symbols) {
        if (symbol.isDebugEntry() || symbol.kind() != kSymbolInSection)
            continue;
        const Section& section = file.sections[symbol.section - 1u];
        if (symbol.value < section.address || symbol.value - section.address > section.size)
            throw MachOError("symbol '" + symbol.name + "' lies outside its section "
                             + section.label());
    }
}

} // namespace

MachOImage::MachOImage(std::span<const uint8_t> bytes)
{
    const File file = readFile(bytes);
    refuseWhatIsNotProvided(file);
    try {
        if (file.fileType == kFileTypeObject)
            mapObject(file);
        else
            mapDylib(file);
    } catch (...) {
        if (memory_ != nullptr)
            munmap(memory_, size_);
        throw;
    }
}

MachOImage::~MachOImage()
{
    munmap(memory_, size_);
}

void* MachOImage::symbol(std::string_view name) const
{
    auto found = exports_.find("_" + std::string(name));
    return found == exports_.end() ? nullptr : found->second;
}

// One read-write mapping, made before anything is copied in; its pages get
// their final protections once every relocation is applied. Relocated
// fields are 32 bits wide, so in a 64-bit process it must lie below 4 GiB.
void MachOImage::reserve(uint64_t size)
{
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
    flags |= MAP_32BIT;
#endif
    size_ = static_cast<size_t>(size == 0 ? pageSize() : size);
    void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (memory == MAP_FAILED)
        throw MachOError("cannot map " + std::to_string(size_) + " bytes: " + std::strerror(errno));
    memory_ = static_cast<uint8_t*>(memory);
    if (reinterpret_cast<uintptr_t>(memory_) + uint64_t{size_} > uint64_t{0xffffffffu})
        throw MachOError("cannot map the image below 4 GiB, where its 32-bit addresses reach");
}

void MachOImage::protect(uint64_t offset, uint64_t size, int protection)
{
    if (size == 0)
        return;
    if (mprotect(memory_ + offset, static_cast<size_t>(size), protection) != 0)
        throw MachOError(std::string("cannot protect the image's pages: ") + std::strerror(errno));
}

void MachOImage::mapObject(const File& file)
{
    refuseOverlaps(file);
    checkSymbolsInsideTheirSections(file);
    const ObjectLayout layout = layOut(file);
    reserve(layout.size);
    for (size_t index = 0; index < file.sections.size(); ++index) {
        const Section& section = file.sections[index];
        if (!layout.offsets[index] || section.isZeroFill())
            continue;
        std::memcpy(memory_ + *layout.offsets[index], file.bytes.data() + section.fileOffset,
                    section.size);
    }
    ObjectRelocator relocator(file, layout, memory_);
    for (size_t index = 0; index < file.sections.size(); ++index)
        if (layout.offsets[index])
            relocator.relocate(index);
    for (size_t index = 0; index < file.sections.size(); ++index)
        if (layout.offsets[index] && file.sections[index].type() == kNonLazySymbolPointers)
            relocator.fillSymbolPointers(index);
    for (size_t region = 0; region < kRegionCount; ++region)
        protect(layout.regionStart[region],
                roundUp(layout.regionEnd[region], pageSize()) - layout.regionStart[region],
                kRegionProtection[region]);

    for (size_t index = 0; index < file.sections.size(); ++index) {
        const Section& section = file.sections[index];
        if (layout.offsets[index])
            placed_.push_back({section.label(),
                               reinterpret_cast<uintptr_t>(memory_)
                                   + static_cast<uintptr_t>(*layout.offsets[index]),
                               section.size, kRegionProtection[regionOf(section)]});
    }
    for (const Symbol& symbol : file.symbols) {
        const size_t index = symbol.section - 1u;
        if (symbol.isExported() && layout.offsets[index])
            exports_[symbol.name] =
                memory_ + *layout.offsets[index] + (symbol.value - file.sections[index].address);
    }
}

} // namespace standin
