// The stand-in host's Mach-O loader on objects clang made for Mac OS X i386
// from tests/mach_o/*.c: each relocation kind seen through the values it
// fixes up, the stack alignment at the boundary both ways, and every
// refusal (what the loader does not provide, other CPUs and file kinds,
// planted bad relocations and symbols, every truncation) as an error, never
// a crash. The objects' code runs where this process is i386; elsewhere the
// loader still maps them below 4 GiB and the relocated bytes are read.
#include "mach_o_image.h"
#include "plugin_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sys/mman.h>

namespace {

using standin::MachOImage;
using standin::macho::File;
using standin::macho::MachOError;
using standin::macho::Relocation;

#if defined(__i386__)
constexpr bool kRunsI386Code = true;
#else
constexpr bool kRunsI386Code = false;
#endif

std::string fixturePath(const std::string& name)
{
    return std::string(MACH_O_FIXTURES) + "/" + name + ".o";
}

std::vector<uint8_t> fixture(const std::string& name)
{
    std::ifstream in(fixturePath(name), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.empty())
        throw std::runtime_error("no test object " + fixturePath(name));
    return bytes;
}

template <typename T> T symbolAs(const MachOImage& image, const char* name)
{
    void* address = image.symbol(name);
    if (address == nullptr)
        throw std::runtime_error(std::string("no symbol ") + name);
    return reinterpret_cast<T>(address);
}

// What the loader says about these bytes: empty when it loads them.
std::string refusalOf(std::span<const uint8_t> bytes)
{
    try {
        MachOImage image(bytes);
    } catch (const MachOError& error) {
        return error.what();
    }
    return {};
}

// ---------------------------------------------------------------------------
// Relocation kinds

struct RelocationKind {
    const char* name;
    std::function<bool(const Relocation&)> matches;
};

const std::vector<RelocationKind>& relocationKinds()
{
    using standin::macho::kLocalSectionDifference;
    using standin::macho::kSectionDifference;
    using standin::macho::kVanilla;
    static const std::vector<RelocationKind> kinds = {
        {"vanilla absolute, section form",
         [](const Relocation& r) {
             return r.type == kVanilla && !r.scattered && !r.pcRelative && !r.external;
         }},
        {"vanilla absolute, symbol form",
         [](const Relocation& r) {
             return r.type == kVanilla && !r.scattered && !r.pcRelative && r.external;
         }},
        {"vanilla absolute, scattered",
         [](const Relocation& r) { return r.type == kVanilla && r.scattered && !r.pcRelative; }},
        {"vanilla PC-relative, section form",
         [](const Relocation& r) {
             return r.type == kVanilla && !r.scattered && r.pcRelative && !r.external;
         }},
        {"vanilla PC-relative, symbol form",
         [](const Relocation& r) {
             return r.type == kVanilla && !r.scattered && r.pcRelative && r.external;
         }},
        {"section difference", [](const Relocation& r) { return r.type == kSectionDifference; }},
        {"local section difference",
         [](const Relocation& r) { return r.type == kLocalSectionDifference; }},
    };
    return kinds;
}

// The objects below check each kind only if clang still emits it in them.
TEST(MachOFixtures, TogetherHoldEveryRelocationKindAndANonLazyPointer)
{
    std::vector<uint8_t> pic = fixture("relocations_pic");
    std::vector<uint8_t> fixed = fixture("relocations_static");
    std::vector<File> files = {standin::macho::readFile(pic), standin::macho::readFile(fixed)};
    for (const RelocationKind& kind : relocationKinds()) {
        bool found = false;
        for (const File& file : files)
            for (const auto& section : file.sections)
                if (!section.isDebug())
                    for (const Relocation& relocation : section.relocations)
                        found = found || kind.matches(relocation);
        EXPECT_TRUE(found) << "no " << kind.name << " relocation in the test objects";
    }
    bool hasPointers = false;
    for (const auto& section : files[0].sections)
        hasPointers = hasPointers || section.type() == standin::macho::kNonLazySymbolPointers;
    EXPECT_TRUE(hasPointers) << "no non-lazy symbol pointer in relocations_pic.o";
}

class RelocatedObject : public ::testing::TestWithParam<const char*> {};

// The 32-bit pointer the object keeps in its variable `name`, in a process
// of any width.
void* pointerIn(const MachOImage& image, const char* name)
{
    uint32_t address = 0;
    std::memcpy(&address, symbolAs<const void*>(image, name), 4);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the object's 32-bit pointer, widened
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

TEST_P(RelocatedObject, PointersInDataReachTheirTargets)
{
    std::vector<uint8_t> bytes = fixture(GetParam());
    MachOImage image(bytes);
    EXPECT_STREQ(static_cast<const char*>(pointerIn(image, "greeting_pointer")), "hello");
    EXPECT_EQ(pointerIn(image, "value_pointer"), image.symbol("exported_value"));
    EXPECT_EQ(*static_cast<int*>(pointerIn(image, "third_entry_pointer")), 30);
    EXPECT_EQ(pointerIn(image, "weak_value_pointer"), image.symbol("weak_value"));
    EXPECT_EQ(pointerIn(image, "weak_function_pointer"), image.symbol("weak_three"));
    EXPECT_EQ(*symbolAs<int*>(image, "exported_value"), 7);
    // File-local symbols are not exported.
    EXPECT_EQ(image.symbol("counter"), nullptr);
    EXPECT_EQ(image.symbol("twice"), nullptr);
    EXPECT_EQ(image.symbol("_exported_value"), nullptr) << "names are looked up as C spells them";
}

TEST_P(RelocatedObject, SectionsGetTheirProtectionsAndDebugSectionsAreLeftOut)
{
    std::vector<uint8_t> bytes = fixture(GetParam());
    MachOImage image(bytes);
    int textSections = 0;
    for (const auto& section : image.sections()) {
        SCOPED_TRACE(section.label);
        EXPECT_EQ(section.label.rfind("__DWARF,", 0), std::string::npos);
        int expected = section.label.rfind("__TEXT,__text", 0) == 0 ? PROT_READ | PROT_EXEC
            : section.label.rfind("__TEXT,", 0) == 0                ? PROT_READ
                                                                    : PROT_READ | PROT_WRITE;
        EXPECT_EQ(section.protection, expected);
        textSections += section.label.rfind("__TEXT,__text", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(textSections, 2) << "__text and __text_cold";
}

TEST_P(RelocatedObject, CodeReachesItsDataAndFunctions)
{
    if (!kRunsI386Code)
        GTEST_SKIP() << "i386 code runs only in a 32-bit x86 process";
    std::vector<uint8_t> bytes = fixture(GetParam());
    MachOImage image(bytes);
    using IntOfInt = int (*)(int);
    using Int = int (*)();
    EXPECT_EQ(symbolAs<IntOfInt>(image, "twice_plus_one")(5), 11);
    EXPECT_EQ(symbolAs<Int>(image, "next_counter")(), 42);
    EXPECT_EQ(symbolAs<Int>(image, "next_counter")(), 43);
    EXPECT_EQ(symbolAs<Int>(image, "read_exported")(), 7);
    *symbolAs<int*>(image, "exported_value") = 9;
    EXPECT_EQ(symbolAs<Int>(image, "read_exported")(), 9);
    EXPECT_EQ(symbolAs<Int>(image, "third_entry")(), 60);
    EXPECT_EQ(symbolAs<Int>(image, "weak_sum")(), 8);
    const int picked[] = {11, 23, 37, 41, 59, -1};
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(symbolAs<IntOfInt>(image, "pick")(x), picked[x]) << "case " << x;
}

INSTANTIATE_TEST_SUITE_P(MachO, RelocatedObject,
                         ::testing::Values("relocations_pic", "relocations_static"));

// ---------------------------------------------------------------------------
// The calling convention at the boundary

int hostSideMisalignment()
{
    return static_cast<int>((reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 8) % 16);
}

TEST(MachOCallingConvention, StackIsSixteenByteAlignedIntoTheObjectAndBackOut)
{
    if (!kRunsI386Code)
        GTEST_SKIP() << "i386 code runs only in a 32-bit x86 process";
    std::vector<uint8_t> bytes = fixture("calling_convention");
    MachOImage image(bytes);
    EXPECT_EQ(symbolAs<int (*)()>(image, "misalignment_on_entry")(), 0)
        << "the host calls in with the stack as Mac OS X code expects it";
    EXPECT_EQ(symbolAs<int (*)(int (*)())>(image, "call_back")(hostSideMisalignment), 0)
        << "Mac OS X code calls host operations with the stack as our code expects it";
}

// ---------------------------------------------------------------------------
// Refusals

TEST(MachORefusals, WhatTheLoaderDoesNotProvideIsNamed)
{
    struct Case {
        const char* object;
        const char* refusal;
    };
    const Case cases[] = {
        {"imports", "undefined symbol '_provided_elsewhere': an import"},
        {"thread_local", "a thread-local variable"},
        {"constructor", "__DATA,__mod_init_func (type 0x9) holds a constructor"},
    };
    for (const Case& test : cases) {
        std::vector<uint8_t> bytes = fixture(test.object);
        EXPECT_NE(refusalOf(bytes).find(test.refusal), std::string::npos)
            << test.object << ": " << refusalOf(bytes);
    }
}

void putWord(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, 4);
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

// Where, in relocations_pic.o, the first relocation of __TEXT,__text that
// `wanted` accepts lies, and that section's size.
struct Located {
    size_t offset;
    uint32_t sectionSize;
};

Located locate(const std::vector<uint8_t>& bytes,
               const std::function<bool(const Relocation&)>& wanted)
{
    File file = standin::macho::readFile(bytes);
    for (const auto& section : file.sections)
        if (section.label() == "__TEXT,__text")
            for (size_t index = 0; index < section.relocations.size(); ++index)
                if (wanted(section.relocations[index]))
                    return {section.relocationOffset + index * 8, section.size};
    throw std::runtime_error("relocations_pic.o has no such relocation");
}

bool isPlainPcRelative(const Relocation& relocation)
{
    return !relocation.scattered && relocation.pcRelative && !relocation.external;
}

bool isSectionDifference(const Relocation& relocation)
{
    return relocation.scattered && relocation.type == standin::macho::kLocalSectionDifference;
}

// A plain relocation's second word: symbol or section, PC-relative, length,
// extern and type, from the lowest bit up.
void setPlainType(std::vector<uint8_t>& bytes, size_t offset, uint32_t type)
{
    putWord(bytes, offset + 4, (wordAt(bytes, offset + 4) & 0x0fffffffu) | type << 28);
}

TEST(MachORefusals, PlantedFaultsAreNamed)
{
    struct Case {
        const char* fault;
        std::function<void(std::vector<uint8_t>&)> plant;
        const char* refusal;
    };
    const Case cases[] = {
        {"another CPU", [](auto& b) { putWord(b, 4, 18); }, "wrong CPU type 0x12 (PowerPC)"},
        {"x86_64", [](auto& b) { putWord(b, 4, 0x01000007); }, "wrong CPU type 0x1000007 (x86_64)"},
        {"64-bit header", [](auto& b) { putWord(b, 0, 0xfeedfacf); }, "a 64-bit Mach-O file"},
        {"big-endian", [](auto& b) { putWord(b, 0, 0xcefaedfe); }, "big-endian"},
        {"universal", [](auto& b) { putWord(b, 0, 0xcafebabe); }, "universal (fat)"},
        {"not Mach-O", [](auto& b) { putWord(b, 0, 0x464c457f); }, "not a Mach-O file"},
        {"an executable", [](auto& b) { putWord(b, 12, 2); }, "Mach-O file type 2"},
        {"load commands past the end", [](auto& b) { putWord(b, 20, 0x7fffffff); },
         "truncated file: the load commands"},
        {"a load command of 4 bytes", [](auto& b) { putWord(b, 28 + 4, 4); }, "has a bad size"},
        {"more sections than its command holds", [](auto& b) { putWord(b, 28 + 48, 100000); },
         "claims 100000 sections"},
        {"section contents past the end", [](auto& b) { putWord(b, 28 + 56 + 40, 0xfffffff0); },
         "truncated file: the contents of __TEXT,__text"},
        {"unknown relocation type",
         [](auto& b) { setPlainType(b, locate(b, isPlainPcRelative).offset, 9); },
         "unknown relocation type 9 at __TEXT,__text+"},
        {"lazy pointer relocation",
         [](auto& b) { setPlainType(b, locate(b, isPlainPcRelative).offset, 3); },
         "a lazy pointer at __TEXT,__text+"},
        {"thread-local relocation",
         [](auto& b) { setPlainType(b, locate(b, isPlainPcRelative).offset, 5); },
         "a thread-local reference"},
        {"pair alone", [](auto& b) { setPlainType(b, locate(b, isPlainPcRelative).offset, 1); },
         "a pair at __TEXT,__text+"},
        {"8-byte field",
         [](auto& b) {
             size_t at = locate(b, isPlainPcRelative).offset;
             putWord(b, at + 4, wordAt(b, at + 4) | 3u << 25);
         },
         "an 8-byte relocation"},
        {"relocation past its section",
         [](auto& b) {
             Located at = locate(b, isPlainPcRelative);
             putWord(b, at.offset, at.sectionSize - 2);
         },
         "runs past its section"},
        {"relocation naming a missing section",
         [](auto& b) {
             size_t at = locate(b, isPlainPcRelative).offset;
             putWord(b, at + 4, (wordAt(b, at + 4) & 0xff000000u) | 99u);
         },
         "names section 99, which does not exist"},
        {"relocation naming a missing symbol",
         [](auto& b) {
             size_t at = locate(b, isPlainPcRelative).offset;
             putWord(b, at + 4, (wordAt(b, at + 4) & 0xff000000u) | 1u << 27 | 99999u);
         },
         "names symbol 99999, which does not exist"},
        {"difference without its pair",
         [](auto& b) {
             size_t pair = locate(b, isSectionDifference).offset + 8;
             putWord(b, pair, wordAt(b, pair) & ~0x0f000000u);
         },
         "has no pair after it"},
        {"difference into no section",
         [](auto& b) { putWord(b, locate(b, isSectionDifference).offset + 4, 0x7ffffff0); },
         "refers to address 0x7ffffff0, in no loaded section"},
        {"symbol in a missing section",
         [](auto& b) {
             size_t at = standin::macho::readFile(b).symbolTableOffset;
             putWord(b, at + 4, (wordAt(b, at + 4) & 0xffff00ffu) | 200u << 8);
         },
         "names section 200, which does not exist"},
        {"symbol name outside the strings",
         [](auto& b) { putWord(b, standin::macho::readFile(b).symbolTableOffset, 0x7fffffff); },
         "outside the string table"},
    };
    for (const Case& test : cases) {
        std::vector<uint8_t> bytes = fixture("relocations_pic");
        test.plant(bytes);
        std::string refusal = refusalOf(bytes);
        EXPECT_NE(refusal.find(test.refusal), std::string::npos)
            << test.fault << ": got \"" << refusal << "\"";
    }
}

// A dylib written byte by byte, further below.
enum class DylibFixups { RebaseOpcodes, LocalRelocation, RebaseIntoText, BindsAnImport };
std::vector<uint8_t> writeDylib(DylibFixups fixups);

// The dylib written below, and an object.
std::vector<std::pair<std::string, std::vector<uint8_t>>> wellFormedFiles();

TEST(MachORefusals, EveryTruncationIsRefused)
{
    for (const auto& [name, bytes] : wellFormedFiles()) {
        ASSERT_EQ(refusalOf(bytes), "") << name;
        for (size_t length = 0; length < bytes.size(); ++length) {
            std::string refusal = refusalOf(std::span(bytes).first(length));
            ASSERT_NE(refusal.find("truncated file"), std::string::npos)
                << name << " cut at " << length << " of " << bytes.size() << ": \"" << refusal
                << "\"";
        }
    }
}

// Bytes changed at random: each load either works or is refused with an
// error, and none crashes or hangs.
TEST(MachORefusals, CorruptedFilesAreLoadedOrRefusedNeverCrash)
{
    for (const auto& [name, original] : wellFormedFiles()) {
        std::mt19937 random(20261209);
        std::uniform_int_distribution<size_t> position(0, original.size() - 1);
        std::uniform_int_distribution<int> value(0, 255);
        int refused = 0;
        for (int round = 0; round < 3000; ++round) {
            std::vector<uint8_t> bytes = original;
            for (int change = 0; change < 1 + round % 4; ++change)
                bytes[position(random)] = static_cast<uint8_t>(value(random));
            refused += refusalOf(bytes).empty() ? 0 : 1;
        }
        EXPECT_GT(refused, 0) << name;
    }
}

// ---------------------------------------------------------------------------
// A dylib, as a Mac's linker would leave it, written here byte by byte: no
// linker here makes one. __TEXT holds the header and `_answer` (mov eax, 42;
// ret) at 0x800, __DATA `_answer_pointer` at 0x1000, which points at it and
// must be rebased; __LINKEDIT the symbols and the fix-ups.

class DylibWriter {
public:
    std::vector<uint8_t> bytes = std::vector<uint8_t>(0x3000);

    void word(size_t at, uint32_t value) { putWord(bytes, at, value); }
    void name(size_t at, const char* text)
    {
        std::memcpy(bytes.data() + at, text, std::strlen(text));
    }

    // LC_SEGMENT with at most one section; returns the next command's offset.
    size_t segment(size_t at, const char* segmentName, uint32_t address, uint32_t protection,
                   const char* sectionName, uint32_t sectionAddress, uint32_t sectionSize,
                   uint32_t sectionFlags)
    {
        const uint32_t sections = sectionName != nullptr ? 1 : 0;
        word(at, 0x1);
        word(at + 4, 56 + 68 * sections);
        name(at + 8, segmentName);
        word(at + 24, address);
        word(at + 28, 0x1000);
        word(at + 32, address);
        word(at + 36, 0x1000);
        word(at + 40, protection);
        word(at + 44, protection);
        word(at + 48, sections);
        if (sectionName != nullptr) {
            name(at + 56, sectionName);
            name(at + 56 + 16, segmentName);
            word(at + 56 + 32, sectionAddress);
            word(at + 56 + 36, sectionSize);
            word(at + 56 + 40, sectionAddress);
            word(at + 56 + 44, 2);
            word(at + 56 + 56, sectionFlags);
        }
        return at + 56 + size_t{68} * sections;
    }
};

std::vector<uint8_t> writeDylib(DylibFixups fixups)
{
    constexpr uint32_t kLinkEdit = 0x2000;
    DylibWriter dylib;
    dylib.word(0, standin::macho::kMagic);
    dylib.word(4, standin::macho::kCpuTypeI386);
    dylib.word(8, 3);
    dylib.word(12, standin::macho::kFileTypeDylib);
    size_t at = 28;
    at = dylib.segment(at, "__TEXT", 0, PROT_READ | PROT_EXEC, "__text", 0x800, 6, 0x80000400);
    at = dylib.segment(at, "__DATA", 0x1000, PROT_READ | PROT_WRITE, "__data", 0x1000, 4, 0);
    at = dylib.segment(at, "__LINKEDIT", kLinkEdit, PROT_READ, nullptr, 0, 0, 0);
    const uint8_t answer[] = {0xb8, 0x2a, 0x00, 0x00, 0x00, 0xc3};
    std::memcpy(dylib.bytes.data() + 0x800, answer, sizeof answer);
    dylib.word(0x1000, 0x800);

    // Two exported symbols, then their names.
    dylib.word(at, 0x2);
    dylib.word(at + 4, 24);
    dylib.word(at + 8, kLinkEdit);
    dylib.word(at + 12, 2);
    dylib.word(at + 16, kLinkEdit + 24);
    dylib.word(at + 20, 32);
    at += 24;
    dylib.word(kLinkEdit, 1);
    dylib.word(kLinkEdit + 4, 0x0f | 1u << 8);
    dylib.word(kLinkEdit + 8, 0x800);
    dylib.word(kLinkEdit + 12, 9);
    dylib.word(kLinkEdit + 16, 0x0f | 2u << 8);
    dylib.word(kLinkEdit + 20, 0x1000);
    dylib.name(kLinkEdit + 24 + 1, "_answer");
    dylib.name(kLinkEdit + 24 + 9, "_answer_pointer");

    constexpr uint32_t kFixups = kLinkEdit + 0x100;
    if (fixups == DylibFixups::LocalRelocation) {
        dylib.word(at, 0xb);
        dylib.word(at + 4, 80);
        dylib.word(at + 72, kFixups);
        dylib.word(at + 76, 1);
        dylib.word(kFixups, 0x1000);
        dylib.word(kFixups + 4, 2u << 25 | 2u);
        at += 80;
    } else {
        // Pointer type; segment 1 (0 for the text), offset 0; rebase once; done.
        const uint8_t segment = fixups == DylibFixups::RebaseIntoText ? 0x20 : 0x21;
        const uint8_t rebase[] = {0x11, segment, 0x00, 0x51, 0x00};
        std::memcpy(dylib.bytes.data() + kFixups, rebase, sizeof rebase);
        dylib.word(at, 0x80000022);
        dylib.word(at + 4, 48);
        dylib.word(at + 8, kFixups);
        dylib.word(at + 12, sizeof rebase);
        if (fixups == DylibFixups::BindsAnImport) {
            // Library 1; symbol "_malloc"; pointer type; segment 1, offset 0; bind; done.
            const uint8_t bind[] = {0x11, 0x40, '_',  'm',  'a',  'l',  'l', 'o',
                                    'c',  0x00, 0x51, 0x71, 0x00, 0x90, 0x00};
            std::memcpy(dylib.bytes.data() + kFixups + 0x20, bind, sizeof bind);
            dylib.word(at + 16, kFixups + 0x20);
            dylib.word(at + 20, sizeof bind);
        }
        at += 48;
    }
    dylib.word(16, 5);
    dylib.word(20, static_cast<uint32_t>(at - 28));
    return dylib.bytes;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> wellFormedFiles()
{
    return {{"relocations_static.o", fixture("relocations_static")},
            {"a dylib", writeDylib(DylibFixups::RebaseOpcodes)}};
}

TEST(MachODylib, IsMappedRebasedAndItsExportsRun)
{
    for (DylibFixups fixups : {DylibFixups::RebaseOpcodes, DylibFixups::LocalRelocation}) {
        SCOPED_TRACE(fixups == DylibFixups::RebaseOpcodes ? "rebase opcodes" : "local relocation");
        std::vector<uint8_t> bytes = writeDylib(fixups);
        MachOImage image(bytes);
        ASSERT_NE(image.symbol("answer"), nullptr);
        EXPECT_EQ(pointerIn(image, "answer_pointer"), image.symbol("answer"));
        ASSERT_EQ(image.sections().size(), 2u);
        EXPECT_EQ(image.sections()[0].protection, PROT_READ | PROT_EXEC);
        EXPECT_EQ(image.sections()[1].protection, PROT_READ | PROT_WRITE);
        if (kRunsI386Code) {
            EXPECT_EQ(symbolAs<int (*)()>(image, "answer")(), 42);
            EXPECT_EQ((*symbolAs<int (**)()>(image, "answer_pointer"))(), 42);
        }
    }
}

TEST(MachODylib, ImportsAndRebasesIntoCodeAreRefused)
{
    EXPECT_NE(refusalOf(writeDylib(DylibFixups::BindsAnImport))
                  .find("the dylib imports '_malloc', and this loader links nothing in"),
              std::string::npos);
    EXPECT_NE(refusalOf(writeDylib(DylibFixups::RebaseIntoText))
                  .find("a rebase at 0x0 lies in no writable segment"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// PluginLibrary opens Mach-O files with this loader

TEST(MachOPluginLibrary, OpensAMachOFileAndNamesWhatIsWrong)
{
    auto failure = [](const std::string& path) -> std::string {
        try {
            standin::PluginLibrary library(path);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return {};
    };
    std::string relocations = failure(fixturePath("relocations_pic"));
    if (kRunsI386Code)
        EXPECT_NE(relocations.find("relocations_pic.o: not a plug-in for this host: it has no "
                                   "entry point \"getVersion\""),
                  std::string::npos)
            << relocations;
    else
        EXPECT_NE(relocations.find("runs only in a 32-bit x86 process"), std::string::npos)
            << relocations;
    if (kRunsI386Code) {
        std::string imports = failure(fixturePath("imports"));
        EXPECT_NE(imports.find("imports.o: cannot load the plug-in: undefined symbol"),
                  std::string::npos)
            << imports;
    }
}

} // namespace
