// The decoding table builder: results, root widths, table shapes, and that every code decodes
// to its symbol with exactly its own length (checked against RFC 1951 3.2.2 canonical codes).
#include "huffman/huffman_tables.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/memory_blocks.h"
#include "extract/inflate_tables.h"
#include "tests/support/canonical_codes.h"

namespace zipsalvage {
namespace {

using Lengths = std::vector<uint8_t>;
using testing::canonicalCodes;
using testing::reverseBits;

// Releases a build's tables when a test ends.
struct Build {
    HuffTable* root = nullptr;
    int lookupBits = 0;
    int result = -1;
    Build(const Lengths& lengths, int simpleCount, int requestedBits,
          const uint16_t* base = nullptr, const uint16_t* extra = nullptr, int entries = 0) {
        lookupBits = requestedBits;
        result = buildHuffTables(lengths.data(), static_cast<int>(lengths.size()), simpleCount,
                                 base, extra, entries, root, lookupBits);
    }
    ~Build() { freeHuffTables(root); }
    Build(const Build&) = delete;
    Build& operator=(const Build&) = delete;
};

struct Decoded {
    int op = 0;
    int value = 0;
    int bitsUsed = 0;
    int levels = 0;
};

// The lookup every decoder performs, over stream bits given least significant first.
Decoded lookup(const HuffTable* root, int lookupBits, uint32_t streamBits) {
    Decoded decoded;
    const HuffEntry* entry = &root[streamBits & lowBitMask(lookupBits)];
    decoded.levels = 1;
    while (entry->op > kHuffOpLinkBase && entry->op != kHuffOpInvalid) {
        decoded.bitsUsed += entry->bits;
        streamBits >>= entry->bits;
        entry = &entry->next[streamBits & lowBitMask(entry->op - kHuffOpLinkBase)];
        ++decoded.levels;
    }
    decoded.op = entry->op;
    decoded.value = entry->op == kHuffOpInvalid ? 0 : entry->value;
    decoded.bitsUsed += entry->bits;
    return decoded;
}

// The widest table reachable from the root, and the deepest level, by walking every link.
void measureTables(const HuffTable* table, int width, int level, int& widest, int& deepest) {
    if (width > widest) widest = width;
    if (level > deepest) deepest = level;
    for (uint32_t index = 0; index < (1u << width); ++index) {
        const HuffEntry& entry = table[index];
        if (entry.op > kHuffOpLinkBase && entry.op != kHuffOpInvalid) {
            measureTables(entry.next, entry.op - kHuffOpLinkBase, level + 1, widest, deepest);
        }
    }
}

// Canonical codes straight from RFC 1951 3.2.2, in stream (bit-reversed) order.
std::vector<uint32_t> canonicalStreamCodes(const Lengths& lengths) {
    std::vector<uint32_t> codes = canonicalCodes(lengths);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
        codes[symbol] = reverseBits(codes[symbol], lengths[symbol]);
    return codes;
}

// Every code, followed by any bits, decodes to its symbol using exactly its own length; every
// pattern of `longest` bits that starts with no code is invalid; no table is wider than the
// root. Symbols are plain (simpleCount covers them all).
void expectDecodesExactly(const Build& build, const Lengths& lengths) {
    ASSERT_NE(build.root, nullptr);
    int longest = 0;
    for (uint8_t length : lengths) longest = length > longest ? length : longest;
    std::vector<uint32_t> codes = canonicalStreamCodes(lengths);
    std::vector<int> symbolOfPattern(size_t{1} << longest, -1);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        int length = lengths[symbol];
        if (length == 0) continue;
        for (uint32_t high = 0; high < (1u << (longest - length)); ++high) {
            symbolOfPattern[codes[symbol] | (high << length)] = static_cast<int>(symbol);
        }
    }
    for (uint32_t pattern = 0; pattern < symbolOfPattern.size(); ++pattern) {
        Decoded decoded = lookup(build.root, build.lookupBits, pattern);
        int symbol = symbolOfPattern[pattern];
        if (symbol < 0) {
            ASSERT_EQ(decoded.op, kHuffOpInvalid) << "pattern " << pattern;
            continue;
        }
        ASSERT_NE(decoded.op, kHuffOpInvalid) << "pattern " << pattern;
        ASSERT_EQ(decoded.value, symbol) << "pattern " << pattern;
        ASSERT_EQ(decoded.bitsUsed, lengths[symbol]) << "symbol " << symbol;
    }
    int widest = 0;
    int deepest = 0;
    measureTables(build.root, build.lookupBits, 1, widest, deepest);
    EXPECT_LE(widest, build.lookupBits);
}

TEST(HuffTables, AllLengthsZeroGiveNoRootAndNoLookupBits) {
    Build build(Lengths(19, 0), 19, 7);
    EXPECT_EQ(build.result, kHuffComplete);
    EXPECT_EQ(build.root, nullptr);
    EXPECT_EQ(build.lookupBits, 0);
}

// Result, root width and depth for the shapes the decoders meet; every one must also decode
// exactly, with unused code space invalid and no table wider than the root.
TEST(HuffTables, ResultsRootWidthsAndLevels) {
    struct Shape {
        const char* what;
        Lengths lengths;
        int requested;
        int result;
        int lookupBits;
        int levels;
    };
    Lengths ladder15;
    for (uint8_t length = 1; length <= 15; ++length) ladder15.push_back(length);
    Lengths ladder16;
    for (uint8_t length = 1; length <= 16; ++length) ladder16.push_back(length);
    ladder16.push_back(16);
    Lengths lone16(64, 0);
    lone16[9] = 16;
    Lengths lone1(30, 0);
    lone1[4] = 1;
    const Shape shapes[] = {
        {"30 five-bit distance codes: two patterns unused", Lengths(30, 5), 5, kHuffIncomplete, 5,
         1},
        {"one 1-bit code: complete by rule, its twin invalid", lone1, 6, kHuffComplete, 1, 1},
        {"all 8 bits with 7 asked: raised", Lengths(256, 8), 7, kHuffComplete, 8, 1},
        {"longest 6 bits with 9 asked: lowered", {2, 2, 2, 3, 4, 5, 6, 6}, 9, kHuffComplete, 6, 1},
        {"1 to 15 bits with 6 asked: three narrow levels", ladder15, 6, kHuffIncomplete, 6, 3},
        {"1 to 16 bits with 7 asked: three levels", ladder16, 7, kHuffComplete, 7, 3},
        {"a lone 16-bit code: the root is raised to 16", lone16, 7, kHuffIncomplete, 16, 1},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.what);
        Build build(shape.lengths, kHuffMaxSymbols, shape.requested);
        EXPECT_EQ(build.result, shape.result);
        EXPECT_EQ(build.lookupBits, shape.lookupBits);
        int widest = 0;
        int deepest = 0;
        measureTables(build.root, build.lookupBits, 1, widest, deepest);
        EXPECT_EQ(deepest, shape.levels);
        expectDecodesExactly(build, shape.lengths);
    }
}

