// Runs the method of one entry of a real archive straight from its bytes, as the dispatch does.
#pragma once

#include "tests/legacy/zip_listing.h"
#include "tests/support/memory_source.h"

namespace zipsalvage::testing {

struct MethodRun {
    int result = 0;
    Bytes output;
};

inline bool isLegacyMethod(uint16_t method) { return method >= 1 && method <= 6; }

// The entry's data as the archive holds it, with whatever follows (the 10-byte allowance reads
// into it). `available` bytes from the data's start can be read (a truncated archive);
// `compressedSize` overrides the recorded one when not negative.
MethodRun runEntryMethod(const Bytes& archive, const DirectoryEntry& entry,
                         size_t available = SIZE_MAX, int64_t compressedSize = -1);

}  // namespace zipsalvage::testing
