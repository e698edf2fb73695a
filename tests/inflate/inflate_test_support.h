// Helpers of the inflate tests: zlib as the reference encoder and decoder, a bit writer for
// hand-made streams, and one inflate run over a stream in memory.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

#include "tests/support/canonical_codes.h"
#include "tests/support/memory_source.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {

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

using Lengths = std::vector<uint8_t>;

// One code-length symbol of a dynamic header: 0..15 a length, 16..18 a repeat with its extra
// bits value.
struct CodeLengthSymbol {
    uint32_t symbol;
    uint32_t extra;
};

// A dynamic block header (RFC 1951 3.2.7) with HCLEN 19 and a fixed complete code-length code:
// BFINAL, BTYPE 2, HLIT, HDIST, the 19 code-length lengths, then `symbols`.
void writeDynamicHeader(BitWriter& out, bool last, uint32_t litLenCount, uint32_t distanceCount,
                        const std::vector<CodeLengthSymbol>& symbols);

// The codes of one dynamic block whose header sends every length as a plain symbol.
struct DynamicCode {
    Lengths litLenLengths;
    Lengths distanceLengths;
    std::vector<uint32_t> litLenCodes;
    std::vector<uint32_t> distanceCodes;
    void litLen(BitWriter& out, uint32_t symbol) const {
        out.code(litLenCodes[symbol], litLenLengths[symbol]);
    }
    void distance(BitWriter& out, uint32_t symbol) const {
        out.code(distanceCodes[symbol], distanceLengths[symbol]);
    }
};
DynamicCode writeDynamicBlock(BitWriter& out, bool last, const Lengths& litLenLengths,
                              const Lengths& distanceLengths);

}  // namespace zipsalvage::testing