TEST(HuffTables, FixedLiteralLengthCodeIsCompleteWithSubTablesForLongCodes) {
    Lengths lengths(kFixedLitLenLengths.begin(), kFixedLitLenLengths.end());
    Build build(lengths, kFirstLengthSymbol, 7, kInflateLengthBase.data(),
                kInflateLengthExtraBits.data(), 32);
    ASSERT_EQ(build.result, kHuffComplete);
    EXPECT_EQ(build.lookupBits, 7);
    int widest = 0;
    int deepest = 0;
    measureTables(build.root, 7, 1, widest, deepest);
    EXPECT_EQ(deepest, 2);
    int linksToOneBit = 0;
    int linksToTwoBits = 0;
    for (int index = 0; index < 128; ++index) {
        if (build.root[index].op == kHuffOpLinkBase + 1) ++linksToOneBit;
        if (build.root[index].op == kHuffOpLinkBase + 2) ++linksToTwoBits;
    }
    // 152 eight-bit codes in 1-bit tables (two per 7-bit prefix); 112 nine-bit codes in
    // 2-bit tables (four per prefix).
    EXPECT_EQ(linksToOneBit, 76);
    EXPECT_EQ(linksToTwoBits, 28);

    std::vector<uint32_t> codes = canonicalStreamCodes(lengths);
    for (int symbol = 0; symbol < kFixedLiteralSymbols; ++symbol) {
        Decoded decoded = lookup(build.root, build.lookupBits, codes[symbol]);
        ASSERT_EQ(decoded.bitsUsed, lengths[symbol]) << symbol;
        if (symbol < kLiteralCount) {
            EXPECT_EQ(decoded.op, kHuffOpLiteral);
            EXPECT_EQ(decoded.value, symbol);
        } else if (symbol == kEndOfBlock) {
            EXPECT_EQ(decoded.op, kHuffOpPlainHigh);
            EXPECT_EQ(decoded.value, kEndOfBlock);
        } else if (symbol >= 286) {
            EXPECT_EQ(decoded.op, kHuffOpInvalid) << symbol;
        } else {
            EXPECT_EQ(decoded.op, kInflateLengthExtraBits[symbol - 257]) << symbol;
            EXPECT_EQ(decoded.value, kInflateLengthBase[symbol - 257]) << symbol;
        }
    }
}

