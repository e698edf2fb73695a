// Block form of the CRC-32 step, for callers that have whole buffers at hand.
#include "core/crc32.h"

namespace zipsalvage {
namespace {

// Slicing by four: slice[k][b] is the register change of byte b followed by k zero bytes, so a
// 32-bit word costs four independent lookups instead of a chain of four dependent ones.
constexpr std::array<std::array<uint32_t, 256>, 4> makeSlices() {
    std::array<std::array<uint32_t, 256>, 4> slices{};
    slices[0] = kCrc32Table;
    for (int slice = 1; slice < 4; ++slice) {
        for (uint32_t index = 0; index < 256; ++index) {
            uint32_t previous = slices[slice - 1][index];
            slices[slice][index] = (previous >> 8) ^ kCrc32Table[previous & 0xFF];
        }
    }
    return slices;
}

constexpr std::array<std::array<uint32_t, 256>, 4> kSlices = makeSlices();

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t count) {
    for (; count >= 4; bytes += 4, count -= 4) {
        uint32_t word =
            crc ^ (static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                   static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
        crc = kSlices[3][word & 0xFF] ^ kSlices[2][(word >> 8) & 0xFF] ^
              kSlices[1][(word >> 16) & 0xFF] ^ kSlices[0][word >> 24];
    }
    for (; count > 0; ++bytes, --count) crc = crc32Byte(crc, *bytes);
    return crc;
}

}  // namespace zipsalvage
