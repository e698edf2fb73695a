// Format facts of imploding (APPNOTE 5.3): the two flag bits, the tree alphabets, and the
// length, distance and extra-bits tables (generated) that the tree builds take.
#pragma once

#include <array>
#include <cstdint>

namespace zipsalvage {
// Its own (inline) namespace: the encoder and the decoders each have tables of these RFC 1951
// names with different shapes, and one program must not see two definitions of one name.
inline namespace implode_tables {

// General purpose bit flag (APPNOTE 4.4.4, method 6).
inline constexpr uint16_t kImplodeFlag8kDictionary = 0x0002;  // else 4 KiB
inline constexpr uint16_t kImplodeFlagLiteralTree = 0x0004;   // three trees; else raw literals

inline constexpr int kImplodeLiteralSymbols = 256;
inline constexpr int kImplodeTreeSymbols = 64;  // the length and the distance tree
inline constexpr uint32_t kImplodeRawLiteralBits = 8;
inline constexpr uint32_t kImplodeLowDistanceBits8k = 7;
inline constexpr uint32_t kImplodeLowDistanceBits4k = 6;
inline constexpr uint32_t kImplodeLengthExtraBits = 8;  // after length symbol 63

// Tree description (APPNOTE 5.3.4): a count byte, then bytes of (count - 1) << 4 | (length - 1).
inline constexpr int kImplodeMaxRunSymbols = 16;

// Requested root widths of the decoding tables; the distance tree's grows for long entries.
inline constexpr int kImplodeLiteralLookupBits = 9;
inline constexpr int kImplodeLengthLookupBits = 7;
inline constexpr int kImplodeDistanceLookupBits = 7;
inline constexpr int kImplodeDistanceLookupBitsLong = 8;
inline constexpr int32_t kImplodeLongDataLength = 200000;  // above it: the wider distance root

// Length symbol s means s + 2 without the literal tree and s + 3 with it; symbol 63 adds 8 more
// bits. The distance tree gets the same extra-bits table but its decoding ignores it.
constexpr std::array<uint16_t, kImplodeTreeSymbols> makeImplodeLengthBase(uint16_t shortest) {
    std::array<uint16_t, kImplodeTreeSymbols> base{};
    for (int symbol = 0; symbol < kImplodeTreeSymbols; ++symbol) {
        base[symbol] = static_cast<uint16_t>(shortest + symbol);
    }
    return base;
}

constexpr std::array<uint16_t, kImplodeTreeSymbols> makeImplodeExtraBits() {
    std::array<uint16_t, kImplodeTreeSymbols> extra{};
    extra[kImplodeTreeSymbols - 1] = kImplodeLengthExtraBits;
    return extra;
}

// Distance symbol s covers distances 1 + step * s onwards; the low bits read before it are added.
constexpr std::array<uint16_t, kImplodeTreeSymbols> makeImplodeDistanceBase(uint16_t step) {
    std::array<uint16_t, kImplodeTreeSymbols> base{};
    for (int symbol = 0; symbol < kImplodeTreeSymbols; ++symbol) {
        base[symbol] = static_cast<uint16_t>(1 + step * symbol);
    }
    return base;
}

inline constexpr auto kImplodeLengthBase2 = makeImplodeLengthBase(2);
inline constexpr auto kImplodeLengthBase3 = makeImplodeLengthBase(3);
inline constexpr auto kImplodeExtraBits = makeImplodeExtraBits();
inline constexpr auto kImplodeDistanceBase4k = makeImplodeDistanceBase(64);
inline constexpr auto kImplodeDistanceBase8k = makeImplodeDistanceBase(128);

}  // namespace implode_tables
}  // namespace zipsalvage
