// A second sign of damage in deflate streams of writers that search hash chains from the
// nearest position back (zlib and Info-ZIP at their lazy levels): of the positions a match
// could copy from, such a writer takes the nearest one that is longest, so no nearer position
// holds the match's bytes. A match decoded from garbage copies from anywhere, and in text or
// records a nearer copy of its bytes is common. Writers that leave positions out of their
// chains break the rule in their first kilobyte: zlib's fast levels chain no position inside a
// match longer than 4 to 6 bytes but its first, and are read with those positions left out.
#pragma once

#include <cstdint>
#include <vector>

namespace zipsalvage {

// The positions of the output decoded so far, chained by the hash of their first 3 bytes.
struct NearestIndex {
    std::vector<uint64_t> head;  // by hash: the latest position + 1, 0 for none
    std::vector<uint64_t> prev;  // by position in the window: the one before with its hash
    uint64_t from = 0;           // the first position indexed
    uint64_t indexedUpTo = 0;    // positions before this are in the chains
    // With a length, the positions inside a longer match but its first are left out.
    uint32_t longestChained = 0;
    uint64_t skipFrom = 0;  // the inside of the last such match
    uint64_t skipTo = 0;
    uint64_t nearerAt = 0;  // the nearer position of the last match found to have one
};

// Starts an index over output that begins at `from`; `longestChained` as above (0: every
// position is chained).
void resetNearestIndex(NearestIndex& index, uint64_t from, uint32_t longestChained = 0);

// True when a match of `length` bytes just copied to `pos` from `distance` back could have been
// copied from nearer: a position after pos - distance holds the same bytes, all of them known
// (`marks` 0). Only the nearest few positions of the chain are looked at, so it may miss one;
// it never finds one that is not there. Indexes the output up to `pos` first; every match
// decoded must be passed, in order, for the positions left out to be known.
bool nearerMatchExists(NearestIndex& index, const uint8_t* bytes, const uint8_t* marks,
                       uint64_t pos, uint32_t length, uint32_t distance);

}  // namespace zipsalvage
