// The in-memory deflate decoder of the search behind damage (RFC 1951 3.2.3 to 3.2.7). It is
// strict where the streaming inflater is lenient (distance symbols 30 and 31, distances before
// the first byte stay unknown rather than zeros): every check it makes is one more chance to
// see that a guessed start is wrong.
#include "extract/inflate_span.h"

#include <algorithm>
#include <cstring>

#include "core/deflate_format.h"
#include "extract/inflate_nearest.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kDeflate64LongLengthBits = 16;  // symbol 285: 3 + 16 extra bits
constexpr uint64_t kDeflate64Window = 65536;
constexpr uint16_t kNoCode = 0;

// The eight bytes from `byte` on where fewer than eight are left, zeros past the data.
[[gnu::noinline]] uint64_t tailWord(const SpanDecoder& decoder, uint64_t byte) {
    uint64_t word = 0;
    for (uint64_t index = 0; index < 8 && byte + index < decoder.dataBytes; ++index) {
        word |= uint64_t{decoder.data[byte + index]} << (8 * index);
    }
    return word;
}

// The next `count` (at most 32) bits at the decoder's position, zeros past the data. Read for
// every code, length and distance a trial decodes: kept inline, the rare tail out of line.
inline uint32_t peekSpan(const SpanDecoder& decoder, uint32_t count) {
    uint64_t byte = decoder.bit >> 3;
    uint32_t shift = static_cast<uint32_t>(decoder.bit & 7);
    uint64_t word = 0;
    if (byte + 8 <= decoder.dataBytes) [[likely]] {
        std::memcpy(&word, decoder.data + byte, 8);  // little-endian hosts only (as inflate)
    } else {
        word = tailWord(decoder, byte);
    }
    word >>= shift;
    return count >= 32 ? static_cast<uint32_t>(word)
                       : static_cast<uint32_t>(word & ((uint64_t{1} << count) - 1));
}

bool haveBits(const SpanDecoder& decoder, uint64_t count) {
    return decoder.bit + count <= decoder.dataBytes * 8;
}

// One Huffman symbol; -1 for no code, -2 when the data ends inside it.
int decodeSymbol(SpanDecoder& decoder, const SpanCode& code) {
    uint32_t entry = code.table[peekSpan(decoder, code.widthBits)];
    if (entry == kNoCode) return -1;
    uint32_t length = entry & 15;
    if (!haveBits(decoder, length)) return -2;
    decoder.bit += length;
    return static_cast<int>(entry >> 4);
}

uint32_t reverseBits(uint32_t value, uint32_t count) {
    uint32_t reversed = 0;
    for (uint32_t index = 0; index < count; ++index)
        reversed = reversed << 1 | ((value >> index) & 1);
    return reversed;
}

