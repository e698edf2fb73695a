// Canonical Huffman codes for the tests.
#include "tests/support/canonical_codes.h"

#include <algorithm>

namespace zipsalvage::testing {

std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
    int longest = lengths.empty() ? 0 : *std::max_element(lengths.begin(), lengths.end());
    std::vector<uint32_t> counts(static_cast<size_t>(longest) + 1, 0);
    for (uint8_t length : lengths) ++counts[length];
    counts[0] = 0;
    std::vector<uint32_t> nextCode(counts.size(), 0);
    uint32_t code = 0;
    for (size_t bits = 1; bits < counts.size(); ++bits) {
        code = (code + counts[bits - 1]) << 1;
        nextCode[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] != 0) codes[symbol] = nextCode[lengths[symbol]]++;
    }
    return codes;
}

uint32_t reverseBits(uint32_t code, int length) {
    uint32_t reversed = 0;
    for (int bit = 0; bit < length; ++bit) reversed |= ((code >> bit) & 1u) << (length - 1 - bit);
    return reversed;
}

}  // namespace zipsalvage::testing
