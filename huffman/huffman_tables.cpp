// buildHuffTables / freeHuffTables: canonical codes (RFC 1951 3.2.2) laid out as chained
// lookup tables, one allocBlock per table, so that a root alone releases a whole build.
//
// Each table block is 2^j + 1 entries: entry 0 is a header whose `next` links the block the same
// build allocated after it; the table proper starts at entry 1. The root block comes first.
#include "huffman/huffman_tables.h"

#include <cstddef>

#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

constexpr int kMaxLevels = kHuffMaxCodeBits + 1;

// The chain of one build while it is being made; release() undoes everything on failure.
struct TableChain {
    HuffEntry* firstBlock = nullptr;
    HuffEntry* lastBlock = nullptr;

    // A table of 2^width entries, every one invalid until a code reaches it.
    HuffTable* allocate(int width) {
        size_t entries = (size_t{1} << width) + 1;
        auto* block = static_cast<HuffEntry*>(allocBlock(entries * sizeof(HuffEntry)));
        if (block == nullptr) return nullptr;
        block->op = 0;
        block->bits = 0;
        block->next = nullptr;
        if (lastBlock != nullptr) {
            lastBlock->next = block;
        } else {
            firstBlock = block;
        }
        lastBlock = block;
        for (size_t index = 1; index < entries; ++index) {
            block[index].op = kHuffOpInvalid;
            block[index].bits = 0;
            block[index].value = 0;
        }
        return block + 1;
    }

    HuffTable* root() const { return firstBlock != nullptr ? firstBlock + 1 : nullptr; }

    void release() {
        freeHuffTables(root());
        firstBlock = nullptr;
        lastBlock = nullptr;
    }
};

// The next canonical code of length `length`, in bit-reversed (stream) order: the carry of an
// increment runs from the code's last bit, which is bit length - 1 here, towards bit 0.
uint32_t nextReversedCode(uint32_t code, int length) {
    uint32_t bit = uint32_t{1} << (length - 1);
    while ((code & bit) != 0) {
        code ^= bit;
        bit >>= 1;
    }
    return code | bit;
}

// Width of a sub-table that starts at bit `start` for a code of length `length`, with
// `unplaced` codes of that length still to place: as narrow as lets the codes that follow fill
// it exactly, but never wider than `cap`.
int subTableWidth(int length, int start, int cap, uint32_t unplaced, const uint32_t* counts) {
    int width = length - start;
    if ((uint32_t{1} << width) > unplaced) {
        uint32_t freeSlots = (uint32_t{1} << width) - unplaced;
        for (;;) {
            ++width;
            if (width >= cap) break;
            freeSlots <<= 1;
            if (freeSlots <= counts[start + width]) break;
            freeSlots -= counts[start + width];
        }
    }
    return width > cap ? cap : width;
}

// The code lengths' histogram, its shortest and longest length, and the code space the lengths
// leave unused at the longest.
struct LengthCounts {
    uint32_t counts[kMaxLevels] = {};
    int shortest = 0;
    int longest = 0;  // 0: no symbol has a code
    uint32_t missingCodes = 0;
};

// Counts the lengths. False when one is above kHuffMaxCodeBits or when they ask for more codes
// than there are (the Kraft check, from the shortest length down).
bool countCodeLengths(const uint8_t* codeLengths, int symbolCount, LengthCounts& lengths) {
    uint32_t* counts = lengths.counts;
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        if (codeLengths[symbol] > kHuffMaxCodeBits) return false;
        ++counts[codeLengths[symbol]];
    }
    counts[0] = 0;
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        if (counts[length] == 0) continue;
        if (lengths.shortest == 0) lengths.shortest = length;
        lengths.longest = length;
    }
    if (lengths.longest == 0) return true;
    int32_t freeCodes = int32_t{1} << lengths.shortest;
    for (int length = lengths.shortest; length < lengths.longest; ++length) {
        freeCodes -= static_cast<int32_t>(counts[length]);
        if (freeCodes < 0) return false;
        freeCodes *= 2;
    }
    freeCodes -= static_cast<int32_t>(counts[lengths.longest]);
    if (freeCodes < 0) return false;
    lengths.missingCodes = static_cast<uint32_t>(freeCodes);
    return true;
}

// What the entries of a code say: symbols below `simpleCount` are plain, the others take their
// value and op from the base and extra tables.
struct SymbolMeaning {
    int simpleCount;
    const uint16_t* baseTable;
    const uint16_t* extraTable;
    int tableEntries;
};

// The symbols that have a code, in canonical order (by length, then by symbol: RFC 1951
// 3.2.2); returns how many, or -1 when one of them has no entry in the base and extra tables.
int orderSymbols(const uint8_t* codeLengths, int symbolCount, const SymbolMeaning& meaning,
                 const uint32_t* counts, uint16_t* ordered) {
    uint32_t offsets[kMaxLevels + 1] = {};
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        offsets[length + 1] = offsets[length] + counts[length];
    }
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        int length = codeLengths[symbol];
        if (length == 0) continue;
        if (symbol >= meaning.simpleCount &&
            (meaning.baseTable == nullptr || meaning.extraTable == nullptr ||
             symbol - meaning.simpleCount >= meaning.tableEntries)) {
            return -1;
        }
        ordered[offsets[length]++] = static_cast<uint16_t>(symbol);
    }
    return static_cast<int>(offsets[kHuffMaxCodeBits + 1]);
}

