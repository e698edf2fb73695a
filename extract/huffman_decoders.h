// The Huffman-coded methods: inflate (method 8, RFC 1951; method 9, Deflate64) and explode
// (method 6).
#pragma once

#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

// Decodes a deflate stream; on damage, everything decoded before it stays written. Done when
// the final block ended; `consumed` then counts the bytes up to the one holding its last bit.
DecodeResult inflate(ExtractContext& context);
// The same for Deflate64 (method 9): a 64 KiB window, longer lengths and distances.
DecodeResult inflateDeflate64(ExtractContext& context);

// Decodes an imploded entry; `generalFlags` bit 1 selects the 8 KiB dictionary, bit 2 the
// literal tree.
DecodeResult explode(ExtractContext& context, uint16_t generalFlags);

}  // namespace zipsalvage
