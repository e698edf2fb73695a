// Deflate blocks (RFC 1951 3.2.3 to 3.2.7): the block's items are counted as they come, and
// when it ends it is written stored, with the fixed codes or with dynamic codes, whichever the
// estimates say is smallest, through a bit writer that emits LSB first.
#include <cstring>

#include "recompress/deflate_state.h"

namespace zipsalvage {
namespace {

// The bit writer in locals for the length of one block; flushed back into the state at the
// end. Bytes leave two at a time when more than 16 bits are pending.
struct BitWriter {
    RecompressStream& stream;
    uint32_t buffer;
    int32_t count;

    // `value` fits in `length` bits (0-16).
    void put(uint32_t value, int32_t length) {
        buffer |= value << count;
        count += length;
        if (count > 16) {
            streamWriteByte(stream, static_cast<uint8_t>(buffer));
            streamWriteByte(stream, static_cast<uint8_t>(buffer >> 8));
            buffer >>= 16;
            count -= 16;
        }
    }
    void send(const CodeEntry& code) { put(code.freqOrCode, code.parentOrLength); }

    // Pads with zero bits to a whole byte and writes what is pending.
    void alignToByte() {
        if (count > 8) {
            streamWriteByte(stream, static_cast<uint8_t>(buffer));
            streamWriteByte(stream, static_cast<uint8_t>(buffer >> 8));
        } else if (count > 0) {
            streamWriteByte(stream, static_cast<uint8_t>(buffer));
        }
        buffer = 0;
        count = 0;
    }
};

// RFC 1951 3.2.4: LEN and NLEN on a byte boundary, then the bytes unchanged.
void emitStoredBlock(BitWriter& bits, const uint8_t* input, uint32_t inputBytes) {
    bits.alignToByte();
    uint32_t complement = ~inputBytes & 0xFFFF;
    streamWriteByte(bits.stream, static_cast<uint8_t>(inputBytes));
    streamWriteByte(bits.stream, static_cast<uint8_t>(inputBytes >> 8));
    streamWriteByte(bits.stream, static_cast<uint8_t>(complement));
    streamWriteByte(bits.stream, static_cast<uint8_t>(complement >> 8));
    for (uint32_t index = 0; index < inputBytes; ++index) {
        streamWriteByte(bits.stream, input[index]);
    }
}

void emitCodeLengths(BitWriter& bits, const DeflateState& state, const TreeNode* tree,
                     int maxCode) {
    walkCodeLengths(tree, maxCode, [&](int symbol, int extraBitCount, int extraValue) {
        bits.send(state.codeLengthTree[symbol]);
        if (extraBitCount != 0) bits.put(static_cast<uint32_t>(extraValue), extraBitCount);
    });
}

// RFC 1951 3.2.7: HLIT, HDIST, HCLEN, the code-length code lengths, then both trees' lengths.
void emitTreeHeader(BitWriter& bits, const DeflateState& state, int literalCodes, int distanceCodes,
                    int codeLengthCodes) {
    bits.put(static_cast<uint32_t>(literalCodes - 257), 5);
    bits.put(static_cast<uint32_t>(distanceCodes - 1), 5);
    bits.put(static_cast<uint32_t>(codeLengthCodes - 4), 4);
    for (int index = 0; index < codeLengthCodes; ++index) {
        bits.put(state.codeLengthTree[kCodeLengthOrder[index]].parentOrLength, 3);
    }
    emitCodeLengths(bits, state, state.literalTree, literalCodes - 1);
    emitCodeLengths(bits, state, state.distanceTree, distanceCodes - 1);
}

// Every item of the block, then the end-of-block code.
void emitItems(BitWriter& bits, const DeflateState& state, const CodeEntry* literalCodes,
               const CodeEntry* distanceCodes) {
    uint32_t flags = 0;
    uint32_t flagByte = 0;
    uint32_t matchIndex = 0;
    for (uint32_t item = 0; item < state.itemCount; ++item) {
        if ((item & 7) == 0) flags = state.matchFlags[flagByte++];
        uint32_t value = state.literalBuffer[item];
        if ((flags & 1) == 0) {
            bits.send(literalCodes[value]);
        } else {
            uint32_t lengthCode = kLengthTables.codeOf[value];
            bits.send(literalCodes[kFirstLengthSymbol + lengthCode]);
            bits.put(value - static_cast<uint32_t>(kLengthTables.base[lengthCode]),
                     kLengthExtraBits[lengthCode]);
            uint32_t distanceLessOne = state.distanceBuffer[matchIndex++];
            uint32_t distanceCode = distanceCodeOf(distanceLessOne);
            bits.send(distanceCodes[distanceCode]);
            bits.put(distanceLessOne - static_cast<uint32_t>(kDistanceTables.base[distanceCode]),
                     kDistanceExtraBits[distanceCode]);
        }
        flags >>= 1;
    }
    bits.send(literalCodes[kEndOfBlock]);
}

uint32_t bitsToBytes(uint32_t bits) { return (bits + 3 + 7) / 8; }  // 3 header bits, rounded up

}  // namespace

void startTrees(DeflateState& state) { resetBlock(state); }

void resetBlock(DeflateState& state) {
    for (int symbol = 0; symbol < kLiteralSymbols; ++symbol)
        state.literalTree[symbol].freqOrCode = 0;
    for (int symbol = 0; symbol < kDistanceSymbols; ++symbol) {
        state.distanceTree[symbol].freqOrCode = 0;
    }
    for (int symbol = 0; symbol < kCodeLengthSymbols; ++symbol) {
        state.codeLengthTree[symbol].freqOrCode = 0;
    }
    state.literalTree[kEndOfBlock].freqOrCode = 1;
    state.dynamicBits = 0;
    state.fixedBits = 0;
    state.itemCount = 0;
    state.matchCount = 0;
    state.matchFlagBytes = 0;
    state.pendingFlags = 0;
    state.nextFlagMask = 1;
}

bool blockPaysToEnd(const DeflateState& state) {
    // Literals at 8 bits, matches at their distance code and extra bits only: a rough size.
    uint32_t estimateBits = state.itemCount * 8;
    for (int code = 0; code < kDistanceSymbols; ++code) {
        estimateBits += state.distanceTree[code].freqOrCode * (5u + kDistanceExtraBits[code]);
    }
    uint32_t estimateBytes = estimateBits / 8;
    int64_t inputBytes = int64_t{state.position} - state.blockOrigin;
    return state.matchCount < state.itemCount / 2 && inputBytes / 2 > estimateBytes;
}

void endBlock(DeflateState& state, const uint8_t* input, int32_t inputBytes, bool last) {
    state.matchFlags[state.matchFlagBytes] = state.pendingFlags;

    TreeSpec literal = literalTreeSpec(state);
    TreeSpec distance = distanceTreeSpec(state);
    makeTree(state, literal);
    makeTree(state, distance);
    int lastCodeLengthCode = makeCodeLengthTree(state, literal, distance);

    uint32_t dynamicBytes = bitsToBytes(state.dynamicBits);
    uint32_t fixedBytes = bitsToBytes(state.fixedBits);
    uint32_t bestBytes = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    uint32_t lastBit = last ? 1 : 0;

    BitWriter bits{*state.stream, state.bitBuffer, state.bitCount};
    // A stored block's LEN is 16 bits; blocks never reach 65535 bytes, the test only makes
    // that visible here.
    if (input != nullptr && inputBytes <= 0xFFFF &&
        static_cast<uint32_t>(inputBytes) + 4 <= bestBytes) {
        bits.put(kBlockStored << 1 | lastBit, 3);
        emitStoredBlock(bits, input, static_cast<uint32_t>(inputBytes));
    } else if (fixedBytes <= dynamicBytes) {
        bits.put(kBlockFixed << 1 | lastBit, 3);
        emitItems(bits, state, kFixedLiteralCodes.data(), kFixedDistanceCodes.data());
    } else {
        bits.put(kBlockDynamic << 1 | lastBit, 3);
        emitTreeHeader(bits, state, literal.maxCode + 1, distance.maxCode + 1,
                       lastCodeLengthCode + 1);
        emitItems(bits, state, state.literalTree, state.distanceTree);
    }
    resetBlock(state);
    if (last) bits.alignToByte();
    state.bitBuffer = bits.buffer;
    state.bitCount = bits.count;
}

}  // namespace zipsalvage
