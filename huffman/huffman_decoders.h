// The Huffman-coded methods: inflate (method 8, RFC 1951; method 9, Deflate64) and explode
// (method 6).
#pragma once

#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

// Decodes a deflate stream; on damage, everything decoded before it stays written. 1 when the
// final block ended, else 0.
int inflate(ExtractContext& context);
// The same for Deflate64 (method 9): a 64 KiB window, longer lengths and distances.
int inflateDeflate64(ExtractContext& context);

// Decodes an imploded entry; `generalFlags` bit 1 selects the 8 KiB dictionary, bit 2 the
// literal tree.
int explode(ExtractContext& context, uint16_t generalFlags);

}  // namespace zipsalvage
