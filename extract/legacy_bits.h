// The least-significant-bit-first bit reader of unshrink and unreduce. Every read is guarded by
// outOfBits, so these methods never read past the entry's recorded data.
#pragma once

#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

struct LegacyBits {
    uint32_t buffer = 0;
    uint32_t held = 0;  // never above 20: at most 13 bits are asked for at a time
};

enum class BitsRead {
    kTaken,        // `value` holds the bits
    kDataUsedUp,   // the entry's data cannot supply them: the regular end of these methods
    kArchiveEnded  // the archive could not supply a block of the data (a truncated archive)
};

// Takes `count` (1 to 13) bits. Skipping outOfBits when enough bits are held gives the same
// answer, since a read is only ever made after outOfBits allowed it, so `delivered` never
// passes `dataLength`.
inline BitsRead takeBits(DecoderState& state, LegacyBits& bits, uint32_t count, uint32_t& value) {
    if (bits.held < count) {
        if (outOfBits(state, static_cast<int32_t>(bits.held), static_cast<int32_t>(count))) {
            return BitsRead::kDataUsedUp;
        }
        do {
            if (readEntryByte(*state.context, state.inByte) == kNoByte) {
                return BitsRead::kArchiveEnded;
            }
            bits.buffer |= static_cast<uint32_t>(state.inByte) << bits.held;
            bits.held += 8;
        } while (bits.held < count);
    }
    value = bits.buffer & ((1u << count) - 1);
    bits.buffer >>= count;
    bits.held -= count;
    return BitsRead::kTaken;
}

}  // namespace zipsalvage
