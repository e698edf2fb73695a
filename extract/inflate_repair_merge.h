// The search for one flipped bit anywhere in a deflate stream that decodes without a sign of
// damage: each trial is decoded only until it rejoins the damaged stream's own decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zipsalvage {

// Entries up to this size are searched this way: it holds about twenty bytes per byte of the
// entry (the decoding's symbols, copies and the CRC-32's weights among them).
inline constexpr uint64_t kMergeRepairLargestOutput = (sizeof(void*) >= 8 ? uint64_t{8} : 1) << 20;

enum class MergeRepair : uint8_t {
    kRepaired,
    kNotFound,  // the stream was searched, within the work allowed
    kNotTried,  // the stream as it is fails before its end, or the entry is too large
};

// What a repaired entry must come to, and where to look first.
struct FlipSearch {
    uint64_t recordedSize;
    uint32_t recordedCrc;
    bool deflate64;
    uint64_t searchFirst;  // where the stream first shows damage: the bits before it go first
    bool sameSizeOnly;     // searched only where the stream decodes to the recorded size
    // The writer makes every match the longest (zlib, Info-ZIP): the flip then lies before
    // `searchFirst`, and a repair with a match it would have made longer is refused.
    bool longestMatches;
    // Where damage shows a sign close behind the flip, only this many bits before `searchFirst`
    // are tried.
    uint64_t mostBitsTried = UINT64_MAX;
};

// The stream's decoding as the first search over the data works it out, kept for a second
// search over the same data (every trial's flip undone): the stream is decoded once.
struct FlipDecoding;
struct FlipDecodingFree {
    void operator()(FlipDecoding* decoding) const;
};
using KeptFlipDecoding = std::unique_ptr<FlipDecoding, FlipDecodingFree>;

// Looks for one bit of `data` whose flip makes the stream decode to exactly the recorded size
// with the recorded CRC-32, ending at the data's end, where the stream as it is decodes to its
// end with no invalid code. Every bit of the stream may be tried, within a bounded amount of
// work. On success `output` holds the entry's bytes, `flippedBit` the bit and `data` is left
// corrected. `kept` is filled by the first call and read by the next ones.
MergeRepair repairFlipByMerge(std::vector<uint8_t>& data, const FlipSearch& search,
                              std::vector<uint8_t>& output, uint64_t& flippedBit,
                              KeptFlipDecoding& kept);

}  // namespace zipsalvage
