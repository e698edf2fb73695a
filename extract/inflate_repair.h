// The repair of one flipped bit in a deflated entry, proven by the entry's recorded size and
// CRC-32.
#pragma once

#include <cstdint>
#include <vector>

namespace zipsalvage {

// Looks for one bit of `data` (the entry's whole compressed data) whose flip makes the stream
// decode to exactly `recordedSize` bytes with CRC-32 `recordedCrc`, ending at the data's end.
// Bits shortly before where decoding first shows damage (an invalid code, or a match shorter
// than its distance allowed) are tried first, closest first; where the stream decodes to its
// end, every other bit of it too, all within a bounded amount of work. On success `output` holds
// the entry's bytes, `flippedBit` the bit (from the data's first bit) and `data` is left corrected.
bool repairFlippedBit(std::vector<uint8_t>& data, uint64_t recordedSize, uint32_t recordedCrc,
                      bool deflate64, std::vector<uint8_t>& output, uint64_t& flippedBit);

}  // namespace zipsalvage
