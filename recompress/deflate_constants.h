// The encoder's window, matching and block-buffer sizes, and the lookup tables it builds at
// compile time from the RFC 1951 facts of core/deflate_format.h (length and distance codes by
// value, the fixed codes ready to send).
#pragma once

#include <array>
#include <cstdint>

#include "core/deflate_format.h"

namespace zipsalvage {

// --- Window and matching ----------------------------------------------------------------------
inline constexpr uint32_t kSlidingWindowBytes = 65536;  // two halves of 32768
inline constexpr uint32_t kWindowHalf = kDeflateWindowBytes;
// The match search compares up to 257 bytes beyond the current position, and position can come
// within one byte of the window's end; the spare tail keeps those reads inside the buffer.
inline constexpr uint32_t kWindowSpareBytes = 258;
inline constexpr uint32_t kHashBits = 15;
inline constexpr uint32_t kHashSize = 1u << kHashBits;
inline constexpr uint32_t kHashMask = kHashSize - 1;
inline constexpr uint32_t kHashShift = 5;
inline constexpr uint32_t kChainMask = kWindowHalf - 1;
inline constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;   // 262
inline constexpr uint32_t kMaxDistance = kWindowHalf - kMinLookahead;  // 32506
inline constexpr uint32_t kChainLimit = 128;

// --- Block buffers ----------------------------------------------------------------------------
inline constexpr uint32_t kBlockItemBuffer = 32768;  // entries of literalBuffer, distanceBuffer
inline constexpr uint32_t kMaxBlockItems = 32767;    // a block never fills the last entry
inline constexpr uint32_t kMatchFlagBytes = kBlockItemBuffer / 8;
inline constexpr uint32_t kEstimateEvery = 4096;  // items between early-end estimates
inline constexpr int kLiteralTreeNodes = 2 * kLiteralSymbols + 1;        // 573
inline constexpr int kDistanceTreeNodes = 2 * kDistanceSymbols + 1;      // 61
inline constexpr int kCodeLengthTreeNodes = 2 * kCodeLengthSymbols + 1;  // 39
inline constexpr int kHeapSize = kLiteralTreeNodes;

// --- Tables built from RFC 1951's facts -------------------------------------------------------

// Per match length − 3: its length code 0-28 (a length of 258 is code 28, symbol 285).
// Per length code: the smallest length − 3 it covers.
struct LengthTables {
    std::array<uint8_t, 256> codeOf{};
    std::array<int32_t, kLengthCodes> base{};
};

constexpr LengthTables makeLengthTables() {
    LengthTables tables;
    int length = 0;
    for (int code = 0; code < kLengthCodes - 1; ++code) {
        tables.base[code] = length;
        for (int step = 0; step < (1 << kLengthExtraBits[code]); ++step) {
            tables.codeOf[length++] = static_cast<uint8_t>(code);
        }
    }
    // Length 258 would fall into code 27's range with extra bits 31; RFC 1951 gives it code 285.
    tables.codeOf[255] = kLengthCodes - 1;
    tables.base[kLengthCodes - 1] = 255;
    return tables;
}

// Distance codes: codeOf[d'] for d' = distance − 1 below 256, codeOf[256 + d' / 128] above
// (entries 256 and 257 are never used). base: per code, the smallest distance − 1 it covers.
struct DistanceTables {
    std::array<uint8_t, 512> codeOf{};
    std::array<int32_t, kDistanceSymbols> base{};
};

constexpr DistanceTables makeDistanceTables() {
    DistanceTables tables;
    int distance = 0;
    for (int code = 0; code < 16; ++code) {
        tables.base[code] = distance;
        for (int step = 0; step < (1 << kDistanceExtraBits[code]); ++step) {
            tables.codeOf[distance++] = static_cast<uint8_t>(code);
        }
    }
    int coarse = distance >> 7;
    for (int code = 16; code < kDistanceSymbols; ++code) {
        tables.base[code] = coarse << 7;
        for (int step = 0; step < (1 << (kDistanceExtraBits[code] - 7)); ++step) {
            tables.codeOf[256 + coarse++] = static_cast<uint8_t>(code);
        }
    }
    return tables;
}

inline constexpr LengthTables kLengthTables = makeLengthTables();
inline constexpr DistanceTables kDistanceTables = makeDistanceTables();

// The distance code of d' = distance − 1 (0-32767).
inline uint32_t distanceCodeOf(uint32_t distanceLessOne) {
    return distanceLessOne < 256 ? kDistanceTables.codeOf[distanceLessOne]
                                 : kDistanceTables.codeOf[256 + (distanceLessOne >> 7)];
}

constexpr uint16_t reverseBits(uint32_t code, int length) {
    uint32_t reversed = 0;
    for (int bit = 0; bit < length; ++bit) {
        reversed = (reversed << 1) | (code & 1);
        code >>= 1;
    }
    return static_cast<uint16_t>(reversed);
}

// A code entry, which is also a node of the trees being built (RFC 1951 3.2.2). While a block
// is counted `freqOrCode` holds the symbol's frequency and `parentOrLength` its parent node;
// once codes are assigned they hold the code (bit-reversed, ready to send LSB first) and its
// length in bits.
struct CodeEntry {
    uint16_t freqOrCode;
    uint16_t parentOrLength;
};
using TreeNode = CodeEntry;

// RFC 1951 3.2.6: the fixed literal/length code, canonical codes over lengths 8, 9, 7, 8.
constexpr std::array<CodeEntry, kFixedLiteralSymbols> makeFixedLiteralCodes() {
    std::array<CodeEntry, kFixedLiteralSymbols> codes{};
    std::array<int, kMaxCodeBits + 1> counts{};
    for (int symbol = 0; symbol < kFixedLiteralSymbols; ++symbol) {
        int length = fixedLiteralLength(symbol);
        codes[symbol].parentOrLength = static_cast<uint16_t>(length);
        ++counts[length];
    }
    std::array<uint32_t, kMaxCodeBits + 1> next{};
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + static_cast<uint32_t>(counts[bits - 1])) << 1;
        next[bits] = code;
    }
    for (CodeEntry& entry : codes) {
        entry.freqOrCode = reverseBits(next[entry.parentOrLength]++, entry.parentOrLength);
    }
    return codes;
}

constexpr std::array<CodeEntry, kDistanceSymbols> makeFixedDistanceCodes() {
    std::array<CodeEntry, kDistanceSymbols> codes{};
    for (int symbol = 0; symbol < kDistanceSymbols; ++symbol) {
        codes[symbol] = CodeEntry{reverseBits(static_cast<uint32_t>(symbol), kFixedDistanceLength),
                                  kFixedDistanceLength};
    }
    return codes;
}

inline constexpr std::array<CodeEntry, kFixedLiteralSymbols> kFixedLiteralCodes =
    makeFixedLiteralCodes();
inline constexpr std::array<CodeEntry, kDistanceSymbols> kFixedDistanceCodes =
    makeFixedDistanceCodes();

}  // namespace zipsalvage
