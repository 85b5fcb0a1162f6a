#include "mach_o_file.h"

#include "mach_o_fixups.h"

#include <bit>
#include <cstring>

namespace standin::macho {

static_assert(std::endian::native == std::endian::little,
              "Mach-O i386 files are little-endian and read in place");

namespace {

constexpr uint32_t kMagicSwapped = 0xcefaedfe;
constexpr uint32_t kMagic64 = 0xfeedfacf;
constexpr uint32_t kMagic64Swapped = 0xcffaedfe;
constexpr uint32_t kFatMagic = 0xcafebabe;
constexpr uint32_t kFatMagicSwapped = 0xbebafeca;

constexpr uint32_t kCommandSegment = 0x1;
constexpr uint32_t kCommandSymbolTable = 0x2;
constexpr uint32_t kCommandDynamicSymbolTable = 0xb;
constexpr uint32_t kCommandSegment64 = 0x19;
constexpr uint32_t kCommandDyldInfo = 0x22;
constexpr uint32_t kCommandRequiresDyld = 0x80000000;
constexpr uint32_t kCommandDyldInfoOnly = kCommandDyldInfo | kCommandRequiresDyld;

constexpr size_t kHeaderSize = 28;
constexpr size_t kSegmentCommandSize = 56;
constexpr size_t kSectionSize = 68;
constexpr size_t kSymbolSize = 12;
constexpr size_t kRelocationSize = 8;
constexpr size_t kMaximumSections = 255;

// Every read goes through here, so nothing is read outside the file.
class Bytes {
public:
    explicit Bytes(std::span<const uint8_t> all)
        : all_(all)
    {
    }

    std::span<const uint8_t> range(uint64_t offset, uint64_t size, const std::string& what) const
    {
        if (offset > all_.size() || size > all_.size() - offset)
            throw MachOError("truncated file: " + what + " (" + std::to_string(size)
                             + " bytes at offset " + std::to_string(offset)
                             + ") runs past its end (" + std::to_string(all_.size()) + " bytes)");
        return all_.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
    }

    uint32_t word(uint64_t offset, const std::string& what) const
    {
        uint32_t value = 0;
        std::memcpy(&value, range(offset, 4, what).data(), 4);
        return value;
    }

    // A 16-byte segment or section name, NUL-padded (or not, when all 16 are used).
    std::string name(uint64_t offset, const std::string& what) const
    {
        auto bytes = range(offset, 16, what);
        size_t length = 0;
        while (length < bytes.size() && bytes[length] != 0)
            ++length;
        return {reinterpret_cast<const char*>(bytes.data()), length};
    }

