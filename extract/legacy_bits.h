// The least-significant-bit-first bit reader of unshrink and unreduce. Every read is guarded by
// outOfBits, so these methods never read past the entry's recorded data.
#pragma once

#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

struct LegacyBits {
    uint32_t buffer = 0;
    uint32_t held = 0;
    bool archiveEnded = false;  // a read ahead failed: the next refill reports it
};

enum class BitsRead {
    kTaken,        // `value` holds the bits
    kDataUsedUp,   // the entry's data cannot supply them: the regular end of these methods
    kArchiveEnded  // the archive could not supply a block of the data (a truncated archive)
};

// Makes at least `count` (1 to 16) bits held; the slow half of takeBits.
BitsRead refillBits(DecoderState& state, LegacyBits& bits, uint32_t count);

// Takes `count` (1 to 16) bits from the low end of the buffer.
inline BitsRead takeBits(DecoderState& state, LegacyBits& bits, uint32_t count, uint32_t& value) {
    if (bits.held < count) {
        BitsRead read = refillBits(state, bits, count);
        if (read != BitsRead::kTaken) return read;
    }
    value = bits.buffer & ((1u << count) - 1);
    bits.buffer >>= count;
    bits.held -= count;
    return BitsRead::kTaken;
}

}  // namespace zipsalvage
