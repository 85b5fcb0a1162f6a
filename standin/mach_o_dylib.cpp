// An i386 dylib, as a Mac's linker leaves it: segments at fixed distances
// from each other, pointers that must move with the image (rebases, as
// opcodes or classic local relocations) and imports (binds), which this
// loader refuses since it links nothing in.
#include "mach_o_fixups.h"
#include "mach_o_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace standin {

using namespace macho;

namespace {

constexpr uint8_t kOpcodeMask = 0xf0;
constexpr uint8_t kImmediateMask = 0x0f;

// Reads one opcode stream's operands, never past its end.
class OpcodeReader {
public:
    explicit OpcodeReader(std::span<const uint8_t> stream)
        : stream_(stream)
    {
    }

    bool done() const { return at_ == stream_.size(); }
    uint8_t byte() { return stream_[at_++]; }

    uint64_t uleb()
    {
        uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            if (done() || shift > 63)
                throw MachOError("a malformed number in the dynamic linker's information");
            uint8_t next = byte();
            value |= uint64_t{next & 0x7fu} << shift;
            if ((next & 0x80u) == 0)
                return value;
        }
    }

    std::string text()
    {
        size_t start = at_;
        while (!done() && stream_[at_] != 0)
            ++at_;
        if (done())
            throw MachOError("a symbol name runs past the bind information");
        std::string name(reinterpret_cast<const char*>(stream_.data() + start), at_ - start);
        ++at_;
        return name;
    }

private:
    std::span<const uint8_t> stream_;
    size_t at_ = 0;
};

// The first symbol a bind stream imports, or empty when it binds nothing.
std::string firstBoundSymbol(std::span<const uint8_t> stream)
{
    OpcodeReader reader(stream);
    while (!reader.done()) {
        uint8_t opcode = reader.byte();
        switch (opcode & kOpcodeMask) {
        case 0x00: // done (lazy streams separate their entries with it)
        case 0x10: // dylib ordinal, immediate
        case 0x30: // special dylib ordinal
        case 0x50: // type
        case 0x90: // bind
        case 0xb0: // bind, then skip a scaled immediate
            break;
        case 0x20: // dylib ordinal
        case 0x60: // addend (signed, read alike)
        case 0x70: // segment and offset
        case 0x80: // add to the address
        case 0xa0: // bind, then skip
            reader.uleb();
            break;
        case 0xc0: // bind repeatedly, skipping
            reader.uleb();
            reader.uleb();
            break;
        case 0x40: // symbol name
            return reader.text();
        default:
            throw MachOError("unknown bind opcode " + hexText(opcode));
        }
    }
    return {};
}

// A dylib's segments mapped at their own distances from the first one.
class DylibRebaser {
public:
    DylibRebaser(const File& file, uint8_t* base, uint64_t lowest)
        : file_(file)
        , base_(base)
        , lowest_(lowest)
    {
    }

    int64_t slide() const
    {
        return static_cast<int64_t>(reinterpret_cast<uintptr_t>(base_))
            - static_cast<int64_t>(lowest_);
    }

    // Adds the slide to the pointer at `address` of the file's layout, which
    // must lie in a writable segment.
    void rebaseAt(uint64_t address, const std::string& what)
    {
        for (const Segment& segment : file_.segments)
            if (address >= segment.address
                && address + 4 <= segment.address + uint64_t{segment.memorySize}
                && (segment.initialProtection & PROT_WRITE) != 0) {
                addToField(base_ + (address - lowest_), 2, false, slide(), what);
                return;
            }
        throw MachOError(what + " at " + hexText(address) + " lies in no writable segment");
    }

