// The copy of a match inside an output window, with the result of a forward byte-by-byte copy:
// a source shortly before the destination repeats the bytes just written (LZ77 overlap).
#pragma once

#include <cstdint>
#include <cstring>

namespace zipsalvage {

// Neither range may wrap: both [to, to + count) and [from, from + count) lie inside the window.
// Copying in pieces no longer than the gap keeps every piece free of overlap; byte by byte, the
// stores stalled the loads that followed them and cost about half of unreduce's time.
inline void copyWithinWindow(uint8_t* window, uint32_t to, uint32_t from, uint32_t count) {
    if (from == to) return;  // a copy onto itself changes nothing
    if (from > to) {
        std::memmove(window + to, window + from, count);  // reads only what is not yet written
        return;
    }
    uint32_t gap = to - from;
    while (count > 0) {
        uint32_t piece = count < gap ? count : gap;
        std::memcpy(window + to, window + from, piece);
        to += piece;
        count -= piece;
        // The bytes just written repeat the pattern: the next piece may take twice as many.
        gap += piece;
    }
}

}  // namespace zipsalvage
