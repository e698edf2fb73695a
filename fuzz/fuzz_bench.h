// What the decoder targets stand on: entry data served from memory, one scratch output file per
// process (emptied before each run), and the decoder's byte source counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extract/extract_context.h"

namespace zipsalvage::fuzz {

// Serves the input from memory, as the archive reader would: a read that cannot be filled in
// full fails, and what it did take stays taken. Only `available` bytes exist (a truncated
// archive when fewer than the data).
struct MemoryInput {
    const uint8_t* bytes = nullptr;
    size_t available = 0;
    size_t offset = 0;
    int64_t reads = 0;
    int64_t failedReads = 0;
    EntryByteSource source();
};

// An empty file for a decoder's output: created once (unlinked at once, so nothing is left
// behind), truncated to 0 bytes by each call.
FileHandle emptyScratchOutput();
int64_t scratchOutputSize();
std::vector<uint8_t> scratchOutputBytes();

}  // namespace zipsalvage::fuzz
