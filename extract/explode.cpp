// Method 6 (imploding, APPNOTE 5.3): a 4 or 8 KiB sliding dictionary, literals raw or through
// a literal tree, lengths and distances through Shannon-Fano trees sent as run-length lists of
// code lengths. Decodes up to the recorded size; stops and fails when the data runs out.
//
// Speed comes from the decoding tables inflate uses (one lookup per code in the common case,
// the stream's bits complemented as they index) and from one instantiation of the symbol loop
// per variant, so the literal-tree test and the distance's low-bit count are constants there.
// It assumes distances of at most 8192 in its 32 KiB window, so a copy's source and
// destination never meet within one chunk, and copies are exact (copyWithinWindow).
#include <cstring>

#include "core/memory_blocks.h"
#include "extract/bit_reader.h"
#include "extract/huffman_decoders.h"
#include "extract/implode_format.h"
#include "extract/window_copy.h"
#include "huffman/huffman_tables.h"

namespace zipsalvage {
namespace {

enum ExplodeResult : int {
    kExplodeOk = 0,
    kExplodeBadCode = 1,  // an invalid code, an incomplete tree, or a cancel / failed write
    kExplodeBadLengths = 2,
    kExplodeNoMemory = 3,
    kExplodeBadTreeList = 4,  // a tree description fills more or fewer symbols than the tree has
    kExplodeDataLeft = 5,     // the output was complete but the data was not used to its end
    kExplodeDataRanOut = 6,   // the data and its 10-byte allowance ran out first
};

// Walks the tables with the complement of the stream bits (imploded codes are sent inverted).
// Returns the leaf, nullptr for an invalid code, or sets `ranOut`.
//
// The bits come from needBitsExactly, which reads a byte only when a code needs its bits (the
// result reports `delivered` as the bytes used). It fails when the entry's data and its
// allowance are used up, or the archive cannot supply them: decoding the filler that
// readEntryByte leaves behind would only invent output, so a failed read ends decoding.
inline const HuffEntry* lookUp(ExtractContext& context, uint16_t& inByte, LegacyBits& bits,
                               const DecodingTables& tree, bool& ranOut) {
    if (!needBitsExactly(context, inByte, bits, static_cast<uint32_t>(tree.lookupBits))) {
        ranOut = true;
        return nullptr;
    }
    const HuffEntry* entry = tree.root.get() + (~bits.buffer & lowBitMask(tree.lookupBits));
    while (entry->op > kHuffOpLinkBase) {
        if (entry->op == kHuffOpInvalid) return nullptr;
        dropBits(bits, entry->bits);
        uint32_t width = entry->op - kHuffOpLinkBase;
        if (!needBitsExactly(context, inByte, bits, width)) {
            ranOut = true;
            return nullptr;
        }
        entry = entry->next + (~bits.buffer & lowBitMask(width));
    }
    dropBits(bits, entry->bits);
    return entry;
}

struct Trees {
    DecodingTables literal;
    DecodingTables length;
    DecodingTables distance;
};

// The decoding loop of one variant: the literal tree or raw literals, 8 or 4 KiB distances.
// It is the decoder's hot loop and stays one function over 80 lines on purpose: the bit buffer,
// the window position and the bytes remaining are locals that live across every symbol, and
// the variant's choices are template constants the compiler folds into it; helpers per symbol
// would take those locals by reference and keep them in memory instead.
template <bool kLiteralTree, uint32_t kLowDistanceBits>
int explodeSymbols(DecoderState& state, const Trees& trees) {
    ExtractContext& context = *state.context;
    const RunFlags& flags = *context.flags;
    uint8_t* window = state.window;
    LegacyBits bits;
    uint32_t position = 0;
    bool windowWritten = false;
    bool ranOut = false;
    // Unsigned as the header records it; may go below 0, since a last match is never shortened.
    int64_t remaining = context.uncompressedSize;

    while (remaining > 0) {
        if (shouldStop(flags)) return kExplodeBadCode;
        if (!needBitsExactly(context, state.inByte, bits, 1)) {
            ranOut = true;
            break;
        }
        uint32_t literalFlag = peekBits(bits, 1);
        dropBits(bits, 1);
        if (literalFlag) {
            --remaining;
            uint8_t byte = 0;
            if constexpr (kLiteralTree) {
                const HuffEntry* entry = lookUp(context, state.inByte, bits, trees.literal, ranOut);
                if (entry == nullptr) {
                    if (ranOut) break;
                    return kExplodeBadCode;
                }
                byte = static_cast<uint8_t>(entry->value);
            } else {
                if (!needBitsExactly(context, state.inByte, bits, kImplodeRawLiteralBits)) {
                    ranOut = true;
                    break;
                }
                byte = static_cast<uint8_t>(peekBits(bits, kImplodeRawLiteralBits));
                dropBits(bits, kImplodeRawLiteralBits);
            }
            window[position++] = byte;
            if (position == kWindowBytes) {
                flushWindow(state, kWindowBytes);
                position = 0;
                windowWritten = true;
            }
            continue;
        }

        if (!needBitsExactly(context, state.inByte, bits, kLowDistanceBits)) {
            ranOut = true;
            break;
        }
        uint32_t distance = peekBits(bits, kLowDistanceBits);
        dropBits(bits, kLowDistanceBits);
        const HuffEntry* entry = lookUp(context, state.inByte, bits, trees.distance, ranOut);
        if (entry == nullptr) {
            if (ranOut) break;
            return kExplodeBadCode;
        }
        distance += entry->value;
        entry = lookUp(context, state.inByte, bits, trees.length, ranOut);
        if (entry == nullptr) {
            if (ranOut) break;
            return kExplodeBadCode;
        }
        uint32_t length = entry->value;
        if (entry->op != 0) {  // length symbol 63
            if (!needBitsExactly(context, state.inByte, bits, kImplodeLengthExtraBits)) {
                ranOut = true;
                break;
            }
            length += peekBits(bits, kImplodeLengthExtraBits);
            dropBits(bits, kImplodeLengthExtraBits);
        }
        remaining -= length;

        // Distances are at most 8192, so source and position never meet inside a chunk.
        uint32_t source = (position + kWindowBytes - distance) % kWindowBytes;
        while (length > 0) {
            uint32_t farther = source > position ? source : position;
            uint32_t chunk = kWindowBytes - farther;
            if (chunk > length) chunk = length;
            length -= chunk;
            if (!windowWritten && source >= position) {
                // Before the entry's first byte: no output of this entry lies there yet.
                std::memset(window + position, 0, chunk);
            } else {
                copyWithinWindow(window, position, source, chunk);
            }
            position += chunk;
            source = (source + chunk) % kWindowBytes;
            if (position == kWindowBytes) {
                flushWindow(state, kWindowBytes);
                position = 0;
                windowWritten = true;
            }
        }
    }

    // Out of data, what was decoded is written; an invalid code above drops the part window.
    flushWindow(state, position);
    if (ranOut) return kExplodeDataRanOut;
    int64_t unread = static_cast<int64_t>(context.delivered) - context.dataLength;
    return unread > kDataAllowanceBytes || unread < -kDataAllowanceBytes ? kExplodeDataLeft
                                                                         : kExplodeOk;
}

// Reads one tree description into `codeLengths` (APPNOTE 5.3.4); the bytes are whole bytes
// ahead of the bit stream, so they are taken directly.
int readTreeLengths(ExtractContext& context, uint16_t& inByte, uint8_t* codeLengths,
                    int symbolCount) {
    if (readEntryByte(context, inByte) == kNoByte) return kExplodeDataRanOut;
    int descriptionBytes = (inByte & 0xFF) + 1;
    int filled = 0;
    for (int index = 0; index < descriptionBytes; ++index) {
        if (readEntryByte(context, inByte) == kNoByte) return kExplodeDataRanOut;
        auto codeLength = static_cast<uint8_t>((inByte & 0x0F) + 1);
        int runLength = ((inByte >> 4) & 0x0F) + 1;
        if (filled + runLength > symbolCount) return kExplodeBadTreeList;
        std::memset(codeLengths + filled, codeLength, static_cast<size_t>(runLength));
        filled += runLength;
    }
    return filled < symbolCount ? kExplodeBadTreeList : kExplodeOk;
}

int readTree(ExtractContext& context, uint16_t& inByte, uint8_t* codeLengths, int symbolCount,
             const uint16_t* base, DecodingTables& tree) {
    int result = readTreeLengths(context, inByte, codeLengths, symbolCount);
    if (result != kExplodeOk) return result;
    int simpleCount = base == nullptr ? symbolCount : 0;
    result = buildHuffTables(codeLengths, symbolCount, simpleCount, base,
                             base == nullptr ? nullptr : kImplodeExtraBits.data(),
                             base == nullptr ? 0 : kImplodeTreeSymbols, tree);
    // Every symbol has a code of 1 to 16 bits, so an accepted tree is complete; an incomplete
    // one (result 1) is refused, and released by its owner.
    return result;
}

int explodeTrees(DecoderState& state, uint16_t generalFlags) {
    ExtractContext& context = *state.context;
    OwnedBlock<uint8_t[]> codeLengths = newBlockArray<uint8_t>(kImplodeLiteralSymbols);
    if (!codeLengths) return kExplodeNoMemory;
    const bool literalTree = (generalFlags & kImplodeFlagLiteralTree) != 0;
    const bool largeDictionary = (generalFlags & kImplodeFlag8kDictionary) != 0;

    Trees trees;
    trees.literal.lookupBits = kImplodeLiteralLookupBits;
    trees.length.lookupBits = kImplodeLengthLookupBits;
    trees.distance.lookupBits = context.dataLength > kImplodeLongDataLength
                                    ? kImplodeDistanceLookupBitsLong
                                    : kImplodeDistanceLookupBits;
    int result = kExplodeOk;
    if (literalTree) {
        result = readTree(context, state.inByte, codeLengths.get(), kImplodeLiteralSymbols, nullptr,
                          trees.literal);
        if (result != kExplodeOk) return result;
    }
    result = readTree(context, state.inByte, codeLengths.get(), kImplodeTreeSymbols,
                      literalTree ? kImplodeLengthBase3.data() : kImplodeLengthBase2.data(),
                      trees.length);
    if (result != kExplodeOk) return result;
    result =
        readTree(context, state.inByte, codeLengths.get(), kImplodeTreeSymbols,
                 largeDictionary ? kImplodeDistanceBase8k.data() : kImplodeDistanceBase4k.data(),
                 trees.distance);
    if (result != kExplodeOk) return result;

    if (literalTree) {
        return largeDictionary ? explodeSymbols<true, kImplodeLowDistanceBits8k>(state, trees)
                               : explodeSymbols<true, kImplodeLowDistanceBits4k>(state, trees);
    }
    return largeDictionary ? explodeSymbols<false, kImplodeLowDistanceBits8k>(state, trees)
                           : explodeSymbols<false, kImplodeLowDistanceBits4k>(state, trees);
}

}  // namespace

DecodeResult explode(ExtractContext& context, uint16_t generalFlags) {
    OwnedBlock<DecoderState> state = newBlock<DecoderState>();
    if (!state) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    state->context = &context;
    state->outputPos = 0;
    state->windowFill = 0;
    state->bitBuffer = 0;
    state->bitCount = 0;
    int result = explodeTrees(*state, generalFlags);
    DecodeEnd dataEnd = DecodeEnd::kCorruptData;
    if (result == kExplodeOk) dataEnd = DecodeEnd::kDone;
    if (result == kExplodeNoMemory) dataEnd = DecodeEnd::kNoMemory;
    if (result == kExplodeDataRanOut) dataEnd = DecodeEnd::kInputEnded;
    // The bit reader takes a byte only when a code needs it, so no whole byte is held unused.
    return DecodeResult{endUnlessStopped(*context.flags, dataEnd), context.delivered,
                        state->outputPos};
}

}  // namespace zipsalvage
