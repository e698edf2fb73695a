// Format facts of shrinking and reducing (APPNOTE 5.1 and 5.2), and the window layout used here.
#pragma once

#include <cstdint>

namespace zipsalvage {
// Its own (inline) namespace: the encoder and the decoders each have tables of these RFC 1951
// names with different shapes, and one program must not see two definitions of one name.
inline namespace legacy_tables {

// Shrinking (APPNOTE 5.1).
inline constexpr uint32_t kShrinkFirstCodeBits = 9;
inline constexpr uint32_t kShrinkMaxCodeBits = 13;
inline constexpr uint32_t kShrinkControlCode = 256;
inline constexpr uint32_t kShrinkGrowCodeBits = 1;  // sub-code after 256: code size + 1
inline constexpr uint32_t kShrinkPartialClear = 2;  // sub-code after 256: free the leaves
inline constexpr uint32_t kShrinkFirstFreeCode = 257;
inline constexpr uint32_t kShrinkTableLimit = 8192;  // codes 0 to 8191 (13 bits)
inline constexpr uint32_t kShrinkTableEntries = 8194;
inline constexpr uint32_t kShrinkStackBytes = 8192;   // longest string decoded
inline constexpr uint32_t kShrinkWindowBytes = 8192;  // part of the window used for output

// Reducing (APPNOTE 5.2).
inline constexpr uint8_t kReduceRunMarker = 0x90;  // DLE: introduces a copy, or 0x90 itself
inline constexpr uint32_t kReduceFollowerCountBits = 6;
inline constexpr uint32_t kReduceMaxFollowers = 64;  // slots per set (counts are 0 to 63)
inline constexpr uint32_t kReduceByteValues = 256;
inline constexpr uint32_t kReduceWindowBytes = 16384;
inline constexpr uint32_t kReduceFollowerSetsAt = kReduceWindowBytes;  // sets sit behind it
inline constexpr uint32_t kReduceMinCopy = 3;

// Per compression factor 1 to 4 (method 2 to 5); index 0 is unused.
struct ReduceFactor {
    uint8_t lengthMask;
    uint8_t distanceShift;
    uint8_t distanceMask;
};
// clang-format off
inline constexpr ReduceFactor kReduceFactors[5] = {
    {0x00, 0, 0x00},
    {0x7F, 7, 0x01},  // factor 1: copies up to 385 bytes, distances up to 512
    {0x3F, 6, 0x03},  // factor 2: 321, 1024
    {0x1F, 5, 0x07},  // factor 3: 289, 2048
    {0x0F, 4, 0x0F},  // factor 4: 273, 4096
};
// clang-format on

// Bits that select one of `count` followers: 1 for one or two, then the smallest w with
// 2^w >= count (APPNOTE 5.2.3).
constexpr uint32_t followerIndexBits(uint32_t count) {
    uint32_t width = 1;
    while ((1u << width) < count) ++width;
    return width;
}

}  // namespace legacy_tables
}  // namespace zipsalvage
