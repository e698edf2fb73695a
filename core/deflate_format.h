// RFC 1951 (deflate) format facts, one vocabulary for the decoder and the encoder: block types,
// alphabets, the length and distance base and extra-bits tables, the code-length alphabet and
// the fixed code lengths. What each side derives from them (decoding-table inputs, encoder
// lookup tables) lives next to that side.
#pragma once

#include <array>
#include <cstdint>

namespace zipsalvage {

// Block header (RFC 1951 3.2.3): BFINAL (1 bit), then BTYPE (2 bits).
enum DeflateBlockType : uint32_t {
    kBlockStored = 0,
    kBlockFixed = 1,
    kBlockDynamic = 2,
    kBlockReserved = 3,
};

// The literal/length alphabet (RFC 1951 3.2.5): 0-255 literals, 256 end of block, 257-285
// lengths. The fixed code (3.2.6) also assigns 286 and 287, which mean nothing.
inline constexpr int kLiteralCount = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kFirstLengthSymbol = 257;
inline constexpr int kLengthCodes = 29;
inline constexpr int kLiteralSymbols = 286;
inline constexpr int kFixedLiteralSymbols = 288;
inline constexpr int kDistanceSymbols = 30;
inline constexpr int kCodeLengthSymbols = 19;

// Dynamic block header counts (RFC 1951 3.2.7): HLIT + 257, HDIST + 1, HCLEN + 4, each field
// 5, 5 and 4 bits wide, so up to 288 and 32 lengths can be sent.
inline constexpr int kMinLitLenCodes = 257;
inline constexpr int kMinDistanceCodes = 1;
inline constexpr int kMinCodeLengthCodes = 4;
inline constexpr int kMaxLitLenCodes = kMinLitLenCodes + 31;
inline constexpr int kMaxDistanceCodes = kMinDistanceCodes + 31;
inline constexpr int kCodeLengthBits = 3;  // each code-length code length

inline constexpr int kMaxCodeBits = 15;               // literal/length and distance codes
inline constexpr int kMaxCodeLengthCodeBits = 7;      // 3-bit code lengths
inline constexpr uint32_t kMaxStoredLength = 0xFFFF;  // LEN of a stored block (3.2.4)

// Code-length alphabet symbols (RFC 1951 3.2.7).
inline constexpr int kRepeatPrevious = 16;   // previous length 3-6 times, 2 extra bits
inline constexpr int kRepeatZeroShort = 17;  // zero length 3-10 times, 3 extra bits
inline constexpr int kRepeatZeroLong = 18;   // zero length 11-138 times, 7 extra bits

inline constexpr uint32_t kMinMatch = 3;
inline constexpr uint32_t kMaxMatch = 258;
inline constexpr uint32_t kDeflateWindowBytes = 32768;  // the farthest a distance reaches

// clang-format off
// RFC 1951 3.2.5: per length code (symbol - 257) and per distance code.
inline constexpr std::array<uint16_t, kLengthCodes> kLengthBase = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, kLengthCodes> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, kDistanceSymbols> kDistanceBase = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193,
    257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<uint8_t, kDistanceSymbols> kDistanceExtraBits = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// RFC 1951 3.2.7: the order in which the code-length code lengths are sent.
inline constexpr std::array<uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// clang-format on

// The fixed code (RFC 1951 3.2.6): literal/length lengths 8, 9, 7, 8 by range; every distance
// code 5 bits.
constexpr uint8_t fixedLiteralLength(int symbol) {
    return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}
inline constexpr uint8_t kFixedDistanceLength = 5;

}  // namespace zipsalvage
