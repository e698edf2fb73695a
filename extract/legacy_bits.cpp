// Refilling the bit reader of unshrink and unreduce.
#include "extract/legacy_bits.h"

namespace zipsalvage {
namespace {

// With this many bytes of data left, a whole refill stays inside the data, so outOfBits
// would grant it; a read is only ever made after it allowed one, so `delivered` never passes
// `dataLength`.
constexpr int32_t kReadAheadBytes = 4;

void addByte(DecoderState& state, LegacyBits& bits) {
    bits.buffer |= static_cast<uint32_t>(state.inByte) << bits.held;
    bits.held += 8;
}

}  // namespace

BitsRead refillBits(DecoderState& state, LegacyBits& bits, uint32_t count) {
    if (bits.archiveEnded) return BitsRead::kArchiveEnded;
    ExtractContext& context = *state.context;
    if (context.dataLength - context.delivered < kReadAheadBytes) {
        // Near the end of the data: exactly the bytes asked for, each allowed by outOfBits.
        if (outOfBits(state, static_cast<int32_t>(bits.held), static_cast<int32_t>(count))) {
            return BitsRead::kDataUsedUp;
        }
        while (bits.held < count) {
            if (readEntryByte(context, state.inByte) == kNoByte) return BitsRead::kArchiveEnded;
            addByte(state, bits);
        }
        return BitsRead::kTaken;
    }
    // Far from it: fill the buffer, so that the next few takes need no call. (One byte per call
    // cost about a fifth of unreduce's time.)
    while (bits.held <= 24) {
        if (readEntryByte(context, state.inByte) == kNoByte) {
            // The bits asked for may already be here; the failure counts at the next refill.
            bits.archiveEnded = true;
            return bits.held >= count ? BitsRead::kTaken : BitsRead::kArchiveEnded;
        }
        addByte(state, bits);
    }
    return BitsRead::kTaken;
}

}  // namespace zipsalvage
