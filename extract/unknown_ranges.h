// The spans of an entry's decoded bytes that a decoder could not vouch for. They are written as
// zero bytes, so every recovered byte keeps its offset in the file, and listed, so the log, the
// report and the salvaged archive can say where the holes are.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zipsalvage {

// Offsets in the decoded file, end exclusive.
struct ByteRange {
    uint64_t start = 0;
    uint64_t end = 0;
};

// Sorted by offset; no two ranges overlap or touch.
struct UnknownRanges {
    std::vector<ByteRange> ranges;
};

// Adds [start, end) and merges it with the ranges it overlaps or touches. An empty span is
// ignored.
inline void markUnknown(UnknownRanges& unknown, uint64_t start, uint64_t end) {
    if (end <= start) return;
    std::vector<ByteRange>& ranges = unknown.ranges;
    // Ranges mostly come in order (a decoder lists them as it writes): the first one this span
    // touches is found by halving, so listing n ranges costs n log n, not n squared.
    const auto touching =
        std::lower_bound(ranges.begin(), ranges.end(), start,
                         [](const ByteRange& range, uint64_t at) { return range.end < at; });
    auto first = static_cast<std::size_t>(touching - ranges.begin());
    std::size_t last = first;
    while (last < ranges.size() && ranges[last].start <= end) {
        if (ranges[last].start < start) start = ranges[last].start;
        if (ranges[last].end > end) end = ranges[last].end;
        ++last;
    }
    ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(first),
                 ranges.begin() + static_cast<std::ptrdiff_t>(last));
    ranges.insert(ranges.begin() + static_cast<std::ptrdiff_t>(first), ByteRange{start, end});
}

inline uint64_t unknownByteCount(const UnknownRanges& unknown) {
    uint64_t count = 0;
    for (const ByteRange& range : unknown.ranges) count += range.end - range.start;
    return count;
}

}  // namespace zipsalvage
