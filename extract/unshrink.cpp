// Method 1 (shrinking, APPNOTE 5.1): dynamic LZW with codes of 9 to 13 bits, control code 256
// and partial clearing. Decodes until the data is used up or the recorded size is reached;
// damaged streams yield bytes, not errors, and the method succeeds however decoding ended.
//
// A code's string is rebuilt backwards on a stack (prefix links lead from its last byte to its
// first) and copied into the output window in one piece; the window is written out before a
// string would overflow it, so no copy needs a bound check per byte. Only damaged tables make
// a string longer than the stack; decodeString catches that where it walks the links.
#include <algorithm>
#include <cstring>

#include "core/memory_blocks.h"
#include "extract/bit_reader.h"
#include "extract/legacy_constants.h"
#include "extract/methods.h"

namespace zipsalvage {
namespace {

constexpr uint16_t kFreeCode = 0xFFFF;
constexpr uint16_t kLeafMark = 0x8000;  // partial clear: candidate for freeing

struct Lzw {
    DecoderState& state;
    uint16_t* prefixCodes;
    uint8_t* suffixBytes;
    uint8_t* stack;
    LegacyBits bits;
    uint32_t codeBits = kShrinkFirstCodeBits;
    uint32_t nextFreeCode = kShrinkFirstFreeCode;
    uint32_t previousCode = 0;
    uint8_t previousFirstByte = 0;
    // False after a clear that freed nothing, until a code is added: another clear would find
    // the same table and free nothing again, so it is skipped (damaged data can repeat clears).
    bool clearMayFree = true;
};

bool isFree(const Lzw& lzw, uint32_t code) { return lzw.prefixCodes[code] == kFreeCode; }

// The lowest free code from `from` on, or the table limit when none is free.
uint32_t lowestFreeFrom(const Lzw& lzw, uint32_t from) {
    uint32_t code = from;
    while (code < kShrinkTableLimit && !isFree(lzw, code)) ++code;
    return code;
}

// Frees every added code below the next free code that is no such code's prefix (APPNOTE
// 5.1.3). Codes at or above the next free code are not examined and protect nothing.
void partialClear(Lzw& lzw) {
    if (!lzw.clearMayFree) return;
    uint32_t end = lzw.nextFreeCode;
    bool freedAny = false;
    for (uint32_t code = kShrinkFirstFreeCode; code < end; ++code) {
        lzw.prefixCodes[code] |= kLeafMark;  // a free code stays 0xFFFF
    }
    for (uint32_t code = kShrinkFirstFreeCode; code < end; ++code) {
        if (isFree(lzw, code)) continue;
        uint32_t prefix = lzw.prefixCodes[code] & ~kLeafMark & 0xFFFFu;
        if (prefix >= kShrinkFirstFreeCode && !isFree(lzw, prefix)) {
            lzw.prefixCodes[prefix] &= static_cast<uint16_t>(~kLeafMark);
        }
    }
    for (uint32_t code = kShrinkFirstFreeCode; code < end; ++code) {
        if (lzw.prefixCodes[code] != kFreeCode && (lzw.prefixCodes[code] & kLeafMark)) {
            lzw.prefixCodes[code] = kFreeCode;
            freedAny = true;
        }
    }
    lzw.clearMayFree = freedAny;
    lzw.nextFreeCode = lowestFreeFrom(lzw, kShrinkFirstFreeCode);
}

// Decodes `code` onto the stack, backwards from its end; returns the stack position of the
// string's first byte, or kShrinkStackBytes + 1 when the walk would not end within the stack
// (only damaged data makes one: a chain that loops, or a free code standing for a free code).
uint32_t decodeString(Lzw& lzw, uint32_t code) {
    uint32_t position = kShrinkStackBytes;
    uint32_t current = code;
    // A free code stands for the previous string followed by that string's first byte (the
    // KwKwK case of LZW; any other free code, only in damaged data, is decoded the same way).
    while (current >= kShrinkFirstFreeCode) {
        if (position == 0) return kShrinkStackBytes + 1;
        if (isFree(lzw, current)) {
            lzw.stack[--position] = lzw.previousFirstByte;
            current = lzw.previousCode;
        } else {
            lzw.stack[--position] = lzw.suffixBytes[current];
            current = lzw.prefixCodes[current];
        }
    }
    if (position == 0) return kShrinkStackBytes + 1;
    lzw.stack[--position] = lzw.suffixBytes[current];
    return position;
}

// Copies a decoded string into the window, writing the window out first when it would fill.
void emitString(Lzw& lzw, uint32_t position) {
    DecoderState& state = lzw.state;
    uint32_t length = kShrinkStackBytes - position;
    if (state.windowFill + length >= kShrinkWindowBytes) {
        flushWindow(state, state.windowFill);
        state.windowFill = 0;
    }
    std::memcpy(state.window + state.windowFill, lzw.stack + position, length);
    state.windowFill += length;
}

void addCode(Lzw& lzw, uint8_t firstByte) {
    if (lzw.nextFreeCode >= kShrinkTableLimit) return;  // table full: nothing is added
    lzw.prefixCodes[lzw.nextFreeCode] = static_cast<uint16_t>(lzw.previousCode);
    lzw.suffixBytes[lzw.nextFreeCode] = firstByte;
    lzw.clearMayFree = true;
    lzw.nextFreeCode = lowestFreeFrom(lzw, lzw.nextFreeCode + 1);
}

// Reads the next code that is not a control sequence, acting on the control sequences before
// it. False when decoding ends.
bool readDataCode(Lzw& lzw, uint32_t& code) {
    if (takeBits(lzw.state, lzw.bits, lzw.codeBits, code) != BitsRead::kTaken) return false;
    while (code == kShrinkControlCode) {
        uint32_t subCode = 0;
        if (takeBits(lzw.state, lzw.bits, lzw.codeBits, subCode) != BitsRead::kTaken) return false;
        if (subCode == kShrinkGrowCodeBits) {
            // Beyond 13 bits the tables have no room; a further increase is ignored.
            if (lzw.codeBits < kShrinkMaxCodeBits) ++lzw.codeBits;
        } else if (subCode == kShrinkPartialClear) {
            partialClear(lzw);
        }
        if (takeBits(lzw.state, lzw.bits, lzw.codeBits, code) != BitsRead::kTaken) return false;
    }
    return true;
}

void decodeCodes(Lzw& lzw) {
    DecoderState& state = lzw.state;
    const uint64_t recordedSize = state.context->uncompressedSize;
    uint32_t code = 0;
    if (takeBits(state, lzw.bits, kShrinkFirstCodeBits, code) != BitsRead::kTaken) return;
    state.window[0] = static_cast<uint8_t>(code);
    state.windowFill = 1;
    lzw.previousCode = code;
    lzw.previousFirstByte = static_cast<uint8_t>(code);
    // Stopping at the recorded size bounds the output of damaged data to that size plus one
    // string; an intact stream ends there anyway.
    while (state.outputPos + state.windowFill < recordedSize) {
        if (!readDataCode(lzw, code)) return;
        uint32_t position = decodeString(lzw, code);
        // A walk that would not end: decoding ends, what was written stays.
        if (position > kShrinkStackBytes) return;
        uint8_t firstByte = lzw.stack[position];
        emitString(lzw, position);
        addCode(lzw, firstByte);
        lzw.previousCode = code;
        lzw.previousFirstByte = firstByte;
    }
}

}  // namespace

DecodeResult unshrink(ExtractContext& context) {
    const DecodeResult noMemory{DecodeEnd::kNoMemory, 0, 0};
    OwnedBlock<DecoderState> state = newBlock<DecoderState>();
    if (!state) return noMemory;
    OwnedBlock<uint16_t[]> prefixCodes = newBlockArray<uint16_t>(kShrinkTableEntries);
    if (!prefixCodes) return noMemory;
    OwnedBlock<uint8_t[]> suffixBytes = newBlockArray<uint8_t>(kShrinkTableEntries);
    if (!suffixBytes) return noMemory;
    OwnedBlock<uint8_t[]> stack = newBlockArray<uint8_t>(kShrinkTableEntries);
    if (!stack) return noMemory;
    state->context = &context;
    state->prefixCodes = prefixCodes.get();
    state->suffixBytes = suffixBytes.get();
    state->scratch = stack.get();
    state->outputPos = 0;
    state->windowFill = 0;

    // The whole tables are set, so that a chain through a code never added (possible only in
    // damaged data) reads a defined entry.
    std::fill_n(prefixCodes.get(), kShrinkControlCode, uint16_t{0});
    std::fill_n(prefixCodes.get() + kShrinkControlCode, kShrinkTableEntries - kShrinkControlCode,
                kFreeCode);
    for (uint32_t code = 0; code < kShrinkControlCode; ++code) {
        suffixBytes[code] = static_cast<uint8_t>(code);
    }
    std::memset(suffixBytes.get() + kShrinkControlCode, 0,
                kShrinkTableEntries - kShrinkControlCode);

    Lzw lzw{*state, prefixCodes.get(), suffixBytes.get(), stack.get(), {}};
    decodeCodes(lzw);
    if (state->windowFill != 0) flushWindow(*state, state->windowFill);
    // Unshrink has no end of its own but the data's: however decoding stopped, it ran to its
    // end, and the size of what it wrote tells the rest.
    return DecodeResult{endUnlessStopped(*context.flags, DecodeEnd::kDone),
                        context.delivered - lzw.bits.count / 8, state->outputPos};
}

}  // namespace zipsalvage
