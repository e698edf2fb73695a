// Multi-level decoding tables for the canonical prefix codes of inflate and explode, built from
// a list of code lengths (RFC 1951 3.2.2) and indexed by the code bits in stream order.
#pragma once

#include <cstdint>

#include "core/memory_blocks.h"

namespace zipsalvage {

// One table entry, 16 bytes on 64-bit builds, 8 on 32-bit ones:
//
//    byte 0   byte 1   (padding)   bytes 8-15 (4-7 on 32-bit builds)
//   +--------+--------+----------+--------------------------------------+
//   |   op   |  bits  |          | value (uint16, leaves) | next (links) |
//   +--------+--------+----------+--------------------------------------+
//
// `op` says what it is:
//   0..15   a leaf whose `value` is a base; `op` extra bits follow in the stream
//   15      also a plain symbol >= 256 (inflate's end-of-block 256; extra-bits tables stop at 13)
//   16      a plain symbol < 256 (literal byte, code-length symbol, explode literal)
//   17..32  a link: `next` is a sub-table indexed by the next `op` - 16 bits
//   99      an invalid code (unused code space, or a symbol whose extra-bits entry is 99)
// `bits` is how many bits this entry accounts for at its level; the decoder drops them after
// using the entry (a link accounts for the whole width of its level).
struct HuffEntry {
    uint8_t op;
    uint8_t bits;
    union {
        uint16_t value;
        HuffEntry* next;
    };
};

// A table is an array of 2^j entries, reached through a pointer to its entry 0.
using HuffTable = HuffEntry;

inline constexpr uint8_t kHuffOpPlainHigh = 15;
inline constexpr uint8_t kHuffOpLiteral = 16;
inline constexpr uint8_t kHuffOpLinkBase = 16;
inline constexpr uint8_t kHuffOpInvalid = 99;
inline constexpr int kHuffMaxSymbols = 288;
inline constexpr int kHuffMaxCodeBits = 16;

// Results of buildHuffTables; the same numbers travel up through the decoders.
enum HuffBuildResult : int {
    kHuffComplete = 0,    // complete code (or all lengths 0: no root; or longest code 1 bit)
    kHuffIncomplete = 1,  // unused code space decodes to op 99; the caller owns the tables
    kHuffBadLengths = 2,  // over-subscribed, or a symbol outside the base/extra tables: no tables
    kHuffNoMemory = 3,    // an allocation failed: no tables
};

// Builds the tables for `symbolCount` (<= 288) code lengths (each 0..16; 0 = no code).
// Symbols below `simpleCount` are plain (value = symbol); a symbol at or above it takes its
// value from `baseTable` and its op from the low 8 bits of `extraTable`, at index symbol -
// simpleCount, which must be below `tableEntries`. `lookupBits` is the requested root width on
// entry and the width the root actually has on return (raised to the shortest code, lowered to
// the longest); the decoder indexes the root with that many bits. On results 0 and 1 `root`
// receives the root table (nullptr when every length is 0), to be released with freeHuffTables.
int buildHuffTables(const uint8_t* codeLengths, int symbolCount, int simpleCount,
                    const uint16_t* baseTable, const uint16_t* extraTable, int tableEntries,
                    HuffTable*& root, int& lookupBits);

// Releases every table of the build whose root is `root`; nullptr is ignored.
void freeHuffTables(HuffTable* root);

// One build's tables, released together, with the width their root is indexed with.
struct DecodingTables {
    Owned<HuffTable, &freeHuffTables> root;
    int lookupBits = 0;
};

// buildHuffTables into `tables`: `tables.lookupBits` is the requested root width on entry and
// the root's width on return; on results 0 and 1 `tables.root` owns the build.
inline int buildHuffTables(const uint8_t* codeLengths, int symbolCount, int simpleCount,
                           const uint16_t* baseTable, const uint16_t* extraTable, int tableEntries,
                           DecodingTables& tables) {
    HuffTable* root = nullptr;
    int result = buildHuffTables(codeLengths, symbolCount, simpleCount, baseTable, extraTable,
                                 tableEntries, root, tables.lookupBits);
    tables.root.reset(root);
    return result;
}

// The low `bitCount` bits set (0 <= bitCount <= 32).
constexpr uint32_t lowBitMask(uint32_t bitCount) {
    return bitCount >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << bitCount) - 1;
}

}  // namespace zipsalvage
