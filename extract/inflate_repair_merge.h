// The search for one flipped bit anywhere in a deflate stream that decodes without a sign of
// damage: each trial is decoded only until it rejoins the damaged stream's own decoding.
#pragma once

#include <cstdint>
#include <vector>

namespace zipsalvage {

// Entries up to this size are searched this way (it holds about eight bytes per byte).
inline constexpr uint64_t kMergeRepairLargestOutput = (sizeof(void*) >= 8 ? uint64_t{32} : 4) << 20;

// Looks for one bit of `data` whose flip makes the stream decode to exactly `recordedSize`
// bytes with CRC-32 `recordedCrc`, ending at the data's end, where the stream as it is decodes
// to its end with no invalid code. Every bit of the stream may be tried, within a bounded
// amount of work, those before `searchFirst` (where the stream first shows damage) first. On
// success `output` holds the entry's bytes, `flippedBit` the bit and `data`
// is left corrected.
bool repairFlipByMerge(std::vector<uint8_t>& data, uint64_t recordedSize, uint32_t recordedCrc,
                       bool deflate64, uint64_t searchFirst, std::vector<uint8_t>& output,
                       uint64_t& flippedBit);

}  // namespace zipsalvage