TEST(HuffTables, OverSubscribedLengthsAllocateNothing) {
    // If anything were allocated it would be left behind: the allocation failure armed here
    // must still be pending afterwards.
    failAllocationAfter(1);
    HuffTable* root = nullptr;
    int lookupBits = 7;
    Lengths threeOneBit = {1, 1, 1};
    EXPECT_EQ(buildHuffTables(threeOneBit.data(), 3, 3, nullptr, nullptr, 0, root, lookupBits),
              kHuffBadLengths);
    EXPECT_EQ(root, nullptr);
    // Over-subscribed only at the longest length, after shorter lengths fit.
    Lengths deep = {1, 2, 3, 3, 3};
    EXPECT_EQ(buildHuffTables(deep.data(), 5, 5, nullptr, nullptr, 0, root, lookupBits),
              kHuffBadLengths);
    EXPECT_EQ(root, nullptr);
    void* probe = allocBlock(16);
    EXPECT_EQ(probe, nullptr);
    freeBlock(probe);
    failAllocationAfter(0);
}

TEST(HuffTables, SymbolsOutsideTheBaseTablesAreRefused) {
    Lengths lengths(40, 6);
    HuffTable* root = nullptr;
    int lookupBits = 6;
    EXPECT_EQ(buildHuffTables(lengths.data(), 40, 0, kInflateDistanceBase.data(),
                              kInflateDistanceExtraBits.data(), 32, root, lookupBits),
              kHuffBadLengths);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(buildHuffTables(lengths.data(), 40, 30, nullptr, nullptr, 0, root, lookupBits),
              kHuffBadLengths);
    EXPECT_EQ(root, nullptr);
    // A symbol without a code needs no table entry.
    for (int symbol = 32; symbol < 40; ++symbol) lengths[symbol] = 0;
    lookupBits = 6;
    EXPECT_EQ(buildHuffTables(lengths.data(), 40, 0, kInflateDistanceBase.data(),
                              kInflateDistanceExtraBits.data(), 32, root, lookupBits),
              kHuffIncomplete);
    freeHuffTables(root);
}

TEST(HuffTables, AllocationFailureAtAnyTableReleasesEverything) {
    Lengths lengths(kFixedLitLenLengths.begin(), kFixedLitLenLengths.end());
    // The fixed code needs 1 root and 104 sub-tables; fail each allocation in turn. Leaks show
    // up under the leak checker of the sanitizer build.
    for (int failing = 1;; ++failing) {
        failAllocationAfter(failing);
        HuffTable* root = nullptr;
        int lookupBits = 7;
        int result = buildHuffTables(lengths.data(), kFixedLiteralSymbols, kFirstLengthSymbol,
                                     kInflateLengthBase.data(), kInflateLengthExtraBits.data(), 32,
                                     root, lookupBits);
        failAllocationAfter(0);
        if (result == kHuffComplete) {
            freeHuffTables(root);
            EXPECT_EQ(failing, 106);
            break;
        }
        ASSERT_EQ(result, kHuffNoMemory) << failing;
        ASSERT_EQ(root, nullptr);
    }
}

// Random length sets, complete and incomplete, at every lookup width the callers use.
TEST(HuffTables, RandomCodesDecodeExactlyAtEveryLookupWidth) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 400; ++round) {
        int symbols = 2 + static_cast<int>(random() % 287);
        int maxLength = 1 + static_cast<int>(random() % 16);
        // Grow a Kraft-valid set: give symbols lengths while space remains.
        Lengths lengths(symbols, 0);
        uint64_t used = 0;  // in units of 2^-16
        for (int symbol = 0; symbol < symbols; ++symbol) {
            if (random() % 4 == 0) continue;
            int length = 1 + static_cast<int>(random() % maxLength);
            while (length < 16 && used + (uint64_t{1} << (16 - length)) > (uint64_t{1} << 16)) {
                ++length;
            }
            if (used + (uint64_t{1} << (16 - length)) > (uint64_t{1} << 16)) break;
            used += uint64_t{1} << (16 - length);
            lengths[symbol] = static_cast<uint8_t>(length);
        }
        bool any = used != 0;
        for (int requested : {5, 6, 7, 9}) {
            Build build(lengths, kHuffMaxSymbols, requested);
            if (!any) {
                EXPECT_EQ(build.root, nullptr);
                continue;
            }
            int longest = 0;
            for (uint8_t length : lengths) longest = length > longest ? length : longest;
            bool complete = used == (uint64_t{1} << 16);
            EXPECT_EQ(build.result, complete || longest == 1 ? kHuffComplete : kHuffIncomplete);
            expectDecodesExactly(build, lengths);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace zipsalvage
