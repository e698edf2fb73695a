// RFC 1951 facts the encoder needs (alphabets, extra bits, the fixed codes) and the sizes of its
// window and block buffers, with the lookup tables built from them at compile time.
#pragma once

#include <array>
#include <cstdint>

namespace zipsalvage {
// Its own (inline) namespace: the encoder and the decoders each have tables of these RFC 1951
// names with different shapes, and one program must not see two definitions of one name.
inline namespace encoder_tables {

// --- RFC 1951 3.2.5: alphabets and extra bits -------------------------------------------------
inline constexpr int kLiteralSymbols = 286;  // 0-255 literals, 256 end of block, 257-285 lengths
inline constexpr int kFixedLiteralSymbols = 288;  // the fixed code also assigns 286 and 287
inline constexpr int kDistanceSymbols = 30;
inline constexpr int kCodeLengthSymbols = 19;
inline constexpr int kLengthCodes = 29;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kFirstLengthSymbol = 257;
inline constexpr int kMaxCodeBits = 15;           // literal/length and distance codes
inline constexpr int kMaxCodeLengthCodeBits = 7;  // RFC 1951 3.2.7: 3-bit code lengths
inline constexpr int kRepeatPrevious = 16;        // previous length 3-6 times, 2 extra bits
inline constexpr int kRepeatZeroShort = 17;       // zero length 3-10 times, 3 extra bits
inline constexpr int kRepeatZeroLong = 18;        // zero length 11-138 times, 7 extra bits

// Block header BTYPE values (RFC 1951 3.2.3), already shifted past BFINAL.
inline constexpr uint32_t kBlockStored = 0;
inline constexpr uint32_t kBlockFixed = 2;
inline constexpr uint32_t kBlockDynamic = 4;

// clang-format off
inline constexpr std::array<uint8_t, kLengthCodes> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint8_t, kDistanceSymbols> kDistanceExtraBits = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// RFC 1951 3.2.7: the order in which the code-length code lengths are sent.
inline constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// clang-format on

// --- Window and matching ----------------------------------------------------------------------
inline constexpr uint32_t kWindowBytes = 65536;  // two halves of 32768
inline constexpr uint32_t kWindowHalf = 32768;
// The match search compares up to 257 bytes beyond the current position, and position can come
// within one byte of the window's end; the spare tail keeps those reads inside the buffer.
inline constexpr uint32_t kWindowSpareBytes = 258;
inline constexpr uint32_t kHashBits = 15;
inline constexpr uint32_t kHashSize = 1u << kHashBits;
inline constexpr uint32_t kHashMask = kHashSize - 1;
inline constexpr uint32_t kHashShift = 5;
inline constexpr uint32_t kChainMask = kWindowHalf - 1;
inline constexpr uint32_t kMinMatch = 3;
inline constexpr uint32_t kMaxMatch = 258;
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

// --- Tables built from the facts above --------------------------------------------------------

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
        int length = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
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
        codes[symbol] = CodeEntry{reverseBits(static_cast<uint32_t>(symbol), 5), 5};
    }
    return codes;
}

inline constexpr std::array<CodeEntry, kFixedLiteralSymbols> kFixedLiteralCodes =
    makeFixedLiteralCodes();
inline constexpr std::array<CodeEntry, kDistanceSymbols> kFixedDistanceCodes =
    makeFixedDistanceCodes();

}  // namespace encoder_tables
}  // namespace zipsalvage
