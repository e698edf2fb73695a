// zlib wrappers, the bit writer and the inflate runner of the inflate tests.
#include "tests/inflate/inflate_test_support.h"

#include <algorithm>

#include "extract/huffman_decoders.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {

Bytes zlibInflatePrefix(const Bytes& compressed) { return zlibInflateRaw(compressed).content; }

InflateRun runInflate(const Bytes& stream, int64_t compressedSize, size_t available) {
    DecoderBench bench(stream, 0, compressedSize);
    bench.input.available = available;
    InflateRun run;
    run.result = ranToEnd(zipsalvage::inflate(bench.context)) ? 1 : 0;
    run.output = bench.output();
    return run;
}

bool isPrefixOf(const Bytes& prefix, const Bytes& whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

void BitWriter::bits(uint32_t value, uint32_t count) {
    for (uint32_t bit = 0; bit < count; ++bit) {
        if (bitCount % 8 == 0) bytes.push_back(0);
        bytes.back() =
            static_cast<uint8_t>(bytes.back() | (((value >> bit) & 1u) << (bitCount % 8)));
        ++bitCount;
    }
}

void BitWriter::code(uint32_t value, uint32_t length) {
    for (uint32_t bit = length; bit > 0; --bit) bits((value >> (bit - 1)) & 1u, 1);
}

void BitWriter::fixedSymbol(uint32_t symbol) {
    if (symbol < 144) {
        code(0x30 + symbol, 8);
    } else if (symbol < 256) {
        code(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        code(symbol - 256, 7);
    } else {
        code(0xC0 + symbol - 280, 8);
    }
}

namespace {

// 13 symbols of 4 bits and 6 of 5 bits: a complete code over the 19 code-length symbols.
Lengths codeLengthCodeLengths() {
    Lengths lengths(19, 4);
    for (int symbol = 13; symbol < 19; ++symbol) lengths[symbol] = 5;
    return lengths;
}

}  // namespace

void writeDynamicHeader(BitWriter& out, bool last, uint32_t litLenCount, uint32_t distanceCount,
                        const std::vector<CodeLengthSymbol>& symbols) {
    static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    static const uint32_t kExtraBits[3] = {2, 3, 7};
    Lengths clLengths = codeLengthCodeLengths();
    std::vector<uint32_t> clCodes = canonicalCodes(clLengths);
    out.bits(last ? 1 : 0, 1);       // BFINAL
    out.bits(2, 2);                  // BTYPE dynamic
    out.bits(litLenCount - 257, 5);  // HLIT
    out.bits(distanceCount - 1, 5);  // HDIST
    out.bits(19 - 4, 4);             // HCLEN
    for (uint8_t symbol : kOrder) out.bits(clLengths[symbol], 3);
    for (const CodeLengthSymbol& item : symbols) {
        out.code(clCodes[item.symbol], clLengths[item.symbol]);
        if (item.symbol >= 16) out.bits(item.extra, kExtraBits[item.symbol - 16]);
    }
}

DynamicCode writeDynamicBlock(BitWriter& out, bool last, const Lengths& litLenLengths,
                              const Lengths& distanceLengths) {
    std::vector<CodeLengthSymbol> symbols;
    for (uint8_t length : litLenLengths) symbols.push_back({length, 0});
    for (uint8_t length : distanceLengths) symbols.push_back({length, 0});
    writeDynamicHeader(out, last, static_cast<uint32_t>(litLenLengths.size()),
                       static_cast<uint32_t>(distanceLengths.size()), symbols);
    return DynamicCode{litLenLengths, distanceLengths, canonicalCodes(litLenLengths),
                       canonicalCodes(distanceLengths)};
}

void BitWriter::alignToByte() { bitCount = static_cast<uint32_t>(bytes.size()) * 8; }

}  // namespace zipsalvage::testing
