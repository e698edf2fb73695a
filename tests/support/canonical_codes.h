// Canonical Huffman codes computed the plain way, as the tests' reference for the table builder,
// hand-built deflate streams and imploded trees.
#pragma once

#include <cstdint>
#include <vector>

namespace zipsalvage::testing {

// The codes RFC 1951 3.2.2 assigns to `lengths` (0 = unused symbol), most significant bit first.
std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lengths);

// `code` of `length` bits in the order a deflate stream carries it (RFC 1951 3.1.1).
uint32_t reverseBits(uint32_t code, int length);

}  // namespace zipsalvage::testing
