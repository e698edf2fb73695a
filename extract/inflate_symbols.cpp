// The inner loop of inflate: literal/length and distance symbols of one Huffman block into the
// ring window (RFC 1951 3.2.5).
//
// Why it is fast: decodeFast runs while the context's current block holds enough bytes for a
// whole symbol pair and the ring has room for a longest match, so its loop carries no input,
// filler or window checks. The bit reader and window position live in locals (registers) for
// the whole loop. The buffer is topped up to at least 25 bits once per symbol, which covers a
// root lookup (at most 9 bits for dynamic codes) and the longest code (15 bits), so most codes
// cost one table lookup whose entry gives everything: bits to drop, extra-bit count and base.
// Literals come in runs and are taken two per refill when the bits held allow. Matches are
// copied in 8-byte steps; the ring's slack makes the overrun harmless (see kInflateRingBytes).
//
// What it assumes: the tables come from buildHuffTables with codes of at most 15 bits and
// extra-bit counts of at most 14 in the leaves (Deflate64's 16-bit length extra comes as its
// own op); every table was built for this block; and distances never exceed the ring's
// longest distance (the tables cannot produce more). Everything else (block ends, the ring's
// end, input running out, filler bits) falls to the careful loop in decodeSymbols, one symbol
// at a time.
#include <cstring>

#include "core/little_endian.h"
#include "extract/inflate_internal.h"

