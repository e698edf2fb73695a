// Builds test streams bit by bit, least significant bit first, as every Zip method reads them.
#pragma once

#include <cstdint>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct BitWriter {
    Bytes bytes;
    uint32_t bitCount = 0;

    // Appends the low `count` bits of `value`, lowest first.
    BitWriter& put(uint32_t value, uint32_t count) {
        for (uint32_t bit = 0; bit < count; ++bit, ++bitCount) {
            if (bitCount % 8 == 0) bytes.push_back(0);
            if ((value >> bit) & 1) bytes.back() |= static_cast<uint8_t>(1u << (bitCount % 8));
        }
        return *this;
    }
    // Appends a whole byte at the next byte boundary.
    BitWriter& byte(uint8_t value) {
        bitCount = static_cast<uint32_t>(bytes.size()) * 8;
        bytes.push_back(value);
        bitCount += 8;
        return *this;
    }
};

}  // namespace zipsalvage::testing
