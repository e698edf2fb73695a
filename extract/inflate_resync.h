// Recovery past damage inside a deflated entry: the data behind a damaged span is decoded
// again from where the stream can be picked up, and put at its offsets by the recorded size.
#pragma once

#include <cstdint>
#include <vector>

#include "extract/extract_context.h"

namespace zipsalvage {

// The largest compressed entry whose bytes are held for the search (while every such entry is
// decoded, damaged or not); larger entries keep the streaming result.
inline constexpr uint64_t kResyncLargestData = (sizeof(void*) >= 8 ? uint64_t{64} : 16) << 20;
// The most output the search holds in memory (twice: the bytes and their marks).
inline constexpr uint64_t kResyncLargestOutput = (sizeof(void*) >= 8 ? uint64_t{256} : 32) << 20;

// What the search made of an entry's compressed bytes: `length` output bytes (the recorded
// size when the data behind the damage was placed, the good prefix alone otherwise), with a
// mark of 1 for each byte that stands for data not decoded (written as zero).
struct DeflateSalvage {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> marks;
    uint64_t length = 0;
    bool placed = false;  // the data behind the damage is in, at its offsets
};

// Looks for damage in `data` (the entry's whole compressed data) and decodes around it. False
// when no damage is found that the search can vouch for: the streaming result then stands.
// `recordedSize` places what follows the damage; without it (`sizeKnown` false) only the
// prefix before the damage is given.
bool salvageDeflate(const uint8_t* data, uint64_t size, uint64_t recordedSize, bool sizeKnown,
                    bool deflate64, DeflateSalvage& salvage);

// inflate (or Deflate64) for an entry whose damage may be recovered past: the compressed bytes
// are kept as they are read (for data of known length up to kResyncLargestData, unencrypted,
// where context.unknown asks), and when the stream fails or its output does not have the
// recorded size, salvageDeflate's result replaces the streaming one, its zeros listed in
// context.unknown.
DecodeResult inflateWithResync(ExtractContext& context, bool deflate64);

}  // namespace zipsalvage
