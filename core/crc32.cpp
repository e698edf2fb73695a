// Block form of the CRC-32 step: eight bytes per step through eight derived tables (each
// table k gives the register effect of a byte followed by k zero bytes), byte-wise at the ends.
#include "core/crc32.h"

#include <cstring>

#include "core/crc32_fold.h"

namespace zipsalvage {
namespace {

using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr SliceTables makeSliceTables() {
    SliceTables tables{};
    tables[0] = kCrc32Table;
    for (size_t slice = 1; slice < 8; ++slice) {
        for (size_t index = 0; index < 256; ++index) {
            uint32_t previous = tables[slice - 1][index];
            tables[slice][index] = (previous >> 8) ^ kCrc32Table[previous & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kSlices = makeSliceTables();

}  // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t count) {
    // Asked once: the answer never changes, and a static's initialisation is thread-safe.
    static const bool folding = haveCarrylessMultiply();
    if (folding && count >= kFoldedCrcMinimumBytes) return crc32Folded(crc, bytes, count);
    while (count >= 8) {
        uint32_t low =
            crc ^ (static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                   static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
        crc = kSlices[7][low & 0xFF] ^ kSlices[6][(low >> 8) & 0xFF] ^
              kSlices[5][(low >> 16) & 0xFF] ^ kSlices[4][low >> 24] ^ kSlices[3][bytes[4]] ^
              kSlices[2][bytes[5]] ^ kSlices[1][bytes[6]] ^ kSlices[0][bytes[7]];
        bytes += 8;
        count -= 8;
    }
    for (size_t index = 0; index < count; ++index) crc = crc32Byte(crc, bytes[index]);
    return crc;
}

}  // namespace zipsalvage