// RFC 1951 3.2.7: HLIT, HDIST, HCLEN, the code-length code and the lengths it sends.
SpanStop readDynamicHeader(SpanDecoder& decoder) {
    if (!haveBits(decoder, 14)) return SpanStop::kRanOut;
    const int litLenCount = static_cast<int>(peekSpan(decoder, 5)) + kMinLitLenCodes;
    const int distanceCount = static_cast<int>(peekSpan(decoder, 10) >> 5) + kMinDistanceCodes;
    const int lengthCodes = static_cast<int>(peekSpan(decoder, 14) >> 10) + kMinCodeLengthCodes;
    decoder.bit += 14;
    // Lengths 286 and 287 and distances 30 and 31 are never needed: a header sending them is
    // not one this decoder believes.
    if (litLenCount > kLiteralSymbols || distanceCount > kDistanceSymbols + 2) {
        return SpanStop::kBadData;
    }
    uint8_t codeLengths[kCodeLengthSymbols] = {};
    if (!haveBits(decoder, uint64_t{3} * static_cast<uint64_t>(lengthCodes)))
        return SpanStop::kRanOut;
    for (int index = 0; index < lengthCodes; ++index) {
        codeLengths[kCodeLengthOrder[static_cast<size_t>(index)]] =
            static_cast<uint8_t>(peekSpan(decoder, 3));
        decoder.bit += 3;
    }
    SpanCode lengthCode;
    if (!buildSpanCode(codeLengths, kCodeLengthSymbols, true, lengthCode))
        return SpanStop::kBadData;
    uint8_t lengths[kMaxLitLenCodes + kMaxDistanceCodes] = {};
    const int total = litLenCount + distanceCount;
    int filled = 0;
    while (filled < total) {
        int symbol = decodeSymbol(decoder, lengthCode);
        if (symbol == -2) return SpanStop::kRanOut;
        if (symbol < 0) return SpanStop::kBadData;
        if (symbol < kRepeatPrevious) {
            lengths[filled++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint32_t extraBits = kCodeLengthExtraBits[static_cast<size_t>(symbol)];
        if (!haveBits(decoder, extraBits)) return SpanStop::kRanOut;
        int repeat = static_cast<int>(peekSpan(decoder, extraBits));
        decoder.bit += extraBits;
        uint8_t value = 0;
        if (symbol == kRepeatPrevious) {
            if (filled == 0) return SpanStop::kBadData;
            value = lengths[filled - 1];
            repeat += 3;
        } else {
            repeat += symbol == kRepeatZeroShort ? 3 : 11;
        }
        if (filled + repeat > total) return SpanStop::kBadData;
        std::fill(lengths + filled, lengths + filled + repeat, value);
        filled += repeat;
    }
    if (lengths[kEndOfBlock] == 0) return SpanStop::kBadData;  // a block must be able to end
    auto codes = std::make_shared<SpanCodes>();
    if (!buildSpanCode(lengths, litLenCount, decoder.strictCodes, codes->litLen)) {
        return SpanStop::kBadData;
    }
    const uint8_t* distanceLengths = lengths + litLenCount;
    codes->hasDistance = std::any_of(distanceLengths, distanceLengths + distanceCount,
                                     [](uint8_t length) { return length != 0; });
    if (codes->hasDistance &&
        !buildSpanCode(distanceLengths, distanceCount, decoder.strictCodes, codes->distance)) {
        return SpanStop::kBadData;
    }
    decoder.codes = std::move(codes);
    return SpanStop::kStreamEnd;  // read whole (the caller's "go on")
}

// A stored block (RFC 1951 3.2.4), copied up to stopBit; what lies past it is not this
// block's to vouch for.
SpanStop copyStored(SpanDecoder& decoder) {
    decoder.bit = (decoder.bit + 7) & ~uint64_t{7};
    if (!haveBits(decoder, 32)) return SpanStop::kRanOut;
    uint32_t length = peekSpan(decoder, 16);
    uint32_t complement = peekSpan(decoder, 32) >> 16;
    if ((length ^ complement) != kMaxStoredLength) return SpanStop::kBadData;
    if (decoder.bit + 32 > decoder.stopBit) return SpanStop::kLimit;
    decoder.bit += 32;
    uint64_t byte = decoder.bit / 8;
    if (decoder.outputPos + length > decoder.outputLimit) return SpanStop::kTooLong;
    uint64_t room = decoder.stopBit / 8 > byte ? decoder.stopBit / 8 - byte : 0;
    uint64_t available = decoder.dataBytes - byte;
    uint64_t copied = std::min<uint64_t>({length, room, available});
    if (decoder.bytes != nullptr && copied > 0) {  // an empty vector's data() may be null
        const auto count = static_cast<size_t>(copied);
        std::memcpy(decoder.bytes->data() + decoder.outputPos, decoder.data + byte, count);
        std::memset(decoder.marks->data() + decoder.outputPos, 0, count);
        // Stored bytes behind a resynchronisation point are no more believed than coded ones.
        if (decoder.outputPos < decoder.distrustedUntil) {
            const auto distrusted =
                static_cast<size_t>(std::min(copied, decoder.distrustedUntil - decoder.outputPos));
            std::memset(decoder.bytes->data() + decoder.outputPos, 0, distrusted);
            std::memset(decoder.marks->data() + decoder.outputPos, 1, distrusted);
        }
    }
    decoder.outputPos += copied;
    decoder.bit += copied * 8;
    if (copied < length) return copied == available ? SpanStop::kRanOut : SpanStop::kLimit;
    decoder.atHeader = true;
    return SpanStop::kStreamEnd;
}

// BFINAL, BTYPE and what follows them up to the first symbol.
SpanStop readHeader(SpanDecoder& decoder) {
    if (!haveBits(decoder, 3)) return SpanStop::kRanOut;
    decoder.blockStartBit = decoder.bit;
    decoder.lastBlock = (peekSpan(decoder, 1) & 1) != 0;
    uint32_t type = peekSpan(decoder, 3) >> 1;
    decoder.bit += 3;
    switch (type) {
        case kBlockStored:
            return copyStored(decoder);
        case kBlockFixed:
            decoder.codes = fixedCodes();
            break;
        case kBlockDynamic: {
            SpanStop stop = readDynamicHeader(decoder);
            if (stop != SpanStop::kStreamEnd) return stop;
            break;
        }
        default:
            return SpanStop::kBadData;
    }
    if (decoder.bit > decoder.stopBit) return SpanStop::kLimit;
    decoder.atHeader = false;
    return SpanStop::kStreamEnd;
}

// A length/distance pair's copy: bytes from before the first one held, or from unknown ones,
// are unknown.
void copyMatch(SpanDecoder& decoder, uint32_t length, uint32_t distance) {
    if (decoder.bytes == nullptr) {
        decoder.outputPos += length;
        return;
    }
    uint8_t* bytes = decoder.bytes->data();
    uint8_t* marks = decoder.marks->data();
    const uint64_t start = decoder.outputPos;
    // The common case, all of the match copied from bytes held and trusted, in one stroke: a
    // source wholly before the copy (distance >= length) does not overlap it.
    if (start >= distance && start >= decoder.distrustedUntil && distance >= length) {
        const auto to = static_cast<size_t>(start);
        const auto from = static_cast<size_t>(start - distance);
        std::memcpy(bytes + to, bytes + from, length);
        std::memcpy(marks + to, marks + from, length);
        decoder.outputPos += length;
        return;
    }
    for (uint32_t index = 0; index < length; ++index, ++decoder.outputPos) {
        uint64_t to = decoder.outputPos;
        if (to < distance || to < decoder.distrustedUntil) {
            bytes[to] = 0;
            marks[to] = 1;
            continue;
        }
        bytes[to] = bytes[to - distance];
        marks[to] = marks[to - distance];
    }
}

// The byte about to be written after a match: equal to the one the match's distance points at,
// the match was not the longest there.
void noteLongest(SpanDecoder& decoder, uint8_t next) {
    const uint32_t distance = decoder.lastDistance;
    decoder.lastDistance = 0;
    if (!decoder.checkLongest || decoder.bytes == nullptr || distance == 0 ||
        decoder.brokenAtBit != UINT64_MAX || decoder.outputPos < distance) {
        return;
    }
    const uint64_t from = decoder.outputPos - distance;
    const auto at = static_cast<size_t>(from);
    if ((*decoder.marks)[at] == 0 && (*decoder.bytes)[at] == next) {
        decoder.brokenAtBit = decoder.bit;
        decoder.brokenFrom = from;
    }
}

// The decoder's state as a visit records it (see SpanVisit::blockBit).
uint64_t stateOf(const SpanDecoder& decoder) {
    if (decoder.atHeader) return kSpanAtHeader;
    if (decoder.codes == fixedCodes()) {
        return decoder.lastBlock ? kSpanFixedLastBlock : kSpanFixedBlock;
    }
    return decoder.blockStartBit;
}

// The first of `merge`'s visits at or after the decoder's bit. Every visit before the cursor
// lying before the bit (checked on the one just before it, the list being sorted), the search
// goes on from there: a few steps forward, and only then by halving.
std::vector<SpanVisit>::const_iterator nextMergeVisit(SpanDecoder& decoder) {
    constexpr uint64_t kStepsBeforeHalving = 8;
    const std::vector<SpanVisit>& merge = *decoder.mergeWith;
    const uint64_t bit = decoder.bit;
    uint64_t at = decoder.mergeCursor;
    if (at > merge.size() || (at > 0 && merge[static_cast<size_t>(at - 1)].bit >= bit)) at = 0;
    const uint64_t stepsEnd = std::min<uint64_t>(merge.size(), at + kStepsBeforeHalving);
    while (at < stepsEnd && merge[static_cast<size_t>(at)].bit < bit) ++at;
    auto found = merge.begin() + static_cast<std::ptrdiff_t>(at);
    if (at == stepsEnd && at < merge.size()) {
        found = std::lower_bound(found, merge.end(), bit,
                                 [](const SpanVisit& visit, uint64_t b) { return visit.bit < b; });
    }
    decoder.mergeCursor = static_cast<uint64_t>(found - merge.begin());
    return found;
}

bool reachedMerge(SpanDecoder& decoder) {
    const std::vector<SpanVisit>& merge = *decoder.mergeWith;
    auto found = nextMergeVisit(decoder);
    if (found == merge.end() || found->bit != decoder.bit) return false;
    // The same bit read in another state (a header where the other read a symbol, or a symbol
    // of another block's codes) decodes differently: the chains have not met.
    if (found->blockBit != stateOf(decoder)) return false;
    decoder.mergedAt = static_cast<uint64_t>(found - merge.begin());
    return true;
}

// One literal/length symbol and, for a length, its distance (RFC 1951 3.2.5); kStreamEnd is
// "go on".
SpanStop decodeOne(SpanDecoder& decoder) {
    const SpanCodes& codes = *decoder.codes;
    int symbol = decodeSymbol(decoder, codes.litLen);
    if (symbol == -2) return SpanStop::kRanOut;
    if (symbol < 0 || symbol >= kLiteralSymbols) return SpanStop::kBadData;
    if (symbol < kLiteralCount) {
        if (decoder.bit > decoder.stopBit) return SpanStop::kLimit;
        if (decoder.outputPos >= decoder.outputLimit) return SpanStop::kTooLong;
        noteLongest(decoder, static_cast<uint8_t>(symbol));
        if (decoder.bytes != nullptr) {
            const auto at = static_cast<size_t>(decoder.outputPos);
            const bool distrusted = decoder.outputPos < decoder.distrustedUntil;
            (*decoder.bytes)[at] = distrusted ? 0 : static_cast<uint8_t>(symbol);
            (*decoder.marks)[at] = distrusted ? 1 : 0;
        }
        ++decoder.outputPos;
        return SpanStop::kStreamEnd;
    }
    if (symbol == kEndOfBlock) {
        if (decoder.bit > decoder.stopBit) return SpanStop::kLimit;
        decoder.lastDistance = 0;
        decoder.atHeader = true;
        return SpanStop::kStreamEnd;
    }
    const int code = symbol - kFirstLengthSymbol;
    uint32_t extraBits = kLengthExtraBits[static_cast<size_t>(code)];
    uint32_t length = kLengthBase[static_cast<size_t>(code)];
    if (decoder.deflate64 && code == kLengthCodes - 1) {
        extraBits = kDeflate64LongLengthBits;
        length = kMinMatch;
    }
    if (!haveBits(decoder, extraBits)) return SpanStop::kRanOut;
    length += peekSpan(decoder, extraBits);
    decoder.bit += extraBits;
    if (!codes.hasDistance) return SpanStop::kBadData;
    int distanceSymbol = decodeSymbol(decoder, codes.distance);
    if (distanceSymbol == -2) return SpanStop::kRanOut;
    if (distanceSymbol < 0) return SpanStop::kBadData;
    uint32_t distanceBits = 0;
    uint32_t distance = 0;
    if (distanceSymbol < kDistanceSymbols) {
        distanceBits = kDistanceExtraBits[static_cast<size_t>(distanceSymbol)];
        distance = kDistanceBase[static_cast<size_t>(distanceSymbol)];
    } else if (decoder.deflate64) {
        distanceBits = 14;
        distance = distanceSymbol == kDistanceSymbols ? 32769 : 49153;
    } else {
        return SpanStop::kBadData;
    }
    if (!haveBits(decoder, distanceBits)) return SpanStop::kRanOut;
    distance += peekSpan(decoder, distanceBits);
    decoder.bit += distanceBits;
    if (distance > (decoder.deflate64 ? kDeflate64Window : kDeflateWindowBytes)) {
        return SpanStop::kBadData;
    }
    if (decoder.bit > decoder.stopBit) return SpanStop::kLimit;
    if (decoder.outputPos + length > decoder.outputLimit) return SpanStop::kTooLong;
    // The match's first byte is what the one before it would have had to differ from; when it
    // is not known, neither is whether the rule holds.
    if (decoder.checkLongest && !decoder.checkLiteralsOnly && decoder.bytes != nullptr &&
        decoder.outputPos >= distance) {
        const auto source = static_cast<size_t>(decoder.outputPos - distance);
        if ((*decoder.marks)[source] == 0) noteLongest(decoder, (*decoder.bytes)[source]);
    }
    const uint64_t matchPos = decoder.outputPos;
    decoder.lastCopyDistance = distance;
    copyMatch(decoder, length, distance);
    // Every match goes to the index (its chains follow the writer's), a sign only when none
    // is noted yet.
    if (decoder.nearest != nullptr && decoder.bytes != nullptr &&
        nearerMatchExists(*decoder.nearest, decoder.bytes->data(), decoder.marks->data(), matchPos,
                          length, distance) &&
        decoder.brokenAtBit == UINT64_MAX) {
        decoder.brokenAtBit = decoder.bit;
        decoder.brokenFrom = decoder.nearest->nearerAt;
    }
    decoder.lastDistance = length < kMaxMatch ? distance : 0;
    return SpanStop::kStreamEnd;
}

}  // namespace

const std::shared_ptr<const SpanCodes>& fixedCodes() {
    static const std::shared_ptr<const SpanCodes> codes = [] {
        auto built = std::make_shared<SpanCodes>();
        uint8_t lengths[kFixedLiteralSymbols];
        for (int symbol = 0; symbol < kFixedLiteralSymbols; ++symbol) {
            lengths[symbol] = fixedLiteralLength(symbol);
        }
        buildSpanCode(lengths, kFixedLiteralSymbols, false, built->litLen);
        uint8_t distances[32];
        std::fill(distances, distances + 32, kFixedDistanceLength);
        buildSpanCode(distances, 32, false, built->distance);
        built->hasDistance = true;
        return std::shared_ptr<const SpanCodes>(built);
    }();
    return codes;
}

bool buildSpanCode(const uint8_t* lengths, int count, bool complete, SpanCode& code) {
    uint32_t lengthCount[kMaxCodeBits + 1] = {};
    uint32_t longest = 0;
    for (int symbol = 0; symbol < count; ++symbol) {
        if (lengths[symbol] > kMaxCodeBits) return false;
        ++lengthCount[lengths[symbol]];
        longest = std::max<uint32_t>(longest, lengths[symbol]);
    }
    if (longest == 0) return false;
    // RFC 1951 3.2.2 step 2: the first code of each length; over-subscribed when the codes of
    // one length outrun the space left.
    int64_t left = 1;
    uint32_t nextCode[kMaxCodeBits + 2] = {};
    uint32_t first = 0;
    for (uint32_t bits = 1; bits <= kMaxCodeBits; ++bits) {
        left = left * 2 - lengthCount[bits];
        if (left < 0) return false;
        first = (first + lengthCount[bits - 1] * (bits > 1 ? 1u : 0u)) << 1;
        nextCode[bits] = first;
    }
    const bool single = left > 0 && lengthCount[1] == 1 && longest == 1;
    if (complete && left != 0 && !single) return false;
    code.widthBits = longest;
    code.table.assign(size_t{1} << longest, kNoCode);
    for (int symbol = 0; symbol < count; ++symbol) {
        uint32_t length = lengths[symbol];
        if (length == 0) continue;
        uint32_t reversed = reverseBits(nextCode[length]++, length);
        for (uint32_t index = reversed; index < code.table.size(); index += 1u << length) {
            code.table[index] = static_cast<uint16_t>(static_cast<uint32_t>(symbol) << 4 | length);
        }
    }
    return true;
}

SpanStop runSpan(SpanDecoder& decoder) {
    while (true) {
        if (decoder.ended) return SpanStop::kStreamEnd;
        if (decoder.symbolBudget == 0) return SpanStop::kWorkSpent;
        --decoder.symbolBudget;
        if (decoder.mergeWith != nullptr && reachedMerge(decoder)) return SpanStop::kMerged;
        const uint64_t startBit = decoder.bit;
        const uint64_t startOutput = decoder.outputPos;
        const bool wasHeader = decoder.atHeader;
        const uint64_t startState = decoder.visits != nullptr ? stateOf(decoder) : 0;
        if (wasHeader && decoder.bit >= decoder.stopBit) return SpanStop::kLimit;
        SpanStop stop = wasHeader ? readHeader(decoder) : decodeOne(decoder);
        if (stop == SpanStop::kStreamEnd) {
            if (decoder.visits != nullptr) {
                decoder.visits->push_back({startBit, startOutput, startState});
            }
            // The block with BFINAL ends the stream at its end-of-block code, or at the end of
            // its stored bytes.
            if (decoder.atHeader && decoder.lastBlock) decoder.ended = true;
            continue;
        }
        if (stop == SpanStop::kLimit && !wasHeader) decoder.bit = startBit;
        return stop;
    }
}

}  // namespace zipsalvage
