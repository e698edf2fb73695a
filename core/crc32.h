// The Zip CRC-32 (APPNOTE 4.4.7): reflected polynomial 0xEDB88320, one byte per step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zipsalvage {

constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t index = 0; index < 256; ++index) {
        uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[index] = value;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> kCrc32Table = makeCrc32Table();

// One step of the register; no inversion inside the step (the caller starts from 0xFFFFFFFF and
// inverts at the end to get the checksum a Zip header records).
inline uint32_t crc32Byte(uint32_t crc, uint8_t byte) {
    return (crc >> 8) ^ kCrc32Table[(crc ^ byte) & 0xFF];
}

// Folds `count` bytes into a running register, four table lookups per word on the fast path.
uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t count);

}  // namespace zipsalvage
