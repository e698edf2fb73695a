// Helpers of the inflate tests: zlib as the reference encoder and decoder, a bit writer for
// hand-made streams, and one inflate run over a stream in memory.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

#include "tests/support/memory_source.h"

namespace zipsalvage::testing {

// Raw deflate (no zlib header) of `input` at `level` with `strategy`; when `flushEvery` is
// non-zero, a sync flush (an empty stored block) follows every `flushEvery` bytes.
Bytes zlibDeflate(const Bytes& input, int level, int strategy = Z_DEFAULT_STRATEGY,
                  size_t flushEvery = 0);

// What zlib decodes from a raw stream before it ends or fails.
Bytes zlibInflatePrefix(const Bytes& stream);

struct InflateRun {
    int result = -1;
    Bytes output;
};

// Runs inflate over `stream` recorded with `compressedSize` (its size by default), with only
// `available` bytes readable in the whole archive (all by default).
InflateRun runInflate(const Bytes& stream, int64_t compressedSize = -1,
                      size_t available = SIZE_MAX);

bool isPrefixOf(const Bytes& prefix, const Bytes& whole);

// Writes fields least significant bit first, as deflate streams are read (RFC 1951 3.1.1).
struct BitWriter {
    Bytes bytes;
    uint32_t bitCount = 0;
    void bits(uint32_t value, uint32_t count);
    // A Huffman code, most significant bit first (RFC 1951 3.1.1).
    void code(uint32_t value, uint32_t length);
    // The fixed code of a literal/length symbol (RFC 1951 3.2.6).
    void fixedSymbol(uint32_t symbol);
    void alignToByte();
};

}  // namespace zipsalvage::testing
