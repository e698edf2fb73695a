// The table builder target: code lengths in, tables checked against the canonical codes of
// RFC 1951 3.2.2 computed here independently, then released (the leak check sees the rest).
//
// Input: 2 bytes of symbol count (mod 289), a byte choosing the alphabet (plain symbols, the
// deflate length or distance alphabet, the implode length alphabet), the requested root width,
// a byte that makes the n-th allocation fail (0 = none), then one byte per code length (mod 18:
// 17 is a length no code may have).
#include <vector>

#include "core/memory_blocks.h"
#include "extract/implode_format.h"
#include "extract/inflate_tables.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"
#include "huffman/huffman_tables.h"

namespace zipsalvage::fuzz {
namespace {

struct Alphabet {
    int simpleCount;
    const uint16_t* base;
    const uint16_t* extra;
    int tableEntries;
};

Alphabet pickAlphabet(uint8_t choice, int symbolCount) {
    switch (choice % 4) {
        case 1:
            return {kFirstLengthSymbol, kInflateLengthBase.data(), kInflateLengthExtraBits.data(),
                    32};
        case 2:
            return {0, kInflateDistanceBase.data(), kInflateDistanceExtraBits.data(), 32};
        case 3:
            return {0, kImplodeLengthBase2.data(), kImplodeExtraBits.data(), kImplodeTreeSymbols};
        default:
            return {symbolCount, nullptr, nullptr, 0};
    }
}

// Follows the stream bits of one code through the tables as the decoders do. Fails the check
// (and returns nullptr) when a link is malformed or the walk goes deeper than any code.
const HuffEntry* walk(const HuffTable* root, int lookupBits, uint32_t streamBits, int& bitsUsed) {
    const HuffEntry* entry = &root[streamBits & lowBitMask(static_cast<uint32_t>(lookupBits))];
    bitsUsed = 0;
    for (int level = 0; entry->op > kHuffOpLinkBase && entry->op != kHuffOpInvalid; ++level) {
        int width = entry->op - kHuffOpLinkBase;
        if (level > kHuffMaxCodeBits || width < 1 || width > kHuffMaxCodeBits ||
            entry->next == nullptr || entry->bits == 0) {
            FUZZ_CHECK(false, "malformed link in the tables");
            return nullptr;
        }
        bitsUsed += entry->bits;
        streamBits >>= entry->bits;
        entry = &entry->next[streamBits & lowBitMask(static_cast<uint32_t>(width))];
    }
    bitsUsed += entry->bits;
    return entry;
}

uint32_t reversed(uint32_t code, int length) {
    uint32_t result = 0;
    for (int bit = 0; bit < length; ++bit) result |= ((code >> bit) & 1u) << (length - 1 - bit);
    return result;
}

// What the result must be, from the lengths alone.
struct LengthModel {
    uint32_t counts[18] = {};
    int shortest = 0;
    int longest = 0;
    int expected = kHuffComplete;
};

LengthModel modelOf(const std::vector<uint8_t>& lengths, const Alphabet& alphabet) {
    LengthModel model;
    uint32_t* counts = model.counts;
    for (uint8_t length : lengths) ++counts[length];
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        if (counts[length] == 0) continue;
        if (model.shortest == 0) model.shortest = length;
        model.longest = length;
    }
    int64_t kraft = 0;  // in units of 2^-16
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        kraft += static_cast<int64_t>(counts[length]) << (kHuffMaxCodeBits - length);
    }
    bool outsideTables = false;
    const int symbolCount = static_cast<int>(lengths.size());
    for (int symbol = alphabet.simpleCount; symbol < symbolCount; ++symbol) {
        if (lengths[symbol] != 0 && symbol - alphabet.simpleCount >= alphabet.tableEntries) {
            outsideTables = true;
        }
    }
    if (counts[17] != 0 || kraft > (int64_t{1} << kHuffMaxCodeBits) || outsideTables) {
        model.expected = kHuffBadLengths;
    } else if (model.longest != 0 && kraft < (int64_t{1} << kHuffMaxCodeBits) &&
               model.longest != 1) {
        model.expected = kHuffIncomplete;
    }
    return model;
}

void checkEveryCode(const HuffTable* root, int lookupBits, const std::vector<uint8_t>& lengths,
                    const LengthModel& model, const Alphabet& alphabet);

}  // namespace