    size_t size() const { return all_.size(); }

private:
    std::span<const uint8_t> all_;
};

std::string cpuName(uint32_t cpuType)
{
    switch (cpuType) {
    case 7:
        return "i386";
    case 0x01000007:
        return "x86_64";
    case 12:
        return "ARM";
    case 0x0100000c:
        return "ARM64";
    case 18:
        return "PowerPC";
    case 0x01000012:
        return "PowerPC 64";
    default:
        return "unknown";
    }
}

void checkHeader(const Bytes& bytes)
{
    uint32_t magic = bytes.word(0, "the Mach-O header");
    if (magic == kMagic64 || magic == kMagic64Swapped)
        throw MachOError("a 64-bit Mach-O file: only 32-bit i386 code runs here");
    if (magic == kMagicSwapped)
        throw MachOError("a big-endian Mach-O file (PowerPC): only i386 code runs here");
    if (magic == kFatMagic || magic == kFatMagicSwapped)
        throw MachOError(
            "a universal (fat) Mach-O file: give the i386 slice alone (lipo -thin i386)");
    if (magic != kMagic)
        throw MachOError("not a Mach-O file (magic " + hexText(magic) + ")");
    bytes.range(0, kHeaderSize, "the Mach-O header");
    uint32_t cpuType = bytes.word(4, "the CPU type");
    if (cpuType != kCpuTypeI386)
        throw MachOError("wrong CPU type " + hexText(cpuType) + " (" + cpuName(cpuType)
                         + "): only i386 code runs here");
}

Relocation readRelocation(const Bytes& bytes, uint64_t offset)
{
    uint32_t first = bytes.word(offset, "a relocation");
    uint32_t second = bytes.word(offset + 4, "a relocation");
    Relocation relocation;
    if ((first & 0x80000000u) != 0) {
        relocation.scattered = true;
        relocation.address = first & 0x00ffffffu;
        relocation.type = static_cast<uint8_t>((first >> 24) & 0xfu);
        relocation.lengthLog2 = static_cast<uint8_t>((first >> 28) & 0x3u);
        relocation.pcRelative = ((first >> 30) & 1u) != 0;
        relocation.targetAddress = second;
    } else {
        relocation.address = first;
        relocation.target = second & 0x00ffffffu;
        relocation.pcRelative = ((second >> 24) & 1u) != 0;
        relocation.lengthLog2 = static_cast<uint8_t>((second >> 25) & 0x3u);
        relocation.external = ((second >> 27) & 1u) != 0;
        relocation.type = static_cast<uint8_t>(second >> 28);
    }
    return relocation;
}

std::vector<Relocation> readRelocations(const Bytes& bytes, uint32_t offset, uint32_t count,
                                        const std::string& owner)
{
    bytes.range(offset, uint64_t{count} * kRelocationSize, "the relocations of " + owner);
    std::vector<Relocation> relocations;
    relocations.reserve(count);
    for (uint32_t index = 0; index < count; ++index)
        relocations.push_back(readRelocation(bytes, offset + uint64_t{index} * kRelocationSize));
    return relocations;
}

Section readSection(const Bytes& bytes, uint64_t at)
{
    Section section;
    section.name = bytes.name(at, "a section header");
    section.segment = bytes.name(at + 16, "a section header");
    section.address = bytes.word(at + 32, "a section header");
    section.size = bytes.word(at + 36, "a section header");
    section.fileOffset = bytes.word(at + 40, "a section header");
    section.alignLog2 = bytes.word(at + 44, "a section header");
    section.relocationOffset = bytes.word(at + 48, "a section header");
    uint32_t relocationCount = bytes.word(at + 52, "a section header");
    section.flags = bytes.word(at + 56, "a section header");
    section.firstIndirectSymbol = bytes.word(at + 60, "a section header");
    if (uint64_t{section.address} + section.size > 0x100000000u)
        throw MachOError("section " + section.label() + " ends past 4 GiB");
    if (!section.isZeroFill())
        bytes.range(section.fileOffset, section.size, "the contents of " + section.label());
    section.relocations =
        readRelocations(bytes, section.relocationOffset, relocationCount, section.label());
    return section;
}

void readSegment(const Bytes& bytes, uint64_t at, uint32_t commandSize, File& file)
{
    if (commandSize < kSegmentCommandSize)
        throw MachOError("a segment command of " + std::to_string(commandSize) + " bytes");
    Segment segment;
    segment.name = bytes.name(at + 8, "a segment command");
    segment.address = bytes.word(at + 24, "a segment command");
    segment.memorySize = bytes.word(at + 28, "a segment command");
    segment.fileOffset = bytes.word(at + 32, "a segment command");
    segment.fileSize = bytes.word(at + 36, "a segment command");
    segment.initialProtection = bytes.word(at + 44, "a segment command");
    uint32_t sectionCount = bytes.word(at + 48, "a segment command");
    if (uint64_t{sectionCount} * kSectionSize > commandSize - kSegmentCommandSize)
        throw MachOError("segment '" + segment.name + "' claims " + std::to_string(sectionCount)
                         + " sections, more than its command holds");
    if (uint64_t{segment.address} + segment.memorySize > 0x100000000u)
        throw MachOError("segment '" + segment.name + "' ends past 4 GiB");
    bytes.range(segment.fileOffset, segment.fileSize, "segment '" + segment.name + "'");
    // Symbols name their section in one byte.
    if (file.sections.size() + sectionCount > kMaximumSections)
        throw MachOError("more than " + std::to_string(kMaximumSections) + " sections");
    for (uint32_t index = 0; index < sectionCount; ++index)
        file.sections.push_back(
            readSection(bytes, at + kSegmentCommandSize + uint64_t{index} * kSectionSize));
    file.segments.push_back(std::move(segment));
}

std::string readSymbolName(const Bytes& bytes, uint32_t tableOffset, uint32_t tableSize,
                           uint32_t index)
{
    auto table = bytes.range(tableOffset, tableSize, "the string table");
    if (index == 0)
        return {};
    if (index >= table.size())
        throw MachOError("a symbol's name lies outside the string table");
    auto rest = table.subspan(index);
    size_t length = 0;
    while (length < rest.size() && rest[length] != 0)
        ++length;
    if (length == rest.size())
        throw MachOError("a symbol's name runs past the string table");
    return {reinterpret_cast<const char*>(rest.data()), length};
}

void readSymbols(const Bytes& bytes, uint64_t at, File& file)
{
    uint32_t offset = bytes.word(at + 8, "the symbol table command");
    uint32_t count = bytes.word(at + 12, "the symbol table command");
    uint32_t stringsOffset = bytes.word(at + 16, "the symbol table command");
    uint32_t stringsSize = bytes.word(at + 20, "the symbol table command");
    bytes.range(offset, uint64_t{count} * kSymbolSize, "the symbol table");
    file.symbolTableOffset = offset;
    bytes.range(stringsOffset, stringsSize, "the string table");
    file.symbols.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        const uint64_t entry = offset + static_cast<uint64_t>(index) * kSymbolSize;
        uint32_t typeWord = bytes.word(entry + 4, "a symbol");
        Symbol symbol;
        symbol.name =
            readSymbolName(bytes, stringsOffset, stringsSize, bytes.word(entry, "a symbol"));
        symbol.type = static_cast<uint8_t>(typeWord & 0xffu);
        symbol.section = static_cast<uint8_t>((typeWord >> 8) & 0xffu);
        symbol.description = static_cast<uint16_t>(typeWord >> 16);
        symbol.value = bytes.word(entry + 8, "a symbol");
        file.symbols.push_back(std::move(symbol));
    }
}

void readDynamicSymbols(const Bytes& bytes, uint64_t at, File& file)
{
    uint32_t indirectOffset = bytes.word(at + 56, "the dynamic symbol table command");
    uint32_t indirectCount = bytes.word(at + 60, "the dynamic symbol table command");
    bytes.range(indirectOffset, uint64_t{indirectCount} * 4, "the indirect symbol table");
    file.dynamic.indirectSymbols.reserve(indirectCount);
    for (uint32_t index = 0; index < indirectCount; ++index)
        file.dynamic.indirectSymbols.push_back(bytes.word(
            indirectOffset + static_cast<uint64_t>(index) * 4, "the indirect symbol table"));
    uint32_t externalOffset = bytes.word(at + 64, "the dynamic symbol table command");
    uint32_t externalCount = bytes.word(at + 68, "the dynamic symbol table command");
    uint32_t localOffset = bytes.word(at + 72, "the dynamic symbol table command");
    uint32_t localCount = bytes.word(at + 76, "the dynamic symbol table command");
    file.dynamic.externalRelocations =
        readRelocations(bytes, externalOffset, externalCount, "the external relocations");
    file.dynamic.localRelocations =
        readRelocations(bytes, localOffset, localCount, "the local relocations");
}

void readDyldInfo(const Bytes& bytes, uint64_t at, File& file)
{
    auto stream = [&](uint64_t field, const char* what) {
        return bytes.range(bytes.word(at + field, "the dyld information command"),
                           bytes.word(at + field + 4, "the dyld information command"), what);
    };
    file.dynamic.rebaseOpcodes = stream(8, "the rebase information");
    file.dynamic.bindOpcodes = stream(16, "the bind information");
    file.dynamic.weakBindOpcodes = stream(24, "the weak bind information");
    file.dynamic.lazyBindOpcodes = stream(32, "the lazy bind information");
}

void readCommand(const Bytes& bytes, uint64_t at, uint32_t command, uint32_t size, File& file)
{
    switch (command) {
    case kCommandSegment:
        readSegment(bytes, at, size, file);
        return;
    case kCommandSymbolTable:
        readSymbols(bytes, at, file);
        return;
    case kCommandDynamicSymbolTable:
        readDynamicSymbols(bytes, at, file);
        return;
    case kCommandDyldInfo:
    case kCommandDyldInfoOnly:
        readDyldInfo(bytes, at, file);
        return;
    case kCommandSegment64:
        throw MachOError("a 64-bit segment command in a 32-bit file");
    default:
        // Version, UUID, function starts, data in code and the like do not
        // change what is loaded; a command the dynamic linker must understand does.
        if ((command & kCommandRequiresDyld) != 0)
            throw MachOError("load command " + hexText(command)
                             + " needs a feature of the dynamic linker this loader lacks");
        return;
    }
}

// Sizes the fixed parts of each command so that a short one is refused
// before any of its fields is read.
uint32_t minimumCommandSize(uint32_t command)
{
    switch (command) {
    case kCommandSegment:
        return kSegmentCommandSize;
    case kCommandSymbolTable:
        return 24;
    case kCommandDynamicSymbolTable:
        return 80;
    case kCommandDyldInfo:
    case kCommandDyldInfoOnly:
        return 48;
    default:
        return 8;
    }
}

} // namespace

