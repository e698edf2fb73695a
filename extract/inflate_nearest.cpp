// The nearest-match check: see inflate_nearest.h.
#include "extract/inflate_nearest.h"

#include <algorithm>
#include <cstring>

namespace zipsalvage {
namespace {

constexpr uint32_t kHashBits = 16;
constexpr uint64_t kWindowMask = (uint64_t{1} << 16) - 1;  // Deflate64's window too
// Positions looked at per match, nearest first: garbage's copies mostly have a nearer twin
// among the first few with the same 3 bytes.
constexpr uint32_t kChainSteps = 16;

uint32_t hashAt(const uint8_t* bytes, uint64_t pos) {
    const uint32_t value =
        uint32_t{bytes[pos]} << 16 | uint32_t{bytes[pos + 1]} << 8 | uint32_t{bytes[pos + 2]};
    return (value * 2654435761u) >> (32 - kHashBits);
}

bool anyMarked(const uint8_t* marks, uint64_t pos, uint32_t length) {
    return std::memchr(marks + pos, 1, length) != nullptr;
}

}  // namespace

void resetNearestIndex(NearestIndex& index, uint64_t from, uint32_t longestChained) {
    index.head.assign(size_t{1} << kHashBits, 0);
    index.prev.assign(static_cast<size_t>(kWindowMask + 1), 0);
    index.from = from;
    index.indexedUpTo = from;
    index.longestChained = longestChained;
    index.skipFrom = 0;
    index.skipTo = 0;
}

bool nearerMatchExists(NearestIndex& index, const uint8_t* bytes, const uint8_t* marks,
                       uint64_t pos, uint32_t length, uint32_t distance) {
    // A position's 3 bytes are known once the match is written (it is at least 3 long), so every
    // position before the match's can be chained.
    for (; index.indexedUpTo < pos; ++index.indexedUpTo) {
        const uint64_t at = index.indexedUpTo;
        if (at >= index.skipFrom && at < index.skipTo) continue;
        const uint32_t hash = hashAt(bytes, at);
        index.prev[static_cast<size_t>(at & kWindowMask)] = index.head[hash];
        index.head[hash] = at + 1;
    }
    if (index.longestChained != 0 && length > index.longestChained) {
        index.skipFrom = pos + 1;
        index.skipTo = pos + length;
    }
    if (pos < index.from || anyMarked(marks, pos, length)) return false;
    uint64_t next = index.head[hashAt(bytes, pos)];
    for (uint32_t step = 0; step < kChainSteps && next != 0; ++step) {
        const uint64_t candidate = next - 1;
        if (candidate < index.from || pos - candidate >= distance) return false;
        if (std::memcmp(bytes + candidate, bytes + pos, length) == 0 &&
            !anyMarked(marks, candidate, length)) {
            index.nearerAt = candidate;
            return true;
        }
        const uint64_t before = index.prev[static_cast<size_t>(candidate & kWindowMask)];
        if (before >= next) return false;  // a slot reused: the chain is broken
        next = before;
    }
    return false;
}

}  // namespace zipsalvage
