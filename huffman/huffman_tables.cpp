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

}  // namespace

int buildHuffTables(const uint8_t* codeLengths, int symbolCount, int simpleCount,
                    const uint16_t* baseTable, const uint16_t* extraTable, int tableEntries,
                    HuffTable*& root, int& lookupBits) {
    root = nullptr;
    // Outside what any caller passes; refused rather than trusted, since no table could hold it.
    if (symbolCount < 0 || symbolCount > kHuffMaxSymbols) return kHuffBadLengths;

    uint32_t counts[kMaxLevels] = {};
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        if (codeLengths[symbol] > kHuffMaxCodeBits) return kHuffBadLengths;
        ++counts[codeLengths[symbol]];
    }
    counts[0] = 0;
    int shortest = 0;
    int longest = 0;
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        if (counts[length] == 0) continue;
        if (shortest == 0) shortest = length;
        longest = length;
    }
    if (longest == 0) {
        lookupBits = 0;
        return kHuffComplete;
    }
    int rootBits = lookupBits < shortest ? shortest : lookupBits;
    if (rootBits > longest) rootBits = longest;
    lookupBits = rootBits;

    // Kraft check from the shortest length down: what is left at the longest is unused space.
    int32_t freeCodes = int32_t{1} << shortest;
    for (int length = shortest; length < longest; ++length) {
        freeCodes -= static_cast<int32_t>(counts[length]);
        if (freeCodes < 0) return kHuffBadLengths;
        freeCodes *= 2;
    }
    freeCodes -= static_cast<int32_t>(counts[longest]);
    if (freeCodes < 0) return kHuffBadLengths;
    auto missingCodes = static_cast<uint32_t>(freeCodes);

    uint16_t ordered[kHuffMaxSymbols];
    uint32_t offsets[kMaxLevels + 1] = {};
    for (int length = 1; length <= kHuffMaxCodeBits; ++length) {
        offsets[length + 1] = offsets[length] + counts[length];
    }
    for (int symbol = 0; symbol < symbolCount; ++symbol) {
        int length = codeLengths[symbol];
        if (length == 0) continue;
        if (symbol >= simpleCount && (baseTable == nullptr || extraTable == nullptr ||
                                      symbol - simpleCount >= tableEntries)) {
            return kHuffBadLengths;
        }
        ordered[offsets[length]++] = static_cast<uint16_t>(symbol);
    }
    uint32_t realCodes = offsets[kHuffMaxCodeBits + 1];
    // The missing codes become dummies of the longest length, placed after every real code.
    counts[longest] += missingCodes;

    TableChain chain;
    HuffTable* tables[kMaxLevels] = {};
    int widths[kMaxLevels] = {};
    uint32_t selectors[kMaxLevels] = {};  // low `start` bits of the code that opened each table
    int level = -1;
    int start = -rootBits;  // the bit at which the current level's table starts
    uint32_t code = 0;
    uint32_t placed = 0;
    for (int length = shortest; length <= longest; ++length) {
        for (uint32_t unplaced = counts[length]; unplaced > 0; --unplaced) {
            while (length > start + rootBits) {
                ++level;
                start += rootBits;
                int cap = rootBits < longest - start ? rootBits : longest - start;
                int width =
                    level == 0 ? rootBits : subTableWidth(length, start, cap, unplaced, counts);
                HuffTable* table = chain.allocate(width);
                if (table == nullptr) {
                    chain.release();
                    return kHuffNoMemory;
                }
                if (level > 0) {
                    // The code's bits above `start` are all zero: it is the sub-table's first.
                    HuffEntry& link =
                        tables[level - 1][(code >> (start - rootBits)) &
                                          lowBitMask(static_cast<uint32_t>(rootBits))];
                    link.op = static_cast<uint8_t>(kHuffOpLinkBase + width);
                    link.bits = static_cast<uint8_t>(rootBits);
                    link.next = table;
                }
                tables[level] = table;
                widths[level] = width;
                selectors[level] = code & lowBitMask(static_cast<uint32_t>(start));
            }

            HuffEntry entry{};
            entry.bits = static_cast<uint8_t>(length - start);
            if (placed >= realCodes) {
                entry.op = kHuffOpInvalid;
                entry.value = 0;
            } else if (int symbol = ordered[placed]; symbol < simpleCount) {
                entry.op = symbol < 256 ? kHuffOpLiteral : kHuffOpPlainHigh;
                entry.value = static_cast<uint16_t>(symbol);
            } else {
                entry.op = static_cast<uint8_t>(extraTable[symbol - simpleCount] & 0xFF);
                entry.value = baseTable[symbol - simpleCount];
            }
            ++placed;

            uint32_t size = uint32_t{1} << widths[level];
            uint32_t step = uint32_t{1} << (length - start);
            for (uint32_t index = code >> start; index < size; index += step) {
                tables[level][index] = entry;
            }

            code = nextReversedCode(code, length);
            while (level > 0 &&
                   (code & lowBitMask(static_cast<uint32_t>(start))) != selectors[level]) {
                --level;
                start -= rootBits;
            }
        }
    }

    root = chain.root();
    return missingCodes != 0 && longest != 1 ? kHuffIncomplete : kHuffComplete;
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
