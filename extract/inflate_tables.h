// What inflate hands the table builder, derived from the RFC 1951 tables of
// core/deflate_format.h: base and extra-bits tables of 32 entries (every symbol a 5-bit field
// can name), with what damaged and Deflate64 data use, the fixed code's lengths, and the root
// widths asked for.
#pragma once

#include <array>
#include <cstdint>

#include "core/deflate_format.h"

namespace zipsalvage {

// Extra-bits value that marks a symbol with a code but no meaning (lengths 286, 287).
inline constexpr uint16_t kInvalidExtraBits = 99;

using BuilderTable = std::array<uint16_t, 32>;

// Length symbols 257..285 as RFC 1951 3.2.5 gives them; 286 and 287 are invalid.
constexpr BuilderTable makeInflateLengthBase() {
    BuilderTable base{};
    for (int code = 0; code < kLengthCodes; ++code) base[code] = kLengthBase[code];
    return base;
}

constexpr BuilderTable makeInflateLengthExtraBits() {
    BuilderTable extra{};
    extra.fill(kInvalidExtraBits);
    for (int code = 0; code < kLengthCodes; ++code) extra[code] = kLengthExtraBits[code];
    return extra;
}

// Distance symbols 0..29; 30 and 31, outside RFC 1951's alphabet, repeat 29, so that damaged
// data using them still decodes (a leniency: see docs/leniency.md).
constexpr BuilderTable makeInflateDistanceBase() {
    BuilderTable base{};
    for (int code = 0; code < 32; ++code) {
        base[code] = kDistanceBase[code < kDistanceSymbols ? code : kDistanceSymbols - 1];
    }
    return base;
}

constexpr BuilderTable makeInflateDistanceExtraBits() {
    BuilderTable extra{};
    for (int code = 0; code < 32; ++code) {
        extra[code] = kDistanceExtraBits[code < kDistanceSymbols ? code : kDistanceSymbols - 1];
    }
    return extra;
}

inline constexpr BuilderTable kInflateLengthBase = makeInflateLengthBase();
inline constexpr BuilderTable kInflateLengthExtraBits = makeInflateLengthExtraBits();
inline constexpr BuilderTable kInflateDistanceBase = makeInflateDistanceBase();
inline constexpr BuilderTable kInflateDistanceExtraBits = makeInflateDistanceExtraBits();

// Deflate64 (Zip method 9, APPNOTE 4.4.5): the same format with a 64 KiB window. Length symbol
// 285 is 3 plus 16 extra bits, so symbol 284 reaches 258, and distance symbols 30 and 31 are
// 32769 and 49153 with 14 extra bits each.
//
// 16 extra bits do not fit a table entry's extra-bits field (values 16 and up mean other
// things), so symbol 285's entry carries kDeflate64LongLengthOp, the op of a plain symbol
// >= 256: the decoder tells it from end-of-block by its value, 3 instead of 256.
inline constexpr uint16_t kDeflate64LongLengthOp = 15;
inline constexpr uint32_t kDeflate64LongLengthExtraBits = 16;
inline constexpr uint32_t kDeflate64WindowBytes = 65536;

constexpr BuilderTable makeDeflate64LengthBase() {
    BuilderTable base = makeInflateLengthBase();
    base[28] = 3;
    return base;
}

constexpr BuilderTable makeDeflate64LengthExtraBits() {
    BuilderTable extra = makeInflateLengthExtraBits();
    extra[28] = kDeflate64LongLengthOp;
    return extra;
}

constexpr BuilderTable makeDeflate64DistanceBase() {
    BuilderTable base = makeInflateDistanceBase();
    base[30] = 32769;
    base[31] = 49153;
    return base;
}

constexpr BuilderTable makeDeflate64DistanceExtraBits() {
    BuilderTable extra = makeInflateDistanceExtraBits();
    extra[30] = extra[31] = 14;
    return extra;
}

inline constexpr BuilderTable kDeflate64LengthBase = makeDeflate64LengthBase();
inline constexpr BuilderTable kDeflate64LengthExtraBits = makeDeflate64LengthExtraBits();
inline constexpr BuilderTable kDeflate64DistanceBase = makeDeflate64DistanceBase();
inline constexpr BuilderTable kDeflate64DistanceExtraBits = makeDeflate64DistanceExtraBits();

// The fixed code (RFC 1951 3.2.6) as lengths. Deflate's fixed blocks use 30 distance codes;
// Deflate64's use all 32 (30 and 31 are real distances there).
constexpr std::array<uint8_t, kFixedLiteralSymbols> makeFixedLitLenLengths() {
    std::array<uint8_t, kFixedLiteralSymbols> lengths{};
    for (int symbol = 0; symbol < kFixedLiteralSymbols; ++symbol) {
        lengths[symbol] = fixedLiteralLength(symbol);
    }
    return lengths;
}
inline constexpr std::array<uint8_t, kFixedLiteralSymbols> kFixedLitLenLengths =
    makeFixedLitLenLengths();
inline constexpr int kDeflateFixedDistanceCodes = kDistanceSymbols;
inline constexpr int kDeflate64FixedDistanceCodes = 32;

// Root widths asked of the table builder; it may raise or lower them.
inline constexpr int kFixedLitLenLookupBits = 7;
inline constexpr int kFixedDistanceLookupBits = 5;
inline constexpr int kDynamicLitLenLookupBits = 9;
inline constexpr int kDynamicDistanceLookupBits = 6;
inline constexpr int kCodeLengthLookupBits = 7;

}  // namespace zipsalvage
