// Test-side RFC 1951 decoder: canonical codes decoded bit by bit, every block recorded.
#include "tests/recompress/block_reader.h"

namespace zipsalvage::testing {
namespace {

struct Failure {
    std::string what;
};

struct BitSource {
    const Bytes& bytes;
    size_t bytePos = 0;
    int bitPos = 0;

    int bit() {
        if (bytePos >= bytes.size()) throw Failure{"input ran out"};
        int value = (bytes[bytePos] >> bitPos) & 1;
        if (++bitPos == 8) {
            bitPos = 0;
            ++bytePos;
        }
        return value;
    }
    uint32_t bits(int count) {
        uint32_t value = 0;
        for (int index = 0; index < count; ++index) value |= static_cast<uint32_t>(bit()) << index;
        return value;
    }
    void align() {
        if (bitPos != 0) {
            bitPos = 0;
            ++bytePos;
        }
    }
};

// Canonical decoding table in the style of RFC 1951 3.2.2: counts per length and the symbols
// ordered by code.
struct Decoder {
    std::vector<int> count = std::vector<int>(16, 0);
    std::vector<int> symbols;
    bool complete = false;

    explicit Decoder(const std::vector<int>& lengths) {
        for (int length : lengths) ++count[length];
        long space = 1;
        for (int length = 1; length <= 15; ++length) {
            space = space * 2 - count[length];
            if (space < 0) throw Failure{"over-subscribed code"};
        }
        complete = space == 0;
        std::vector<int> offset(16, 0);
        for (int length = 1; length < 15; ++length)
            offset[length + 1] = offset[length] + count[length];
        symbols.assign(lengths.size(), 0);
        for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            if (lengths[symbol] != 0) symbols[offset[lengths[symbol]]++] = static_cast<int>(symbol);
        }
    }

    int decode(BitSource& in) const {
        int code = 0, first = 0, index = 0;
        for (int length = 1; length <= 15; ++length) {
            code |= in.bit();
            if (code - count[length] < first) return symbols[index + (code - first)];
            index += count[length];
            first = (first + count[length]) << 1;
            code <<= 1;
        }
        throw Failure{"undecodable code"};
    }
};

const int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                               33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

void readItems(BitSource& in, const Decoder& literal, const Decoder& distance, BlockInfo& block,
               Bytes& out) {
    for (;;) {
        int symbol = literal.decode(in);
        if (symbol < 256) {
            out.push_back(static_cast<uint8_t>(symbol));
            ++block.literals;
            continue;
        }
        if (symbol == 256) return;
        symbol -= 257;
        if (symbol >= 29) throw Failure{"bad length symbol"};
        if (symbol == 28) ++block.lengthSymbol285;
        if (symbol + 257 > block.longestLengthSymbol) block.longestLengthSymbol = symbol + 257;
        int length = kLengthBase[symbol] + static_cast<int>(in.bits(kLengthExtra[symbol]));
        int code = distance.decode(in);
        if (code >= 30) throw Failure{"bad distance symbol"};
        size_t back = static_cast<size_t>(kDistanceBase[code]) + in.bits(kDistanceExtra[code]);
        if (back > out.size()) throw Failure{"distance too far back"};
        block.matchList.push_back({out.size(), length, back});
        for (int index = 0; index < length; ++index) out.push_back(out[out.size() - back]);
        ++block.matches;
    }
}

}  // namespace

DeflateStructure readDeflateStructure(const Bytes& deflated) {
    DeflateStructure result;
    BitSource in{deflated};
    try {
        bool final = false;
        while (!final) {
            BlockInfo block;
            block.firstByte = result.data.size();
            final = block.final = in.bit() == 1;
            block.type = static_cast<int>(in.bits(2));
            if (block.type == 0) {
                in.align();
                uint32_t length = in.bits(16);
                uint32_t complement = in.bits(16);
                if ((length ^ 0xFFFF) != complement) throw Failure{"stored LEN/NLEN mismatch"};
                for (uint32_t index = 0; index < length; ++index) {
                    result.data.push_back(static_cast<uint8_t>(in.bits(8)));
                }
                block.literals = static_cast<int>(length);
            } else if (block.type == 1) {
                std::vector<int> literalLengths(288, 8), distanceLengths(30, 5);
                for (int symbol = 144; symbol < 256; ++symbol) literalLengths[symbol] = 9;
                for (int symbol = 256; symbol < 280; ++symbol) literalLengths[symbol] = 7;
                readItems(in, Decoder(literalLengths), Decoder(distanceLengths), block,
                          result.data);
            } else if (block.type == 2) {
                int literalCount = static_cast<int>(in.bits(5)) + 257;
                int distanceCount = static_cast<int>(in.bits(5)) + 1;
                int codeLengthCount = static_cast<int>(in.bits(4)) + 4;
                block.codeLengthLengths.assign(19, 0);
                for (int index = 0; index < codeLengthCount; ++index) {
                    block.codeLengthLengths[kOrder[index]] = static_cast<int>(in.bits(3));
                }
                Decoder codeLengths(block.codeLengthLengths);
                std::vector<int> lengths;
                while (static_cast<int>(lengths.size()) < literalCount + distanceCount) {
                    int symbol = codeLengths.decode(in);
                    if (symbol < 16) {
                        lengths.push_back(symbol);
                    } else if (symbol == 16) {
                        if (lengths.empty()) throw Failure{"repeat without a previous length"};
                        int repeat = 3 + static_cast<int>(in.bits(2));
                        lengths.insert(lengths.end(), repeat, lengths.back());
                    } else {
                        int repeat = symbol == 17 ? 3 + static_cast<int>(in.bits(3))
                                                  : 11 + static_cast<int>(in.bits(7));
                        lengths.insert(lengths.end(), repeat, 0);
                    }
                }
                if (static_cast<int>(lengths.size()) != literalCount + distanceCount) {
                    throw Failure{"code lengths overrun"};
                }
                block.literalLengths.assign(lengths.begin(), lengths.begin() + literalCount);
                block.distanceLengths.assign(lengths.begin() + literalCount, lengths.end());
                Decoder literal(block.literalLengths), distance(block.distanceLengths);
                block.codesComplete = codeLengths.complete && literal.complete && distance.complete;
                readItems(in, literal, distance, block, result.data);
            } else {
                throw Failure{"block type 3"};
            }
            block.bytes = result.data.size() - block.firstByte;
            result.blocks.push_back(block);
        }
        in.align();
        result.bytesUsed = in.bytePos;
        result.ok = true;
    } catch (const Failure& failure) {
        result.error = failure.what;
    }
    return result;
}

}  // namespace zipsalvage::testing
