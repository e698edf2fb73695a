// The out-of-line refills of the bit readers: inflate's slow path and the read-ahead of
// unshrink and unreduce.
#include "extract/bit_reader.h"

namespace zipsalvage {
namespace {

// With this many bytes of data left, a whole refill stays inside the data, so outOfBits
// would grant it; a read is only ever made after it allowed one, so `delivered` never passes
// `dataLength`.
constexpr int32_t kReadAheadBytes = 4;

}  // namespace

InflateBits pullBitsSlow(InflateBits bits, ExtractContext& context, uint32_t wanted) {
    topUpBits(bits, context);
    while (bits.count < wanted) pullByte(bits, context);
    return bits;
}

BitsRead refillBits(DecoderState& state, LegacyBits& bits, uint32_t count) {
    if (bits.archiveEnded) return BitsRead::kArchiveEnded;
    ExtractContext& context = *state.context;
    if (context.dataLength - context.delivered < kReadAheadBytes) {
        // Near the end of the data: exactly the bytes asked for, each allowed by outOfBits.
        // (The loop is needBitsExactly's; calling it instead made every refill two instructions
        // longer, unshrink 0.4% in all.)
        if (outOfBits(state, static_cast<int32_t>(bits.count), static_cast<int32_t>(count))) {
            return BitsRead::kDataUsedUp;
        }
        while (bits.count < count) {
            if (readEntryByte(context, state.inByte) == kNoByte) return BitsRead::kArchiveEnded;
            appendByte(bits, state.inByte);
        }
        return BitsRead::kTaken;
    }
    // Far from it: fill the buffer, so that the next few takes need no call. (One byte per call
    // cost about a fifth of unreduce's time.)
    while (bits.count <= 24) {
        if (readEntryByte(context, state.inByte) == kNoByte) {
            // The bits asked for may already be here; the failure counts at the next refill.
            bits.archiveEnded = true;
            return bits.count >= count ? BitsRead::kTaken : BitsRead::kArchiveEnded;
        }
        appendByte(bits, state.inByte);
    }
    return BitsRead::kTaken;
}

}  // namespace zipsalvage