int fuzzHuffTables(const uint8_t* data, size_t size) {
    FuzzInput input{data, size};
    int symbolCount = static_cast<int>(input.le16() % (kHuffMaxSymbols + 1));
    Alphabet alphabet = pickAlphabet(input.byte(), symbolCount);
    int requestedBits = input.byte() % (kHuffMaxCodeBits + 1);
    int failingAllocation = input.byte() % 8;
    std::vector<uint8_t> lengths(static_cast<size_t>(symbolCount));
    for (uint8_t& length : lengths) length = static_cast<uint8_t>(input.byte() % 18);

    const LengthModel model = modelOf(lengths, alphabet);
    const int shortest = model.shortest;
    const int longest = model.longest;

    HuffTable* root = nullptr;
    int lookupBits = requestedBits;
    failAllocationAfter(failingAllocation);
    int result = buildHuffTables(lengths.data(), symbolCount, alphabet.simpleCount, alphabet.base,
                                 alphabet.extra, alphabet.tableEntries, root, lookupBits);
    failAllocationAfter(0);
    if (result == kHuffNoMemory) {
        FUZZ_CHECK(failingAllocation != 0, "no memory reported without a failed allocation");
        FUZZ_CHECK(root == nullptr, "tables left after running out of memory");
        return 0;
    }
    FUZZ_CHECK(result == model.expected, "result differs from the one the lengths call for");
    if (result != kHuffComplete && result != kHuffIncomplete) {
        FUZZ_CHECK(root == nullptr, "tables left after refusing the lengths");
        return 0;
    }
    if (longest == 0) {
        FUZZ_CHECK(root == nullptr, "tables for a code without symbols");
        return 0;
    }
    FUZZ_CHECK(root != nullptr, "no tables for a usable code");
    if (root == nullptr) return 0;
    int wantedBits = requestedBits < shortest ? shortest : requestedBits;
    if (wantedBits > longest) wantedBits = longest;
    FUZZ_CHECK(lookupBits == wantedBits, "root width not clamped to the code lengths");

    checkEveryCode(root, lookupBits, lengths, model, alphabet);
    freeHuffTables(root);
    return 0;
}

namespace {

// Every symbol's canonical code decodes to that symbol with exactly its length, and any bits at
// all end within the longest code length, at a symbol or an invalid entry.
void checkEveryCode(const HuffTable* root, int lookupBits, const std::vector<uint8_t>& lengths,
                    const LengthModel& model, const Alphabet& alphabet) {
    const uint32_t* counts = model.counts;
    const int symbolCount = static_cast<int>(lengths.size());
    const int longest = model.longest;
    uint32_t nextCode[kHuffMaxCodeBits + 2] = {};
    uint32_t code = 0;
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        code = (code + counts[length - 1] * (length > 1 ? 1u : 0u)) << 1;
        nextCode[length] = code;
    }
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        int length = lengths[symbol];
        if (length == 0) continue;
        uint32_t streamBits = reversed(nextCode[length]++, length);
        int bitsUsed = 0;
        const HuffEntry* entry = walk(root, lookupBits, streamBits, bitsUsed);
        if (entry == nullptr) break;
        FUZZ_CHECK(bitsUsed == length, "a code decodes with the wrong length");
        if (symbol < alphabet.simpleCount) {
            FUZZ_CHECK(entry->op == (symbol < 256 ? kHuffOpLiteral : kHuffOpPlainHigh) &&
                           entry->value == symbol,
                       "a plain symbol decodes wrongly");
        } else {
            int index = symbol - alphabet.simpleCount;
            FUZZ_CHECK(
                entry->op == (alphabet.extra[index] & 0xFF) && entry->value == alphabet.base[index],
                "a symbol decodes to the wrong base or extra bits");
        }
    }
    for (uint32_t streamBits = 0; streamBits < 1024; ++streamBits) {
        int bitsUsed = 0;
        uint32_t probe = streamBits * 0x9E3779B9u;
        const HuffEntry* entry = walk(root, lookupBits, probe, bitsUsed);
        if (entry == nullptr) break;
        FUZZ_CHECK(bitsUsed <= longest || entry->op == kHuffOpInvalid,
                   "a lookup takes more bits than the longest code");
    }
}

}  // namespace
}  // namespace zipsalvage::fuzz
