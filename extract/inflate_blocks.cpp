// Fixed and dynamic Huffman blocks of inflate (RFC 1951 3.2.6, 3.2.7): the decoding tables of
// each block are built here, then decodeSymbols runs the block's data.
#include <array>
#include <utility>

#include "core/memory_blocks.h"
#include "extract/inflate_internal.h"
#include "extract/inflate_tables.h"

namespace zipsalvage {
namespace {

constexpr int kCodeLengthListEntries = kMaxLitLenCodes + kMaxDistanceCodes;  // 320

constexpr std::array<uint8_t, kDeflate64FixedDistanceCodes> makeFixedDistanceLengths() {
    std::array<uint8_t, kDeflate64FixedDistanceCodes> lengths{};
    lengths.fill(kFixedDistanceLength);
    return lengths;
}
// Deflate uses the first kFixedDistanceCodes of them.
constexpr std::array<uint8_t, kDeflate64FixedDistanceCodes> kFixedDistanceLengths =
    makeFixedDistanceLengths();

int buildLitLenTable(const InflateFormat& format, const uint8_t* lengths, int count,
                     DecodingTables& tables) {
    int result = buildHuffTables(lengths, count, kFirstLengthSymbol, format.lengthBase,
                                 format.lengthExtraBits,
                                 static_cast<int>(kInflateLengthBase.size()), tables);
    // An incomplete literal/length code, or none at all, is damage.
    if (result == kHuffComplete && tables.root == nullptr) return kBlockBadData;
    return result;
}

// An incomplete distance code is accepted (a single used distance is common), and so is none.
int buildDistanceTable(const InflateFormat& format, const uint8_t* lengths, int count,
                       DecodingTables& tables) {
    int result = buildHuffTables(lengths, count, 0, format.distanceBase, format.distanceExtraBits,
                                 static_cast<int>(kInflateDistanceBase.size()), tables);
    return result == kHuffIncomplete ? kHuffComplete : result;
}

// Reads HLIT + HDIST code lengths with the code-length code (RFC 1951 3.2.7); repeats may run
// from the literal/length lengths into the distance lengths, but not past their end.
int readCodeLengths(InflateWork& work, const DecodingTables& codeLengthCode, uint8_t* lengths,
                    int total) {
    ExtractContext& context = *work.state.context;
    InflateBits bits = loadBits(work);
    const HuffTable* table = codeLengthCode.root.get();
    auto lookupBits = static_cast<uint32_t>(codeLengthCode.lookupBits);
    int read = 0;
    uint8_t previous = 0;
    while (read < total) {
        needBits(bits, context, lookupBits);
        // Lengths of at most 7 bits under a root of 7: the table has a single level.
        const HuffEntry& entry = table[peekBits(bits, lookupBits)];
        dropBits(bits, entry.bits);
        if (entry.op == kHuffOpInvalid) return kBlockBadData;
        uint16_t symbol = entry.value;
        if (symbol < kRepeatPrevious) {
            lengths[read++] = static_cast<uint8_t>(symbol);
            previous = static_cast<uint8_t>(symbol);
            continue;
        }
        uint32_t repeat = 0;
        uint8_t repeated = 0;
        if (symbol == kRepeatPrevious) {
            needBits(bits, context, 2);
            repeat = 3 + peekBits(bits, 2);
            dropBits(bits, 2);
            repeated = previous;  // 0 when no length was read yet
        } else if (symbol == kRepeatZeroShort) {
            needBits(bits, context, 3);
            repeat = 3 + peekBits(bits, 3);
            dropBits(bits, 3);
        } else {
            needBits(bits, context, 7);
            repeat = 11 + peekBits(bits, 7);
            dropBits(bits, 7);
        }
        if (read + static_cast<int>(repeat) > total) return kBlockBadData;
        for (; repeat > 0; --repeat) lengths[read++] = repeated;
        previous = repeated;
    }
    storeBits(work, bits);
    return kBlockOk;
}

}  // namespace

int decodeFixedBlock(InflateWork& work) {
    if (work.fixedLitLen.root == nullptr) {
        DecodingTables litLen;
        litLen.lookupBits = kFixedLitLenLookupBits;
        int result = buildLitLenTable(*work.format, kFixedLitLenLengths.data(),
                                      kFixedLiteralSymbols, litLen);
        if (result != kHuffComplete) return result;
        DecodingTables distance;
        distance.lookupBits = kFixedDistanceLookupBits;
        result = buildDistanceTable(*work.format, kFixedDistanceLengths.data(),
                                    work.format->fixedDistanceCodes, distance);
        if (result != kHuffComplete) return result;
        // Handed to the work area, which frees them when the stream ends.
        work.fixedLitLen = std::move(litLen);
        work.fixedDistance = std::move(distance);
    }
    return decodeSymbols(work, work.fixedLitLen.root.get(), work.fixedLitLen.lookupBits,
                         work.fixedDistance.root.get(), work.fixedDistance.lookupBits);
}

int decodeDynamicBlock(InflateWork& work) {
    ExtractContext& context = *work.state.context;
    InflateBits bits = loadBits(work);
    // HLIT 286 to 288 and HDIST 31 and 32 are taken as they come: the extra symbols get
    // lengths, and only using a literal/length symbol 286 or 287 fails.
    needBits(bits, context, 5);
    int litLenCount = kMinLitLenCodes + static_cast<int>(peekBits(bits, 5));
    dropBits(bits, 5);
    needBits(bits, context, 5);
    int distanceCount = kMinDistanceCodes + static_cast<int>(peekBits(bits, 5));
    dropBits(bits, 5);
    needBits(bits, context, 4);
    int codeLengthCount = kMinCodeLengthCodes + static_cast<int>(peekBits(bits, 4));
    dropBits(bits, 4);

    // The code lengths of this block.
    OwnedBlock<uint8_t[]> list = newBlockArray<uint8_t>(kCodeLengthListEntries);
    if (!list) return kBlockNoMemory;
    uint8_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (int index = 0; index < codeLengthCount; ++index) {
        needBits(bits, context, kCodeLengthBits);
        codeLengthLengths[kCodeLengthOrder[index]] =
            static_cast<uint8_t>(peekBits(bits, kCodeLengthBits));
        dropBits(bits, kCodeLengthBits);
    }
    storeBits(work, bits);

    int result = kBlockOk;
    {
        DecodingTables codeLengthCode;
        codeLengthCode.lookupBits = kCodeLengthLookupBits;
        result = buildHuffTables(codeLengthLengths, kCodeLengthSymbols, kCodeLengthSymbols, nullptr,
                                 nullptr, 0, codeLengthCode);
        if (result != kHuffComplete) return result;
        if (codeLengthCode.root == nullptr) return kBlockBadData;
        result = readCodeLengths(work, codeLengthCode, list.get(), litLenCount + distanceCount);
        if (result != kBlockOk) return result;
    }

    DecodingTables litLen;
    litLen.lookupBits = kDynamicLitLenLookupBits;
    result = buildLitLenTable(*work.format, list.get(), litLenCount, litLen);
    if (result != kHuffComplete) return result;
    DecodingTables distance;
    distance.lookupBits = kDynamicDistanceLookupBits;
    result = buildDistanceTable(*work.format, list.get() + litLenCount, distanceCount, distance);
    if (result != kHuffComplete) return result;
    return decodeSymbols(work, litLen.root.get(), litLen.lookupBits, distance.root.get(),
                         distance.lookupBits);
}

}  // namespace zipsalvage