// The table entry of the code placed `placed`-th: a real symbol's, or an invalid one for the
// dummies that fill the unused code space.
HuffEntry entryFor(uint32_t placed, const uint16_t* ordered, uint32_t realCodes,
                   const SymbolMeaning& meaning) {
    HuffEntry entry{};
    if (placed >= realCodes) {
        entry.op = kHuffOpInvalid;
        entry.value = 0;
    } else if (int symbol = ordered[placed]; symbol < meaning.simpleCount) {
        entry.op = symbol < 256 ? kHuffOpLiteral : kHuffOpPlainHigh;
        entry.value = static_cast<uint16_t>(symbol);
    } else {
        entry.op = static_cast<uint8_t>(meaning.extraTable[symbol - meaning.simpleCount] & 0xFF);
        entry.value = meaning.baseTable[symbol - meaning.simpleCount];
    }
    return entry;
}

// Where the placing of codes stands: the table open at each level, its width, and the low
// `start` bits of the code that opened it.
struct Placement {
    TableChain chain;
    HuffTable* tables[kMaxLevels] = {};
    int widths[kMaxLevels] = {};
    uint32_t selectors[kMaxLevels] = {};
    int level = -1;
    int start = 0;  // the bit at which the current level's table starts
};

// Opens the tables a code of `length` bits needs below the current level: the root first, then
// sub-tables, each linked from its parent's entry. False when memory ran out.
bool openTables(Placement& place, const LengthCounts& lengths, int rootBits, int length,
                uint32_t unplaced, uint32_t code) {
    while (length > place.start + rootBits) {
        ++place.level;
        place.start += rootBits;
        int start = place.start;
        int cap = rootBits < lengths.longest - start ? rootBits : lengths.longest - start;
        int width = place.level == 0 ? rootBits
                                     : subTableWidth(length, start, cap, unplaced, lengths.counts);
        HuffTable* table = place.chain.allocate(width);
        if (table == nullptr) return false;
        if (place.level > 0) {
            // The code's bits above `start` are all zero: it is the sub-table's first.
            HuffEntry& link =
                place.tables[place.level - 1][(code >> (start - rootBits)) &
                                              lowBitMask(static_cast<uint32_t>(rootBits))];
            link.op = static_cast<uint8_t>(kHuffOpLinkBase + width);
            link.bits = static_cast<uint8_t>(rootBits);
            link.next = table;
        }
        place.tables[place.level] = table;
        place.widths[place.level] = width;
        place.selectors[place.level] = code & lowBitMask(static_cast<uint32_t>(start));
    }
    return true;
}

}  // namespace

int buildHuffTables(const uint8_t* codeLengths, int symbolCount, int simpleCount,
                    const uint16_t* baseTable, const uint16_t* extraTable, int tableEntries,
                    HuffTable*& root, int& lookupBits) {
    root = nullptr;
    // Outside what any caller passes; refused rather than trusted, since no table could hold it.
    if (symbolCount < 0 || symbolCount > kHuffMaxSymbols) return kHuffBadLengths;
    LengthCounts lengths;
    if (!countCodeLengths(codeLengths, symbolCount, lengths)) return kHuffBadLengths;
    const int shortest = lengths.shortest;
    const int longest = lengths.longest;
    if (longest == 0) {
        lookupBits = 0;
        return kHuffComplete;
    }
    int rootBits = lookupBits < shortest ? shortest : lookupBits;
    if (rootBits > longest) rootBits = longest;
    lookupBits = rootBits;

    const SymbolMeaning meaning{simpleCount, baseTable, extraTable, tableEntries};
    uint16_t ordered[kHuffMaxSymbols];
    int ordering = orderSymbols(codeLengths, symbolCount, meaning, lengths.counts, ordered);
    if (ordering < 0) return kHuffBadLengths;
    auto realCodes = static_cast<uint32_t>(ordering);
    // The missing codes become dummies of the longest length, placed after every real code.
    lengths.counts[longest] += lengths.missingCodes;

    Placement place;
    place.start = -rootBits;
    uint32_t code = 0;
    uint32_t placed = 0;
    for (int length = shortest; length <= longest; ++length) {
        for (uint32_t unplaced = lengths.counts[length]; unplaced > 0; --unplaced) {
            if (!openTables(place, lengths, rootBits, length, unplaced, code)) {
                place.chain.release();
                return kHuffNoMemory;
            }
            HuffEntry entry = entryFor(placed, ordered, realCodes, meaning);
            entry.bits = static_cast<uint8_t>(length - place.start);
            ++placed;
            // Every slot whose low bits are the code's gets its entry.
            uint32_t size = uint32_t{1} << place.widths[place.level];
            uint32_t step = uint32_t{1} << (length - place.start);
            for (uint32_t index = code >> place.start; index < size; index += step) {
                place.tables[place.level][index] = entry;
            }
            code = nextReversedCode(code, length);
            while (place.level > 0 && (code & lowBitMask(static_cast<uint32_t>(place.start))) !=
                                          place.selectors[place.level]) {
                --place.level;
                place.start -= rootBits;
            }
        }
    }
    root = place.chain.root();
    return lengths.missingCodes != 0 && longest != 1 ? kHuffIncomplete : kHuffComplete;
}

void freeHuffTables(HuffTable* root) {
    if (root == nullptr) return;
    HuffEntry* block = root - 1;
    while (block != nullptr) {
        HuffEntry* following = block->next;
        freeBlock(block);
        block = following;
    }
}

}  // namespace zipsalvage
