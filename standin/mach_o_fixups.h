// What the object and dylib loaders share: the refusal of everything this
// loader does not provide, and the one way a relocated field is changed.
#pragma once

#include "mach_o_file.h"

#include <cstdint>
#include <string>

namespace standin::macho {

// No more is mapped for one file than this; a larger claim is a broken file.
constexpr uint64_t kImageSizeLimit = uint64_t{256} << 20;

// Throws for an import (undefined symbol), a common or indirect symbol, or a
// section needing what the Mac's dynamic linker would do and this loader
// does not: thread-locals, constructors and destructors, lazy binding,
// interposing, or a section type it does not know.
void refuseWhatIsNotProvided(const File& file);

// Adds `delta` to the little-endian field of 1 << lengthLog2 bytes at
// `field`: signed for a PC-relative field, unsigned otherwise, and refused
// when the result does not fit. `where` names the field for the error.
void addToField(uint8_t* field, uint8_t lengthLog2, bool pcRelative, int64_t delta,
                const std::string& where);

std::string hexText(uint64_t value);

} // namespace standin::macho
