// The scan's fast path: where the next two-byte pair ("PK", the start of every Zip record
// signature, APPNOTE 4.3.7, 4.3.12, 4.3.16) may begin in a run of bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zipsalvage {

// The index of the first `first` that is followed by `second`, or that is the last byte of the
// run (its follower lies beyond: the caller reads it byte by byte); `count` when there is none.
// Everything before the index is neither, so a byte-by-byte scan would have stayed in its
// "no signature under way" state over all of it. Sixteen bytes at a time where the processor
// has SSE2, otherwise eight.
size_t findBytePair(const uint8_t* bytes, size_t count, uint8_t first, uint8_t second);

// The same, eight bytes at a time on any processor (the fallback, and for the tests).
size_t findBytePairPortable(const uint8_t* bytes, size_t count, uint8_t first, uint8_t second);

}  // namespace zipsalvage
