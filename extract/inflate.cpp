// Methods 8 (deflate, RFC 1951) and 9 (Deflate64): the driver, the block header and stored
// blocks. On damage the
// window is put out up to where decoding stopped, so every byte decoded before it is kept.
#include <cstring>

#include "core/memory_blocks.h"
#include "extract/huffman_decoders.h"
#include "extract/inflate_internal.h"
#include "extract/inflate_tables.h"

namespace zipsalvage {
namespace {

// Reads a block header (RFC 1951 3.2.3) and runs the block; `lastBlock` receives BFINAL.
int decodeBlock(InflateWork& work, bool& lastBlock) {
    ExtractContext& context = *work.state.context;
    InflateBits bits = loadBits(work);
    needBits(bits, context, 1);
    lastBlock = peekBits(bits, 1) != 0;
    dropBits(bits, 1);
    needBits(bits, context, 2);
    uint32_t blockType = peekBits(bits, 2);
    dropBits(bits, 2);
    storeBits(work, bits);
    switch (blockType) {
        case kBlockStored:
            return copyStoredBlock(work);
        case kBlockFixed:
            return decodeFixedBlock(work);
        case kBlockDynamic:
            return decodeDynamicBlock(work);
        default:
            return kBlockBadLengths;
    }
}

// How the stream ended, from the last block's result: a block that failed after the entry's
// data ran out was missing input, not wrong input.
DecodeEnd inflateEnd(const InflateWork& work, int blockResult) {
    switch (blockResult) {
        case kBlockOk:
            return DecodeEnd::kDone;
        case kBlockNoMemory:
            return DecodeEnd::kNoMemory;
        default:
            return work.state.context->endOfData ? DecodeEnd::kInputEnded : DecodeEnd::kCorruptData;
    }
}

// The bytes delivered, less the whole bytes the bit reader read ahead and never used; after the
// final block this is where the deflate data ends (RFC 1951 3.2.3: the next block or the end
// of the data begins after the last bit used).
uint64_t bytesConsumed(const InflateWork& work) {
    const DecoderState& state = work.state;
    uint32_t realBits = state.bitCount > work.fillerBits ? state.bitCount - work.fillerBits : 0;
    uint64_t unused = realBits / 8;
    uint64_t delivered = state.context->delivered;
    return delivered > unused ? delivered - unused : 0;
}

}  // namespace

// RFC 1951 3.2.4. Only bytes the entry really delivered are copied: when the data runs out
// inside the block, the block fails with the bytes before that point in the window.
int copyStoredBlock(InflateWork& work) {
    DecoderState& state = work.state;
    ExtractContext& context = *state.context;
    InflateBits bits = loadBits(work);
    dropBits(bits, bits.count % 8);
    needBits(bits, context, 16);
    uint32_t length = peekBits(bits, 16);
    dropBits(bits, 16);
    needBits(bits, context, 16);
    if (length != (~peekBits(bits, 16) & kMaxStoredLength)) return kBlockBadData;
    dropBits(bits, 16);
    if (usedFiller(bits)) return kBlockBadData;

    uint8_t* window = work.window;
    uint32_t windowPos = state.windowFill;
    int result = kBlockOk;
    // Whole bytes the reader already holds come first, then bytes straight from the entry.
    for (; length > 0 && bits.count >= 8; --length) {
        if (bits.count - 8 < bits.fillerBits) {
            result = kBlockBadData;
            break;
        }
        window[windowPos++] = static_cast<uint8_t>(bits.buffer);
        dropBits(bits, 8);
        flushFullWindow(work, windowPos);
    }
    // The bytes below are taken past the reader: what it may hold of them above `count` (see
    // InflateBits) would be put in again after them.
    if (length > 0 && result == kBlockOk) bits.buffer = 0;
    // Runs up to the window's end, so the byte loop carries no window check.
    uint16_t byte = bits.inByte;
    while (length > 0 && result == kBlockOk) {
        uint32_t run =
            kInflateRingBytes - windowPos < length ? kInflateRingBytes - windowPos : length;
        uint8_t* to = window + windowPos;
        uint32_t copied = 0;
        while (copied < run && readEntryByte(context, byte) == kByteDelivered)
            to[copied++] = static_cast<uint8_t>(byte);
        if (copied < run) result = kBlockBadData;
        windowPos += copied;
        length -= copied;
        flushFullWindow(work, windowPos);
    }
    bits.inByte = byte;
    state.windowFill = windowPos;
    storeBits(work, bits);
    return result;
}

namespace {

DecodeResult inflateStream(ExtractContext& context, const InflateFormat& format) {
    // Owns the work area of this call, and through it the fixed code's tables once built.
    OwnedBlock<InflateWork> owned = newBlock<InflateWork>();
    if (!owned) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    InflateWork& work = *owned;
    DecoderState& state = work.state;
    state.context = &context;
    state.outputPos = 0;
    state.windowFill = 0;
    state.bitBuffer = 0;
    state.bitCount = 0;
    work.bitBuffer = 0;
    state.inByte = 0;
    work.fillerBits = 0;
    work.format = &format;
    // A distance reaching before the entry's first byte copies zeros, the same on every run.
    // Such a distance reads the ring's top; the rest is written before anything reads it.
    std::memset(work.window + kInflateRingBytes - format.longestDistance, 0,
                format.longestDistance);

    const RunFlags& flags = *context.flags;
    bool lastBlock = false;
    int blockResult = kBlockOk;
    while (!lastBlock && !shouldStop(flags) && blockResult == kBlockOk) {
        blockResult = decodeBlock(work, lastBlock);
    }
    flushWindowBytes(state, work.window, state.windowFill);
    return DecodeResult{endUnlessStopped(flags, inflateEnd(work, blockResult)), bytesConsumed(work),
                        state.outputPos};
}

}  // namespace

DecodeResult inflate(ExtractContext& context) { return inflateStream(context, kDeflateFormat); }

DecodeResult inflateDeflate64(ExtractContext& context) {
    return inflateStream(context, kDeflate64Format);
}

}  // namespace zipsalvage
