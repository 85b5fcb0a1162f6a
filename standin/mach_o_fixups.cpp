#include "mach_o_fixups.h"

#include <cstring>

namespace standin::macho {

namespace {

// Why a section of this type cannot be loaded here, or null when it can.
const char* refusalOf(uint32_t type)
{
    switch (type) {
    case kRegular:
    case kZeroFill:
    case kCStringLiterals:
    case kFourByteLiterals:
    case kEightByteLiterals:
    case kLiteralPointers:
    case kCoalesced:
    case kGigabyteZeroFill:
    case kSixteenByteLiterals:
    case kNonLazySymbolPointers: // filled by the loader with symbols the file defines
        return nullptr;
    case kLazySymbolPointers:
    case kSymbolStubs:
    case kLazyDylibSymbolPointers:
        return "lazy symbol pointers or stubs (imports bound by the dynamic linker)";
    case kModInitFuncPointers:
    case kInitFuncOffsets:
        return "a constructor (run by the dynamic linker at load)";
    case kModTermFuncPointers:
        return "a destructor (run by the dynamic linker at unload)";
    case kThreadLocalRegular:
    case kThreadLocalZeroFill:
    case kThreadLocalVariables:
    case kThreadLocalVariablePointers:
    case kThreadLocalInitFunctionPointers:
        return "a thread-local variable";
    case kInterposing:
        return "interposing (replaces another library's functions)";
    case kDtraceDof:
        return "DTrace probes";
    default:
        return "an unknown section type";
    }
}

} // namespace

std::string hexText(uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xf]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

void refuseWhatIsNotProvided(const File& file)
{
    for (const Section& section : file.sections) {
        if (section.isDebug())
            continue;
        if (const char* refusal = refusalOf(section.type()))
            throw MachOError("section " + section.label() + " (type " + hexText(section.type())
                             + ") holds " + refusal + ", which this loader does not provide");
        if (section.alignLog2 > 12)
            throw MachOError("section " + section.label() + " wants an alignment of 2^"
                             + std::to_string(section.alignLog2) + ", more than a page");
    }
    for (const Symbol& symbol : file.symbols) {
        if (symbol.isDebugEntry())
            continue;
        if (symbol.kind() == kSymbolUndefined && symbol.value != 0)
            throw MachOError("common symbol '" + symbol.name
                             + "': this loader allocates none (compile with -fno-common)");
        if (symbol.kind() == kSymbolUndefined)
            throw MachOError("undefined symbol '" + symbol.name
                             + "': an import, and this loader links nothing in");
        if (symbol.kind() == kSymbolIndirect || symbol.kind() == kSymbolPrebound)
            throw MachOError("symbol '" + symbol.name
                             + "' is indirect or prebound: it names another library's symbol");
        if (symbol.kind() != kSymbolInSection && symbol.kind() != kSymbolAbsolute)
            throw MachOError("symbol '" + symbol.name + "' has the unknown kind "
                             + hexText(symbol.kind()));
    }
}

void addToField(uint8_t* field, uint8_t lengthLog2, bool pcRelative, int64_t delta,
                const std::string& where)
{
    if (lengthLog2 == 3)
        throw MachOError("an 8-byte relocation at " + where + " in a 32-bit file");
    const size_t width = size_t{1} << lengthLog2;
    if (width == 4) {
        uint32_t value = 0;
        std::memcpy(&value, field, 4);
        value += static_cast<uint32_t>(delta);
        std::memcpy(field, &value, 4);
        return;
    }
    int64_t value = 0;
    if (width == 2) {
        uint16_t narrow = 0;
        std::memcpy(&narrow, field, 2);
        value = pcRelative ? static_cast<int16_t>(narrow) : narrow;
    } else {
        value = pcRelative ? static_cast<int8_t>(*field) : *field;
    }
    value += delta;
    const int64_t bits = static_cast<int64_t>(width) * 8;
    const int64_t lowest = pcRelative ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t highest = pcRelative ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
    if (value < lowest || value > highest)
        throw MachOError("the relocated value at " + where + " does not fit in "
                         + std::to_string(width) + " bytes");
    if (width == 2) {
        auto narrow = static_cast<uint16_t>(value);
        std::memcpy(field, &narrow, 2);
    } else {
        *field = static_cast<uint8_t>(value);
    }
}

} // namespace standin::macho
