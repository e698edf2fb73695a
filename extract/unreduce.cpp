// Methods 2 to 5 (reducing with factor 1 to 4, APPNOTE 5.2): a follower-set stage, then the
// run-length and copy stage introduced by 0x90. Counts its output against the recorded size.
//
// Each byte costs one follower-set lookup and a few bits from the shared bit reader; copies
// move whole pieces with copyWithinWindow (exact, never past the copy's end) in chunks that end
// at the window's end. It assumes the follower sets sit behind the window in the same block.
#include <cstring>

#include "core/memory_blocks.h"
#include "extract/bit_reader.h"
#include "extract/legacy_constants.h"
#include "extract/methods.h"
#include "extract/window_copy.h"

namespace zipsalvage {
namespace {

enum class ReduceEnd {
    kSizeReached,   // the recorded size was produced: the window is written out
    kDataUsedUp,    // the data ran out first: the bytes since the last full window are dropped
    kArchiveEnded,  // the archive could not supply the data: what was decoded is written
    kStopped        // cancelled, or a write failed
};

// Where the expansion stands after the last byte value (APPNOTE 5.2.4).
enum class Expansion { kLiteral, kAfterMarker, kLengthByte, kDistanceByte };

struct Reducer {
    DecoderState& state;
    const uint8_t* followerCounts;
    const ReduceFactor factor;
    uint8_t indexBits[kReduceByteValues];  // per byte value: bits of a follower index
    LegacyBits bits;
    uint32_t position = 0;       // in the 16384-byte window
    bool firstPass = true;       // the window has not yet been written out
    int64_t bytesToProduce = 0;  // may go below 0: a last copy is never shortened
};

const uint8_t* followerSet(const DecoderState& state, uint32_t byteValue) {
    return state.window + kReduceFollowerSetsAt + kReduceMaxFollowers * byteValue;
}

ReduceEnd endOf(BitsRead read) {
    return read == BitsRead::kArchiveEnded ? ReduceEnd::kArchiveEnded : ReduceEnd::kDataUsedUp;
}

// Reads the 256 follower sets, from byte value 255 down (APPNOTE 5.2.2). False with `end` set
// when the data or the archive ran out; sets not reached stay empty. The sets fill whole bytes,
// so what `bits` holds afterwards is the start of the byte values (read ahead), no padding.
bool readFollowerSets(DecoderState& state, LegacyBits& bits, uint8_t* counts, ReduceEnd& end) {
    for (int byteValue = kReduceByteValues - 1; byteValue >= 0; --byteValue) {
        uint32_t count = 0;
        BitsRead read = takeBits(state, bits, kReduceFollowerCountBits, count);
        if (read != BitsRead::kTaken) {
            end = endOf(read);
            return false;
        }
        counts[byteValue] = static_cast<uint8_t>(count);
        uint8_t* set = state.window + kReduceFollowerSetsAt + kReduceMaxFollowers * byteValue;
        for (uint32_t slot = 0; slot < count; ++slot) {
            uint32_t follower = 0;
            read = takeBits(state, bits, 8, follower);
            if (read != BitsRead::kTaken) {
                end = endOf(read);
                return false;
            }
            set[slot] = static_cast<uint8_t>(follower);
        }
    }
    return true;
}

void advanceWindow(Reducer& reducer, uint32_t count) {
    reducer.position += count;
    if (reducer.position == kReduceWindowBytes) {
        flushWindow(reducer.state, kReduceWindowBytes);
        reducer.position = 0;
        reducer.firstPass = false;
    }
}

void outputByte(Reducer& reducer, uint8_t byte) {
    reducer.state.window[reducer.position] = byte;
    --reducer.bytesToProduce;
    advanceWindow(reducer, 1);
}

// Copies `length` bytes from `distance` back, in chunks that end at the window's end. Until the
// window is first written out, a source at or after the current position lies before the
// entry's first byte: those bytes are zeros.
void copyMatch(Reducer& reducer, uint32_t length, uint32_t distance) {
    uint8_t* window = reducer.state.window;
    uint32_t source = (reducer.position + kReduceWindowBytes - distance) % kReduceWindowBytes;
    reducer.bytesToProduce -= length;
    while (length > 0) {
        source %= kReduceWindowBytes;
        uint32_t farther = source > reducer.position ? source : reducer.position;
        uint32_t chunk = kReduceWindowBytes - farther;
        if (chunk > length) chunk = length;
        length -= chunk;
        if (reducer.firstPass && source >= reducer.position) {
            std::memset(window + reducer.position, 0, chunk);
        } else {
            copyWithinWindow(window, reducer.position, source, chunk);
        }
        source += chunk;
        advanceWindow(reducer, chunk);
    }
}

// The next byte value, through the follower set of the last one (APPNOTE 5.2.3).
BitsRead readByteValue(Reducer& reducer, uint32_t lastByte, uint32_t& byte) {
    uint32_t followers = reducer.followerCounts[lastByte];
    if (followers == 0) return takeBits(reducer.state, reducer.bits, 8, byte);
    uint32_t literal = 0;
    BitsRead read = takeBits(reducer.state, reducer.bits, 1, literal);
    if (read != BitsRead::kTaken) return read;
    if (literal) return takeBits(reducer.state, reducer.bits, 8, byte);
    uint32_t index = 0;
    read = takeBits(reducer.state, reducer.bits, reducer.indexBits[lastByte], index);
    // The sets are cleared at setup, so an index past the count (damaged data) reads a zero.
    if (read == BitsRead::kTaken) byte = followerSet(reducer.state, lastByte)[index];
    return read;
}

ReduceEnd expand(Reducer& reducer) {
    const RunFlags& flags = *reducer.state.context->flags;
    Expansion expansion = Expansion::kLiteral;
    uint32_t lastByte = 0;
    uint32_t lengthAndDistance = 0;  // V of APPNOTE 5.2.4
    uint32_t length = 0;
    while (reducer.bytesToProduce > 0) {
        if (shouldStop(flags)) return ReduceEnd::kStopped;
        uint32_t byte = 0;
        BitsRead read = readByteValue(reducer, lastByte, byte);
        if (read != BitsRead::kTaken) return endOf(read);
        switch (expansion) {
            case Expansion::kLiteral:
                if (byte == kReduceRunMarker) {
                    expansion = Expansion::kAfterMarker;
                } else {
                    outputByte(reducer, static_cast<uint8_t>(byte));
                }
                break;
            case Expansion::kAfterMarker:
                if (byte == 0) {
                    outputByte(reducer, kReduceRunMarker);
                    expansion = Expansion::kLiteral;
                } else {
                    lengthAndDistance = byte;
                    length = byte & reducer.factor.lengthMask;
                    expansion = length == reducer.factor.lengthMask ? Expansion::kLengthByte
                                                                    : Expansion::kDistanceByte;
                }
                break;
            case Expansion::kLengthByte:
                length += byte;
                expansion = Expansion::kDistanceByte;
                break;
            case Expansion::kDistanceByte: {
                uint32_t high = (lengthAndDistance >> reducer.factor.distanceShift) &
                                reducer.factor.distanceMask;
                copyMatch(reducer, length + kReduceMinCopy, high * 256 + byte + 1);
                expansion = Expansion::kLiteral;
                break;
            }
        }
        lastByte = byte;  // length and distance bytes select the next follower set too
    }
    return ReduceEnd::kSizeReached;
}

}  // namespace

DecodeResult unreduce(ExtractContext& context, int factor) {
    if (factor < 1 || factor > 4) return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
    const DecodeResult noMemory{DecodeEnd::kNoMemory, 0, 0};
    OwnedBlock<DecoderState> state = newBlock<DecoderState>();
    if (!state) return noMemory;
    OwnedBlock<uint8_t[]> followerCounts = newBlockArray<uint8_t>(kReduceByteValues);
    if (!followerCounts) return noMemory;
    state->context = &context;
    state->scratch = followerCounts.get();
    state->outputPos = 0;
    // Cleared, so that a follower index past its set's count (damaged data) reads a defined
    // zero rather than a slot this entry never set.
    std::memset(followerCounts.get(), 0, kReduceByteValues);
    std::memset(state->window + kReduceFollowerSetsAt, 0, kReduceByteValues * kReduceMaxFollowers);

    Reducer reducer{*state, followerCounts.get(), kReduceFactors[factor], {}, {}};
    // Unsigned as the header records it: an entry of 2 GiB or more is still decoded.
    reducer.bytesToProduce = context.uncompressedSize;
    ReduceEnd end = ReduceEnd::kDataUsedUp;
    if (readFollowerSets(*state, reducer.bits, followerCounts.get(), end)) {
        for (uint32_t byteValue = 0; byteValue < kReduceByteValues; ++byteValue) {
            reducer.indexBits[byteValue] =
                static_cast<uint8_t>(followerIndexBits(followerCounts[byteValue]));
        }
        end = expand(reducer);
    }

    switch (end) {
        case ReduceEnd::kSizeReached:
        case ReduceEnd::kArchiveEnded:
            flushWindow(*state, reducer.position);
            break;
        case ReduceEnd::kDataUsedUp:
        case ReduceEnd::kStopped:
            break;
    }
    // Data used up before the recorded size is this method's regular end (the shortfall shows
    // in the size); only an archive that could not supply the data is missing input.
    DecodeEnd dataEnd = end == ReduceEnd::kArchiveEnded ? DecodeEnd::kInputEnded : DecodeEnd::kDone;
    return DecodeResult{endUnlessStopped(*context.flags, dataEnd),
                        context.delivered - reducer.bits.count / 8, state->outputPos};
}

}  // namespace zipsalvage
