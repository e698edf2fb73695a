// RFC 1951 format facts for inflate: block types, alphabets, the length and distance base and
// extra-bits tables (generated), the code-length order and the fixed code lengths.
#pragma once

#include <array>
#include <cstdint>

namespace zipsalvage {
// Its own (inline) namespace: the encoder and the decoders each have tables of these RFC 1951
// names with different shapes, and one program must not see two definitions of one name.
inline namespace decoder_tables {

// Block header (RFC 1951 3.2.3): BFINAL, then BTYPE.
enum DeflateBlockType : uint32_t {
    kBlockStored = 0,
    kBlockFixed = 1,
    kBlockDynamic = 2,
    kBlockReserved = 3,
};

inline constexpr int kLiteralCount = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kFirstLengthSymbol = 257;
inline constexpr int kLitLenSymbols = 288;   // 286 and 287 have fixed codes but no meaning
inline constexpr int kDistanceSymbols = 32;  // 30 and 31 are outside RFC 1951's alphabet
inline constexpr int kCodeLengthSymbols = 19;
inline constexpr int kMinLitLenCodes = 257;    // HLIT + 257 (RFC 1951 3.2.7)
inline constexpr int kMinDistanceCodes = 1;    // HDIST + 1
inline constexpr int kMinCodeLengthCodes = 4;  // HCLEN + 4
inline constexpr int kCodeLengthBits = 3;      // each code-length code length (RFC 1951 3.2.7)
inline constexpr uint32_t kMaxStoredLength = 0xFFFF;

// Code-length alphabet symbols (RFC 1951 3.2.7).
inline constexpr uint16_t kRepeatPrevious = 16;   // 3..6 times, 2 extra bits
inline constexpr uint16_t kRepeatZeroShort = 17;  // 3..10 zeros, 3 extra bits
inline constexpr uint16_t kRepeatZeroLong = 18;   // 11..138 zeros, 7 extra bits

// Extra-bits value that marks a symbol with a code but no meaning (lengths 286, 287).
inline constexpr uint16_t kInvalidExtraBits = 99;

inline constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length symbols 257..285 (RFC 1951 3.2.5): codes 257..264 have no extra bits, then each group
// of four adds one extra bit, and 285 is length 258 with none. 286 and 287 are invalid.
constexpr std::array<uint16_t, 32> makeLengthExtraBits() {
    std::array<uint16_t, 32> extra{};
    for (int index = 0; index < 28; ++index) {
        extra[index] = static_cast<uint16_t>(index < 8 ? 0 : index / 4 - 1);
    }
    extra[28] = 0;
    extra[29] = extra[30] = extra[31] = kInvalidExtraBits;
    return extra;
}

constexpr std::array<uint16_t, 32> makeLengthBase() {
    std::array<uint16_t, 32> base{};
    std::array<uint16_t, 32> extra = makeLengthExtraBits();
    uint16_t length = 3;
    for (int index = 0; index < 28; ++index) {
        base[index] = length;
        length = static_cast<uint16_t>(length + (1u << extra[index]));
    }
    base[28] = 258;
    return base;
}

// Distance symbols 0..29 (RFC 1951 3.2.5): two per extra-bit count from 0 to 13, after four
// with none. 30 and 31 repeat 29, so that damaged data using them still decodes.
constexpr std::array<uint16_t, 32> makeDistanceExtraBits() {
    std::array<uint16_t, 32> extra{};
    for (int index = 0; index < 30; ++index) {
        extra[index] = static_cast<uint16_t>(index < 4 ? 0 : index / 2 - 1);
    }
    extra[30] = extra[31] = extra[29];
    return extra;
}

constexpr std::array<uint16_t, 32> makeDistanceBase() {
    std::array<uint16_t, 32> base{};
    std::array<uint16_t, 32> extra = makeDistanceExtraBits();
    uint32_t distance = 1;
    for (int index = 0; index < 30; ++index) {
        base[index] = static_cast<uint16_t>(distance);
        distance += 1u << extra[index];
    }
    base[30] = base[31] = base[29];
    return base;
}

inline constexpr std::array<uint16_t, 32> kLengthBase = makeLengthBase();
inline constexpr std::array<uint16_t, 32> kLengthExtraBits = makeLengthExtraBits();
inline constexpr std::array<uint16_t, 32> kDistanceBase = makeDistanceBase();
inline constexpr std::array<uint16_t, 32> kDistanceExtraBits = makeDistanceExtraBits();

// Deflate64 (Zip method 9, APPNOTE 4.4.5): the same format with a 64 KiB window. Length symbol
// 285 is 3 plus 16 extra bits, so symbol 284 reaches 258, and distance symbols 30 and 31 are
// 32769 and 49153 with 14 extra bits each.
//
// 16 extra bits do not fit a table entry's extra-bits field (values 16 and up mean other
// things), so symbol 285's entry carries kDeflate64LongLengthOp, the op of a plain symbol
// >= 256: the decoder tells it from end-of-block by its value, 3 instead of 256.
inline constexpr uint16_t kDeflate64LongLengthOp = 15;
inline constexpr uint32_t kDeflate64LongLengthExtraBits = 16;

constexpr std::array<uint16_t, 32> makeDeflate64LengthExtraBits() {
    std::array<uint16_t, 32> extra = makeLengthExtraBits();
    extra[28] = kDeflate64LongLengthOp;
    return extra;
}

constexpr std::array<uint16_t, 32> makeDeflate64LengthBase() {
    std::array<uint16_t, 32> base = makeLengthBase();
    base[28] = 3;
    return base;
}

constexpr std::array<uint16_t, 32> makeDeflate64DistanceExtraBits() {
    std::array<uint16_t, 32> extra = makeDistanceExtraBits();
    extra[30] = extra[31] = 14;
    return extra;
}

constexpr std::array<uint16_t, 32> makeDeflate64DistanceBase() {
    std::array<uint16_t, 32> base = makeDistanceBase();
    base[30] = 32769;
    base[31] = 49153;
    return base;
}

inline constexpr std::array<uint16_t, 32> kDeflate64LengthBase = makeDeflate64LengthBase();
inline constexpr std::array<uint16_t, 32> kDeflate64LengthExtraBits =
    makeDeflate64LengthExtraBits();
inline constexpr std::array<uint16_t, 32> kDeflate64DistanceBase = makeDeflate64DistanceBase();
inline constexpr std::array<uint16_t, 32> kDeflate64DistanceExtraBits =
    makeDeflate64DistanceExtraBits();

// The fixed Huffman code lengths (RFC 1951 3.2.6).
constexpr std::array<uint8_t, kLitLenSymbols> makeFixedLitLenLengths() {
    std::array<uint8_t, kLitLenSymbols> lengths{};
    for (int symbol = 0; symbol < kLitLenSymbols; ++symbol) {
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    return lengths;
}
inline constexpr std::array<uint8_t, kLitLenSymbols> kFixedLitLenLengths = makeFixedLitLenLengths();
inline constexpr int kFixedDistanceCodes = 30;
inline constexpr int kDeflate64FixedDistanceCodes = 32;  // 30 and 31 are real distances there
inline constexpr uint8_t kFixedDistanceLength = 5;

// Root widths asked of the table builder; it may raise or lower them.
inline constexpr int kFixedLitLenLookupBits = 7;
inline constexpr int kFixedDistanceLookupBits = 5;
inline constexpr int kDynamicLitLenLookupBits = 9;
inline constexpr int kDynamicDistanceLookupBits = 6;
inline constexpr int kCodeLengthLookupBits = 7;

}  // namespace decoder_tables
}  // namespace zipsalvage
