// The strict, resumable deflate walk (RFC 1951 3.2). Bits are read straight from the input at a
// bit position, so a point of the walk is a handful of numbers: the position, the output size,
// the block and its phase. The output is kept whole, for matches and for the maximal-match rule.
#include "extract/deflate_probe.h"

#include <cstring>

#include "core/deflate_format.h"
#include "core/little_endian.h"
#include "extract/inflate_tables.h"

namespace zipsalvage {
namespace {

enum Phase : uint8_t { kBetweenBlocks, kInStored, kInHuffman, kStreamEnded };

// Distance codes 30 and 31 mean nothing in deflate (RFC 1951 3.2.5): unlike inflate's tables,
// the probe's make them invalid.
constexpr BuilderTable makeProbeDistanceExtraBits() {
    BuilderTable extra = kInflateDistanceExtraBits;
    extra[30] = extra[31] = kInvalidExtraBits;
    return extra;
}
constexpr BuilderTable kProbeDistanceExtraBits = makeProbeDistanceExtraBits();

constexpr int kFixedDistanceCodesAll = 32;
constexpr int kMaxLitLenCodesUsed = 286;   // zlib's inflate refuses more (RFC 1951 3.2.7)
constexpr int kMaxDistanceCodesUsed = 30;  // likewise

// At least 57 bits from `bitPos` on; the input has kProbeInputPadding bytes after its end.
inline uint64_t peekWord(const uint8_t* input, uint64_t bitPos) {
    return loadLE64(input + (bitPos >> 3)) >> (bitPos & 7);
}

inline uint32_t takeBits(const uint8_t* input, uint64_t& bitPos, uint32_t count) {
    auto value = static_cast<uint32_t>(peekWord(input, bitPos) & lowBitMask(count));
    bitPos += count;
    return value;
}

// The leaf for the code at `bitPos` (its bits taken), or nullptr for an invalid code.
inline const HuffEntry* decodeCode(const HuffTable* root, uint32_t rootBits, const uint8_t* input,
                                   uint64_t& bitPos) {
    uint64_t word = peekWord(input, bitPos);
    const HuffEntry* entry = &root[word & lowBitMask(rootBits)];
    while (entry->op > kHuffOpLinkBase) {
        if (entry->op == kHuffOpInvalid) return nullptr;
        word >>= entry->bits;
        bitPos += entry->bits;
        entry = &entry->next[word & lowBitMask(entry->op - kHuffOpLinkBase)];
    }
    if (entry->op == kHuffOpInvalid) return nullptr;
    bitPos += entry->bits;
    return entry;
}

ProbeStop broken(DeflateProbe& probe, uint64_t atBit) {
    probe.brokenAtBit = atBit;
    probe.brokenByCount = false;
    return ProbeStop::kBroken;
}

// What the symbol buffers of zlib (16384 entries, or 32768 at memory level 9) and Info-ZIP
// (checked for an early end every 4096 symbols, 32768 entries) hold when a block is put out.
constexpr bool fullBufferCount(uint32_t symbols) {
    return symbols == 16383 || symbols == 32767 || (symbols != 0 && symbols % 4096 == 0);
}

// zlib's inflate takes an incomplete code only when it is a single one-bit code, which the
// table builder reports as complete; anything else incomplete is refused here.
int buildStrict(const uint8_t* lengths, int count, int simpleCount, const uint16_t* base,
                const uint16_t* extra, DecodingTables& tables, int lookupBits) {
    tables.lookupBits = lookupBits;
    return buildHuffTables(lengths, count, simpleCount, base, extra,
                           static_cast<int>(kInflateLengthBase.size()), tables);
}

ProbeStop buildFixedTables(DeflateProbe& probe) {
    if (probe.fixedTables.litLen.root != nullptr) return ProbeStop::kPaused;
    uint8_t distanceLengths[kFixedDistanceCodesAll];
    std::memset(distanceLengths, kFixedDistanceLength, sizeof distanceLengths);
    ProbeBlock fixed;
    int result = buildStrict(kFixedLitLenLengths.data(), kFixedLiteralSymbols, kFirstLengthSymbol,
                             kInflateLengthBase.data(), kInflateLengthExtraBits.data(),
                             fixed.litLen, kFixedLitLenLookupBits);
    if (result == kHuffComplete) {
        result =
            buildStrict(distanceLengths, kFixedDistanceCodesAll, 0, kInflateDistanceBase.data(),
                        kProbeDistanceExtraBits.data(), fixed.distance, kFixedDistanceLookupBits);
    }
    if (result != kHuffComplete) return ProbeStop::kNoMemory;
    probe.fixedTables = std::move(fixed);
    return ProbeStop::kPaused;
}

// Reads a dynamic block's code lengths (RFC 1951 3.2.7) and builds its tables into `block`.
ProbeStop readDynamicHeader(DeflateProbe& probe, ProbeBlock& block) {
    const uint8_t* input = probe.input;
    uint64_t& bitPos = probe.spot.bitPos;
    const uint64_t inputBits = uint64_t{probe.inputSize} * 8;
    int litLenCount = kMinLitLenCodes + static_cast<int>(takeBits(input, bitPos, 5));
    int distanceCount = kMinDistanceCodes + static_cast<int>(takeBits(input, bitPos, 5));
    int codeLengthCount = kMinCodeLengthCodes + static_cast<int>(takeBits(input, bitPos, 4));
    if (litLenCount > kMaxLitLenCodesUsed || distanceCount > kMaxDistanceCodesUsed) {
        return broken(probe, bitPos);
    }
    uint8_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (int index = 0; index < codeLengthCount; ++index) {
        codeLengthLengths[kCodeLengthOrder[index]] =
            static_cast<uint8_t>(takeBits(input, bitPos, kCodeLengthBits));
    }
    if (bitPos > inputBits) return broken(probe, inputBits);
    DecodingTables codeLengthCode;
    int result = buildStrict(codeLengthLengths, kCodeLengthSymbols, kCodeLengthSymbols, nullptr,
                             nullptr, codeLengthCode, kCodeLengthLookupBits);
    if (result == kHuffNoMemory) return ProbeStop::kNoMemory;
    if (result != kHuffComplete || codeLengthCode.root == nullptr) return broken(probe, bitPos);

    uint8_t lengths[kMaxLitLenCodes + kMaxDistanceCodes] = {};
    const int total = litLenCount + distanceCount;
    const auto rootBits = static_cast<uint32_t>(codeLengthCode.lookupBits);
    int read = 0;
    while (read < total) {
        const HuffEntry* entry = decodeCode(codeLengthCode.root.get(), rootBits, input, bitPos);
        if (entry == nullptr) return broken(probe, bitPos);
        int symbol = entry->value;
        if (symbol < kRepeatPrevious) {
            lengths[read++] = static_cast<uint8_t>(symbol);
        } else {
            uint8_t repeated = 0;
            int repeat = 0;
            if (symbol == kRepeatPrevious) {
                if (read == 0) return broken(probe, bitPos);
                repeated = lengths[read - 1];
                repeat = 3 + static_cast<int>(takeBits(input, bitPos, 2));
            } else if (symbol == kRepeatZeroShort) {
                repeat = 3 + static_cast<int>(takeBits(input, bitPos, 3));
            } else {
                repeat = 11 + static_cast<int>(takeBits(input, bitPos, 7));
            }
            if (read + repeat > total) return broken(probe, bitPos);
            std::memset(lengths + read, repeated, static_cast<size_t>(repeat));
            read += repeat;
        }
        if (bitPos > inputBits) return broken(probe, inputBits);
    }
    // A block that cannot end is no block (zlib: "missing end-of-block code").
    if (lengths[kEndOfBlock] == 0) return broken(probe, bitPos);
    result = buildStrict(lengths, litLenCount, kFirstLengthSymbol, kInflateLengthBase.data(),
                         kInflateLengthExtraBits.data(), block.litLen, kDynamicLitLenLookupBits);
    if (result == kHuffComplete) {
        result =
            buildStrict(lengths + litLenCount, distanceCount, 0, kInflateDistanceBase.data(),
                        kProbeDistanceExtraBits.data(), block.distance, kDynamicDistanceLookupBits);
    }
    if (result == kHuffNoMemory) return ProbeStop::kNoMemory;
    if (result != kHuffComplete) return broken(probe, bitPos);
    return ProbeStop::kPaused;
}

// RFC 1951 3.2.3: BFINAL, BTYPE, then what the block type reads before its data.
ProbeStop readBlockHeader(DeflateProbe& probe) {
    ProbeSpot& spot = probe.spot;
    const uint64_t inputBits = uint64_t{probe.inputSize} * 8;
    spot.blockStart = spot.bitPos;
    spot.blockSymbols = 0;
    spot.finalBlock = takeBits(probe.input, spot.bitPos, 1) != 0;
    uint32_t type = takeBits(probe.input, spot.bitPos, 2);
    if (type == kBlockStored) {
        spot.bitPos = (spot.bitPos + 7) & ~uint64_t{7};
        uint32_t length = takeBits(probe.input, spot.bitPos, 16);
        uint32_t complement = takeBits(probe.input, spot.bitPos, 16);
        if (spot.bitPos > inputBits) return broken(probe, inputBits);
        if (length != (~complement & kMaxStoredLength)) return broken(probe, spot.bitPos);
        spot.storedLeft = length;
        spot.storedInputAt = spot.bitPos / 8;
        spot.storedOutputAt = spot.outputSize;
        spot.storedLength = length;
        spot.phase = kInStored;
        return ProbeStop::kPaused;
    }
    if (type == kBlockReserved) return broken(probe, spot.bitPos);
    ProbeBlock block;
    if (type == kBlockFixed) {
        if (buildFixedTables(probe) == ProbeStop::kNoMemory) return ProbeStop::kNoMemory;
        block.fixedCode = true;
    } else {
        ProbeStop header = readDynamicHeader(probe, block);
        if (header != ProbeStop::kPaused) return header;
    }
    probe.blocks.resize(spot.blockCount);
    probe.blocks.push_back(std::move(block));
    spot.blockCount = static_cast<uint32_t>(probe.blocks.size());
    spot.phase = kInHuffman;
    return ProbeStop::kPaused;
}

// Copies stored bytes until the block ends or the walk reaches `stopBit`.
ProbeStop copyStored(DeflateProbe& probe, uint64_t stopBit) {
    ProbeSpot& spot = probe.spot;
    uint64_t byteAt = spot.bitPos / 8;
    uint64_t available = probe.inputSize > byteAt ? probe.inputSize - byteAt : 0;
    uint64_t count = spot.storedLeft;
    if (stopBit > spot.bitPos && (stopBit - spot.bitPos + 7) / 8 < count) {
        count = (stopBit - spot.bitPos + 7) / 8;
    }
    if (count > available) return broken(probe, uint64_t{probe.inputSize} * 8);
    if (spot.outputSize + count > probe.outputLimit) return broken(probe, spot.bitPos);
    uint8_t* out = probe.output.data();
    if (count > 0 && spot.matchDistance != 0 &&
        out[spot.outputSize - spot.matchDistance] == probe.input[byteAt]) {
        return broken(probe, spot.bitPos + 8);
    }
    std::memcpy(out + spot.outputSize, probe.input + byteAt, static_cast<size_t>(count));
    if (count > 0) spot.matchDistance = 0;
    spot.outputSize += count;
    spot.bitPos += count * 8;
    spot.storedLeft -= static_cast<uint32_t>(count);
    probe.work += count;
    if (spot.storedLeft == 0) spot.phase = spot.finalBlock ? kStreamEnded : kBetweenBlocks;
    return ProbeStop::kPaused;
}

// Decodes the current Huffman block's symbols (RFC 1951 3.2.5) until its end or `stopBit`.
// The walk's position and output live in locals for the loop and go back at every exit.
ProbeStop decodeHuffman(DeflateProbe& probe, uint64_t stopBit) {
    ProbeSpot& spot = probe.spot;
    const ProbeBlock& block = probe.blocks[spot.blockCount - 1];
    const ProbeBlock& tables = block.fixedCode ? probe.fixedTables : block;
    const HuffTable* litLen = tables.litLen.root.get();
    const HuffTable* distanceTable = tables.distance.root.get();
    const auto litLenBits = static_cast<uint32_t>(tables.litLen.lookupBits);
    const auto distanceBits = static_cast<uint32_t>(tables.distance.lookupBits);
    const bool maximal = probe.rules == ProbeRules::kZlibStyle;
    const uint8_t* input = probe.input;
    const uint64_t inputBits = uint64_t{probe.inputSize} * 8;
    const uint64_t limit = probe.outputLimit;
    uint8_t* out = probe.output.data();
    uint64_t bitPos = spot.bitPos;
    uint64_t size = spot.outputSize;
    uint32_t lastDistance = spot.matchDistance;
    uint32_t symbols = spot.blockSymbols;
    const uint64_t startSize = size;
    ProbeStop stop = ProbeStop::kPaused;
    while (bitPos < stopBit) {
        const HuffEntry* entry = decodeCode(litLen, litLenBits, input, bitPos);
        if (entry == nullptr || bitPos > inputBits) {
            stop = broken(probe, bitPos > inputBits ? inputBits : bitPos);
            break;
        }
        if (entry->op == kHuffOpLiteral) {
            auto literal = static_cast<uint8_t>(entry->value);
            if (size >= limit || (lastDistance != 0 && out[size - lastDistance] == literal)) {
                stop = broken(probe, bitPos);
                break;
            }
            out[size++] = literal;
            lastDistance = 0;
            ++symbols;
            continue;
        }
        if (entry->op == kHuffOpPlainHigh) {  // end of block: 256 is the only such symbol
            if (maximal && !spot.finalBlock && !fullBufferCount(symbols)) {
                stop = broken(probe, bitPos);
                probe.brokenByCount = true;
                probe.brokenBlockStart = spot.blockStart;
                break;
            }
            spot.phase = spot.finalBlock ? kStreamEnded : kBetweenBlocks;
            break;
        }
        uint32_t length = entry->value + takeBits(input, bitPos, entry->op);
        if (distanceTable == nullptr) {
            stop = broken(probe, bitPos);
            break;
        }
        entry = decodeCode(distanceTable, distanceBits, input, bitPos);
        if (entry == nullptr) {
            stop = broken(probe, bitPos);
            break;
        }
        uint32_t distance = entry->value + takeBits(input, bitPos, entry->op);
        if (bitPos > inputBits || distance > size || size + length > limit ||
            (lastDistance != 0 && out[size - lastDistance] == out[size - distance])) {
            stop = broken(probe, bitPos > inputBits ? inputBits : bitPos);
            break;
        }
        uint8_t* to = out + size;
        const uint8_t* from = to - distance;
        for (uint32_t index = 0; index < length; ++index) to[index] = from[index];
        size += length;
        lastDistance = maximal && length < kMaxMatch ? distance : 0;
        ++symbols;
    }
    probe.work += size - startSize;
    if (stop == ProbeStop::kPaused) {
        spot.bitPos = bitPos;
        spot.outputSize = size;
        spot.matchDistance = lastDistance;
        spot.blockSymbols = symbols;
    }
    return stop;
}

}  // namespace

void startProbe(DeflateProbe& probe, const uint8_t* input, size_t inputSize, ProbeRules rules,
                uint64_t outputLimit) {
    probe.input = input;
    probe.inputSize = inputSize;
    probe.rules = rules;
    probe.outputLimit = outputLimit;
    // Room for the longest match past the limit, which is refused before it is copied. The
    // bytes from an earlier walk may stay: nothing is read before it is written.
    if (probe.output.size() < outputLimit + kMaxMatch) {
        probe.output.resize(static_cast<size_t>(outputLimit + kMaxMatch));
    }
    probe.blocks.clear();
    probe.spot = ProbeSpot{};
    probe.brokenAtBit = 0;
    probe.marks.assign(1, probe.spot);
    probe.work = 0;
}

ProbeStop runProbe(DeflateProbe& probe, uint64_t pauseAtBit) {
    ProbeSpot& spot = probe.spot;
    const uint64_t inputBits = uint64_t{probe.inputSize} * 8;
    for (;;) {
        if (spot.phase == kStreamEnded) return ProbeStop::kEnded;
        if (spot.bitPos > inputBits) return broken(probe, inputBits);
        if (spot.bitPos >= pauseAtBit) return ProbeStop::kPaused;
        if (spot.bitPos >= probe.marks.back().bitPos + kProbeMarkSpacing * 8) {
            probe.marks.push_back(spot);
        }
        uint64_t nextMark = probe.marks.back().bitPos + kProbeMarkSpacing * 8;
        uint64_t stopBit = pauseAtBit < nextMark ? pauseAtBit : nextMark;
        uint64_t before = spot.bitPos;
        ProbeStop step = ProbeStop::kPaused;
        switch (spot.phase) {
            case kBetweenBlocks:
                step = readBlockHeader(probe);
                break;
            case kInStored:
                step = copyStored(probe, stopBit);
                break;
            default:
                step = decodeHuffman(probe, stopBit);
                break;
        }
        probe.work += (spot.bitPos - before) / 8;
        if (step != ProbeStop::kPaused) return step;
    }
}

void rewindProbe(DeflateProbe& probe, uint64_t byteOffset) {
    size_t index = probe.marks.size();
    while (index > 1 && (probe.marks[index - 1].bitPos + 7) / 8 > byteOffset) --index;
    probe.marks.resize(index);
    probe.spot = probe.marks.back();
    probe.blocks.resize(probe.spot.blockCount);
}

ProbeStop resumeProbe(DeflateProbe& probe, const ProbeSpot& at, const uint8_t* outputBefore) {
    std::memcpy(probe.output.data(), outputBefore, static_cast<size_t>(at.outputSize));
    probe.blocks.clear();
    ProbeSpot resumed = at;
    resumed.blockCount = 0;
    if (at.phase == kInHuffman) {
        // The block's tables, from its header again.
        probe.spot = ProbeSpot{};
        probe.spot.bitPos = at.blockStart;
        ProbeStop header = readBlockHeader(probe);
        if (header != ProbeStop::kPaused) return header;
        resumed.blockCount = 1;
    }
    probe.spot = resumed;
    probe.marks.assign(1, resumed);
    return ProbeStop::kPaused;
}

}  // namespace zipsalvage