bool Section::isZeroFill() const
{
    return type() == kZeroFill || type() == kGigabyteZeroFill || type() == kThreadLocalZeroFill;
}

bool Section::isDebug() const
{
    return segment == "__DWARF" || (flags & kAttrDebug) != 0;
}

bool Section::isCode() const
{
    return (flags & (kAttrPureInstructions | kAttrSomeInstructions)) != 0;
}

bool looksLikeMachO(std::span<const uint8_t> prefix)
{
    if (prefix.size() < 4)
        return false;
    uint32_t magic = 0;
    std::memcpy(&magic, prefix.data(), 4);
    return magic == kMagic || magic == kMagicSwapped || magic == kMagic64
        || magic == kMagic64Swapped || magic == kFatMagic || magic == kFatMagicSwapped;
}

File readFile(std::span<const uint8_t> contents)
{
    Bytes bytes(contents);
    checkHeader(bytes);
    File file;
    file.bytes = contents;
    file.fileType = bytes.word(12, "the file type");
    if (file.fileType != kFileTypeObject && file.fileType != kFileTypeDylib)
        throw MachOError("Mach-O file type " + std::to_string(file.fileType)
                         + ": only an object (1) or a dylib (6) is loaded");
    uint32_t commandCount = bytes.word(16, "the load command count");
    uint32_t commandsSize = bytes.word(20, "the load commands' size");
    file.flags = bytes.word(24, "the header flags");
    bytes.range(kHeaderSize, commandsSize, "the load commands");

    uint64_t at = kHeaderSize;
    const uint64_t end = kHeaderSize + uint64_t{commandsSize};
    for (uint32_t index = 0; index < commandCount; ++index) {
        if (end - at < 8)
            throw MachOError("load command " + std::to_string(index)
                             + " lies past the load commands' size");
        uint32_t command = bytes.word(at, "a load command");
        uint32_t size = bytes.word(at + 4, "a load command");
        if (size < minimumCommandSize(command) || size % 4 != 0 || size > end - at)
            throw MachOError("load command " + std::to_string(index) + " (" + hexText(command)
                             + ") has a bad size of " + std::to_string(size) + " bytes");
        readCommand(bytes, at, command, size, file);
        at += size;
    }
    for (const Symbol& symbol : file.symbols)
        if (symbol.kind() == kSymbolInSection && !symbol.isDebugEntry()
            && (symbol.section == 0 || symbol.section > file.sections.size()))
            throw MachOError("symbol '" + symbol.name + "' names section "
                             + std::to_string(symbol.section) + ", which does not exist");
    return file;
}

} // namespace standin::macho