namespace zipsalvage {
namespace {

// Follows links from a root entry to the leaf for the bits held; nullptr for an invalid code.
// Link entries account for their whole level, so each step drops them and indexes the next
// table with the width the link names.
inline const HuffEntry* walkToLeaf(const HuffEntry* entry, InflateBits& bits,
                                   ExtractContext& context) {
    while (entry->op > kHuffOpLinkBase) {
        if (entry->op == kHuffOpInvalid) return nullptr;
        uint32_t width = entry->op - kHuffOpLinkBase;
        dropBits(bits, entry->bits);
        needBits(bits, context, width);
        entry = &entry->next[peekBits(bits, width)];
    }
    return entry;
}

// Copies `length` bytes from `distance` back, in chunks that end where either the source or
// the destination reaches the end of the ring; a full ring is put out between chunks.
// Overlapping copies go byte by byte so that a distance shorter than the length repeats the
// bytes just written (RFC 1951 3.2.3). Every store is exact: nothing past the match is touched.
inline void copyMatch(InflateWork& work, uint32_t& windowPos, uint32_t length, uint32_t distance) {
    uint8_t* window = work.window;
    uint32_t source =
        windowPos >= distance ? windowPos - distance : windowPos + kInflateRingBytes - distance;
    while (length > 0) {
        uint32_t furthest = source > windowPos ? source : windowPos;
        uint32_t chunk = kInflateRingBytes - furthest;
        if (chunk > length) chunk = length;
        if (source < windowPos && windowPos - source < chunk) {
            uint8_t* to = window + windowPos;
            const uint8_t* from = window + source;
            for (uint32_t index = 0; index < chunk; ++index) to[index] = from[index];
        } else {
            // Either apart, or the source ahead of the destination: a forward copy reads only
            // bytes not yet overwritten, exactly what memmove gives.
            std::memmove(window + windowPos, window + source, chunk);
        }
        windowPos += chunk;
        source += chunk;
        length -= chunk;
        flushFullWindow(work, windowPos);
        if (source == kInflateRingBytes) source = 0;
    }
}

// The fast path runs while every byte one symbol can pull is sure to be in the context's block
// (two refills of at most 8 bytes each, the word loads included: 16 bytes) and a match of up
// to kLongestInPlaceMatch bytes, with the stores that overrun it, fits before the ring's end;
// then no read can fail or refill, no filler can appear and no window write needs a check.
// Longer matches (Deflate64's symbol 285) take the chunked copy.
constexpr int32_t kFastInputBytes = 16;
// Bits a refill leaves held, at least: enough for a literal/length code with its extra bits
// (at most 15 + 16 in Deflate64) and a distance code with its extra bits (15 + 14) after a
// second refill that runs only when fewer than kDistanceBits are left.
constexpr uint32_t kRefilledBits = 56;
constexpr uint32_t kDistanceBits = 32;

// Fills the reader to more than kRefilledBits from the block, which holds at least 8 bytes.
// Plain data is loaded a word at a time: the bytes that fit whole are counted, the rest of the
// word stays above `count` as the next bytes' own bits (see InflateBits). Encrypted data is
// decrypted byte by byte.
inline void refillFast(InflateBits& bits, ExtractContext& context) {
    if (context.encrypted) {
        while (bits.count <= kRefilledBits) pullByte(bits, context);
        return;
    }
    bits.buffer |= loadLE64(context.block + context.blockPos) << bits.count;
    uint32_t bytes = (63 - bits.count) >> 3;
    context.blockPos += static_cast<int32_t>(bytes);
    context.delivered += bytes;
    bits.count += bytes * 8;
}
constexpr uint32_t kLongestInPlaceMatch = 258;
constexpr uint32_t kFastWindowLimit = kInflateRingBytes - kLongestInPlaceMatch - kCopyOverrunBytes;

enum FastExit { kFastLeft, kFastEndOfBlock, kFastInvalid };

// A match that neither wraps nor reaches the ring's end. A distance of 8 or more is copied in
// 8-byte steps, each reading only bytes already in place; the last step may store up to
// kCopyOverrunBytes past the match, into bytes no distance can reach (see kInflateRingBytes).
// Shorter distances repeat a pattern byte by byte (RFC 1951 3.2.3).
inline void copyMatchInPlace(uint8_t* window, uint32_t windowPos, uint32_t length,
                             uint32_t distance) {
    uint8_t* to = window + windowPos;
    const uint8_t* from = to - distance;
    if (distance >= 8) {
        for (uint32_t done = 0; done < length; done += 8) std::memcpy(to + done, from + done, 8);
    } else {
        for (uint32_t index = 0; index < length; ++index) to[index] = from[index];
    }
}

inline FastExit decodeFast(InflateWork& work, const HuffTable* litLenTable, uint32_t litLenWidth,
                           const HuffTable* distanceTable, uint32_t distanceMask, InflateBits& bits,
                           uint32_t& windowPos) {
    const uint32_t litLenMask = lowBitMask(litLenWidth);
    ExtractContext& context = *work.state.context;
    uint8_t* window = work.window;
    while (context.blockFill - context.blockPos >= kFastInputBytes &&
           windowPos <= kFastWindowLimit && bits.fillerBits == 0) {
        if (bits.count <= kRefilledBits) refillFast(bits, context);
        const HuffEntry* entry = &litLenTable[bits.buffer & litLenMask];
        while (entry->op > kHuffOpLinkBase) {
            if (entry->op == kHuffOpInvalid) return kFastInvalid;
            dropBits(bits, entry->bits);
            entry = &entry->next[peekBits(bits, entry->op - kHuffOpLinkBase)];
        }
        dropBits(bits, entry->bits);
        uint32_t op = entry->op;
        if (op == kHuffOpLiteral) {
            window[windowPos++] = static_cast<uint8_t>(entry->value);
            // Literals come in runs: a second one straight from the bits still held, when
            // they cover a root lookup and it is a literal (its code is then within them).
            if (bits.count >= litLenWidth) {
                entry = &litLenTable[bits.buffer & litLenMask];
                if (entry->op == kHuffOpLiteral) {
                    dropBits(bits, entry->bits);
                    window[windowPos++] = static_cast<uint8_t>(entry->value);
                }
            }
            continue;
        }
        if (op == kHuffOpPlainHigh) {
            if (entry->value == kEndOfBlock) return kFastEndOfBlock;
            op = kDeflate64LongLengthExtraBits;
            needBits(bits, context, op);
        }
        uint32_t length = entry->value + peekBits(bits, op);
        dropBits(bits, op);
        if (distanceTable == nullptr) return kFastInvalid;

        if (bits.count < kDistanceBits) refillFast(bits, context);
        entry = &distanceTable[bits.buffer & distanceMask];
        while (entry->op > kHuffOpLinkBase) {
            if (entry->op == kHuffOpInvalid) return kFastInvalid;
            dropBits(bits, entry->bits);
            entry = &entry->next[peekBits(bits, entry->op - kHuffOpLinkBase)];
        }
        dropBits(bits, entry->bits);
        op = entry->op;
        needBits(bits, context, op);
        uint32_t distance = entry->value + peekBits(bits, op);
        dropBits(bits, op);
        if (distance <= windowPos && length <= kLongestInPlaceMatch) {
            copyMatchInPlace(window, windowPos, length, distance);
            windowPos += length;
        } else {
            copyMatch(work, windowPos, length, distance);
        }
    }
    return kFastLeft;
}

}  // namespace

int decodeSymbols(InflateWork& work, const HuffTable* litLenTable, int litLenBits,
                  const HuffTable* distanceTable, int distanceBits) {
    DecoderState& state = work.state;
    ExtractContext& context = *state.context;
    InflateBits bits = loadBits(work);
    uint32_t windowPos = state.windowFill;
    uint8_t* window = work.window;
    auto litLenWidth = static_cast<uint32_t>(litLenBits);
    auto distanceWidth = static_cast<uint32_t>(distanceBits);
    int result = kBlockOk;
    for (;;) {
        FastExit exit = decodeFast(work, litLenTable, litLenWidth, distanceTable,
                                   lowBitMask(distanceWidth), bits, windowPos);
        if (exit == kFastEndOfBlock) break;
        if (exit == kFastInvalid) {
            result = kBlockBadData;
            break;
        }
        // Near the end of the block of input or of the window: one symbol with every check.
        if (bits.count < 15) topUpBits(bits, context);
        needBits(bits, context, litLenWidth);
        // The root may be indexed with filler bits beyond the data; what counts is whether the
        // symbol's own bits were real, tested when it is complete (usedFiller). So the last
        // symbol of a stream that ends flush with the archive still decodes.
        const HuffEntry* entry =
            walkToLeaf(&litLenTable[peekBits(bits, litLenWidth)], bits, context);
        if (entry == nullptr) {
            result = kBlockBadData;
            break;
        }
        dropBits(bits, entry->bits);
        uint32_t op = entry->op;
        if (op == kHuffOpLiteral) {
            if (usedFiller(bits)) {
                result = kBlockBadData;
                break;
            }
            window[windowPos++] = static_cast<uint8_t>(entry->value);
            flushFullWindow(work, windowPos);
            continue;
        }
        if (op == kHuffOpPlainHigh) {
            if (entry->value == kEndOfBlock) {  // unless made of filler
                if (usedFiller(bits)) result = kBlockBadData;
                break;
            }
            op = kDeflate64LongLengthExtraBits;
        }

        needBits(bits, context, op);
        uint32_t length = entry->value + peekBits(bits, op);
        dropBits(bits, op);
        if (distanceTable == nullptr) {  // a length in a block without distance codes
            result = kBlockBadData;
            break;
        }
        if (bits.count < 15) topUpBits(bits, context);
        needBits(bits, context, distanceWidth);
        entry = walkToLeaf(&distanceTable[peekBits(bits, distanceWidth)], bits, context);
        if (entry == nullptr) {
            result = kBlockBadData;
            break;
        }
        dropBits(bits, entry->bits);
        op = entry->op;
        needBits(bits, context, op);
        uint32_t distance = entry->value + peekBits(bits, op);
        dropBits(bits, op);
        // A match completed with filler bits would copy from a made-up distance: the bytes
        // before it are kept, the match is not.
        if (usedFiller(bits)) {
            result = kBlockBadData;
            break;
        }
        copyMatch(work, windowPos, length, distance);
    }
    state.windowFill = windowPos;
    storeBits(work, bits);
    return result;
}

}  // namespace zipsalvage