    void runRebaseOpcodes(std::span<const uint8_t> stream)
    {
        OpcodeReader reader(stream);
        uint64_t address = 0;
        auto segmentStart = [&](uint8_t index) -> uint64_t {
            if (index >= file_.segments.size())
                throw MachOError("the rebase information names segment " + std::to_string(index)
                                 + ", which does not exist");
            return file_.segments[index].address;
        };
        // A skip can wrap the address around onto itself: no image has more
        // pointers than words.
        uint64_t rebases = 0;
        auto rebaseTimes = [&](uint64_t count, uint64_t skip) {
            for (uint64_t done = 0; done < count; ++done) {
                if (++rebases > kImageSizeLimit / 4)
                    throw MachOError("the rebase information rebases more pointers than fit");
                rebaseAt(address, "a rebase");
                address += 4 + skip;
            }
        };
        while (!reader.done()) {
            uint8_t opcode = reader.byte();
            uint8_t immediate = opcode & kImmediateMask;
            switch (opcode & kOpcodeMask) {
            case 0x00:
                return;
            case 0x10: // type: pointers and absolute text words are both 32-bit additions
                if (immediate != 1 && immediate != 2)
                    throw MachOError("rebase type " + std::to_string(immediate)
                                     + ", which this loader does not apply");
                break;
            case 0x20:
                address = segmentStart(immediate) + reader.uleb();
                break;
            case 0x30:
                address += reader.uleb();
                break;
            case 0x40:
                address += uint64_t{immediate} * 4;
                break;
            case 0x50:
                rebaseTimes(immediate, 0);
                break;
            case 0x60:
                rebaseTimes(reader.uleb(), 0);
                break;
            case 0x70:
                rebaseTimes(1, reader.uleb());
                break;
            case 0x80: {
                uint64_t count = reader.uleb();
                rebaseTimes(count, reader.uleb());
                break;
            }
            default:
                throw MachOError("unknown rebase opcode " + hexText(opcode));
            }
        }
    }

    // Classic local relocations: addresses from the first segment, each a
    // 32-bit pointer to a place inside the image.
    void applyLocalRelocations()
    {
        for (const Relocation& relocation : file_.dynamic.localRelocations) {
            if (relocation.type != kVanilla || relocation.pcRelative || relocation.lengthLog2 != 2
                || relocation.external)
                throw MachOError("a local relocation of type " + std::to_string(relocation.type)
                                 + " at " + hexText(relocation.address)
                                 + ", which this loader does not apply to a dylib");
            rebaseAt(file_.segments.front().address + uint64_t{relocation.address},
                     "a local relocation");
        }
    }

private:
    const File& file_;
    uint8_t* base_;
    uint64_t lowest_;
};

void refuseImports(const File& file)
{
    for (auto stream :
         {file.dynamic.bindOpcodes, file.dynamic.weakBindOpcodes, file.dynamic.lazyBindOpcodes}) {
        std::string name = firstBoundSymbol(stream);
        if (!name.empty())
            throw MachOError("the dylib imports '" + name + "', and this loader links nothing in");
    }
    if (!file.dynamic.externalRelocations.empty())
        throw MachOError("the dylib has external relocations (imports), and this loader links "
                         "nothing in");
}

} // namespace

void MachOImage::mapDylib(const File& file)
{
    refuseImports(file);
    if (file.segments.empty())
        throw MachOError("a dylib with no segment");
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t lowest = UINT64_MAX;
    uint64_t highest = 0;
    for (const Segment& segment : file.segments) {
        if (segment.address % page != 0)
            throw MachOError("segment '" + segment.name + "' does not start on a page");
        if (segment.fileSize > segment.memorySize)
            throw MachOError("segment '" + segment.name + "' holds more file than memory");
        lowest = std::min<uint64_t>(lowest, segment.address);
        highest = std::max<uint64_t>(highest, uint64_t{segment.address} + segment.memorySize);
    }
    if (highest - lowest > kImageSizeLimit)
        throw MachOError("the segments span more than " + std::to_string(kImageSizeLimit >> 20)
                         + " MiB");
    reserve((highest - lowest + page - 1) / page * page);
    for (const Segment& segment : file.segments)
        std::memcpy(memory_ + (segment.address - lowest), file.bytes.data() + segment.fileOffset,
                    segment.fileSize);

    DylibRebaser rebaser(file, memory_, lowest);
    rebaser.runRebaseOpcodes(file.dynamic.rebaseOpcodes);
    rebaser.applyLocalRelocations();
    const int allProtections = PROT_READ | PROT_WRITE | PROT_EXEC;
    for (const Segment& segment : file.segments)
        protect(segment.address - lowest, (uint64_t{segment.memorySize} + page - 1) / page * page,
                static_cast<int>(segment.initialProtection) & allProtections);

    for (const Section& section : file.sections) {
        int protection = 0;
        for (const Segment& segment : file.segments)
            if (segment.name == section.segment)
                protection = static_cast<int>(segment.initialProtection) & allProtections;
        placed_.push_back({section.label(),
                           reinterpret_cast<uintptr_t>(memory_)
                               + static_cast<uintptr_t>(section.address - lowest),
                           section.size, protection});
    }
    for (const Symbol& symbol : file.symbols) {
        if (!symbol.isExported())
            continue;
        if (symbol.value < lowest || symbol.value >= highest)
            throw MachOError("symbol '" + symbol.name + "' lies outside the dylib's segments");
        exports_[symbol.name] = memory_ + (symbol.value - lowest);
    }
}

} // namespace standin
