// The copies behind a sign of damage: see inflate_sign_source.h.
#include "extract/inflate_sign_source.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "extract/inflate_nearest.h"

namespace zipsalvage {
namespace {

// Entries up to this size are followed back: the copies take up to 16 bytes for every 3 bytes
// of output. A larger one keeps the margin before its first sign alone.
constexpr uint64_t kLargestFollowedOutput = uint64_t{32} << 20;
constexpr uint64_t kLargestFollowedData = uint64_t{1} << 28;  // bits fit 32 bits
// Work allowed for following chains, in hops over copies: each moves at least one byte back.
// A chain that would take more is taken back to the first byte.
constexpr uint64_t kMostHops = uint64_t{1} << 24;
// The bytes after a compared one that are followed too: a match compares its bytes as a whole.
constexpr uint64_t kComparedBytes = 258;
// Symbols between two kept places of the decoding (where a symbol starts, and its output).
constexpr uint64_t kSymbolsPerPlace = 256;

// A match as decoded (offsets and bits fit 32 bits below the sizes above).
struct Copy {
    uint32_t to;
    uint32_t length;
    uint32_t distance;
    uint32_t bit;  // where its symbol starts
};

struct Place {
    uint64_t bit;
    uint64_t output;
};

// A symbol as decoded, while the sign is looked for.
struct Symbol {
    uint64_t bit = 0;
    uint64_t output = 0;
    uint64_t length = 0;
    uint64_t distance = 0;  // 0 for literals, headers and stored bytes
};

// The copy that wrote the byte at `offset`, or null for a byte written otherwise.
const Copy* copyOf(const std::vector<Copy>& copies, uint64_t offset) {
    auto after = std::upper_bound(copies.begin(), copies.end(), offset,
                                  [](uint64_t at, const Copy& copy) { return at < copy.to; });
    if (after == copies.begin()) return nullptr;
    --after;
    return offset < uint64_t{after->to} + after->length ? &*after : nullptr;
}

// Follows the byte at `offset` back over the copies that wrote it; gives the earliest offset the
// chain reaches.
uint64_t earliestOnChain(const std::vector<Copy>& copies, uint64_t offset, uint64_t& hopsLeft) {
    while (true) {
        const Copy* copy = copyOf(copies, offset);
        if (copy == nullptr) return offset;
        if (copy->distance > offset || hopsLeft == 0) return 0;
        --hopsLeft;
        offset -= copy->distance;
    }
}

// The bit where the symbol that wrote `offset` starts, or an earlier one.
uint64_t bitAtOrBefore(const std::vector<Copy>& copies, const std::vector<Place>& places,
                       uint64_t offset) {
    if (const Copy* copy = copyOf(copies, offset)) return copy->bit;
    auto after =
        std::upper_bound(places.begin(), places.end(), offset,
                         [](uint64_t at, const Place& place) { return at < place.output; });
    return after == places.begin() ? 0 : (after - 1)->bit;
}

// The output offset of the first symbol at or after `bit`, or an earlier one.
uint64_t outputAtOrBefore(const std::vector<Place>& places, uint64_t bit) {
    auto after = std::upper_bound(places.begin(), places.end(), bit,
                                  [](uint64_t at, const Place& place) { return at < place.bit; });
    return after == places.begin() ? 0 : (after - 1)->output;
}

}  // namespace

bool findSignSource(SpanDecoder decoder, const SignRule& rule, uint64_t signBit,
                    uint64_t marginBits, uint64_t& distrustFrom) {
    if (decoder.bytes == nullptr || decoder.outputLimit > kLargestFollowedOutput ||
        decoder.dataBytes >= kLargestFollowedData) {
        return false;
    }
    // Most damage leaves the stream short or long: told first by a decoding that keeps nothing.
    SpanDecoder counting = decoder;
    counting.bytes = nullptr;
    counting.marks = nullptr;
    counting.checkLongest = false;
    counting.nearest = nullptr;
    counting.visits = nullptr;
    counting.stopBit = UINT64_MAX;
    counting.symbolBudget = UINT64_MAX;
    if (runSpan(counting) != SpanStop::kStreamEnd || spanEndByte(counting) != counting.dataBytes ||
        counting.outputPos != counting.outputLimit) {
        return false;
    }
    NearestIndex index;
    checkRules(decoder, rule, index);
    decoder.stopBit = UINT64_MAX;
    std::vector<Copy> copies;
    std::vector<Place> places;
    // The compared bytes: where the sign was read against, and the bytes of the two symbols
    // around it (the match and the symbol after it) and of their sources.
    std::vector<std::pair<uint64_t, uint64_t>> compared;
    Symbol last;
    Symbol beforeLast;
    SpanStop stop = SpanStop::kWorkSpent;
    for (uint64_t count = 0; stop == SpanStop::kWorkSpent; ++count) {
        if (count % kSymbolsPerPlace == 0) places.push_back({decoder.bit, decoder.outputPos});
        const bool header = decoder.atHeader;
        Symbol symbol{decoder.bit, decoder.outputPos, 0, 0};
        decoder.symbolBudget = 1;
        decoder.lastCopyDistance = 0;
        stop = runSpan(decoder);
        symbol.length = decoder.outputPos - symbol.output;
        if (!header && decoder.lastCopyDistance != 0 && symbol.length > 0) {
            symbol.distance = decoder.lastCopyDistance;
            copies.push_back(
                {static_cast<uint32_t>(symbol.output), static_cast<uint32_t>(symbol.length),
                 static_cast<uint32_t>(symbol.distance), static_cast<uint32_t>(symbol.bit)});
        }
        beforeLast = last;
        last = symbol;
        if (decoder.brokenAtBit == UINT64_MAX) continue;
        if (compared.empty() && decoder.brokenAtBit == signBit) {
            compared.emplace_back(decoder.brokenFrom, decoder.brokenFrom + kComparedBytes);
            for (const Symbol* near : {&last, &beforeLast}) {
                compared.emplace_back(near->output, near->output + near->length);
                if (near->distance != 0 && near->distance <= near->output) {
                    const uint64_t source = near->output - near->distance;
                    compared.emplace_back(source, source + near->length);
                }
            }
        }
        decoder.brokenAtBit = UINT64_MAX;
    }
    const bool inStep = stop == SpanStop::kStreamEnd && spanEndByte(decoder) == decoder.dataBytes &&
                        decoder.outputPos == decoder.outputLimit;
    if (!inStep || compared.empty()) return false;
    uint64_t earliest = UINT64_MAX;
    uint64_t hopsLeft = kMostHops;
    for (const auto& [from, to] : compared) {
        for (uint64_t offset = from; offset < std::min(to, decoder.outputPos); ++offset) {
            earliest = std::min(earliest, earliestOnChain(copies, offset, hopsLeft));
        }
    }
    if (earliest == UINT64_MAX) return false;
    const uint64_t sourceBit = bitAtOrBefore(copies, places, earliest);
    distrustFrom = outputAtOrBefore(places, sourceBit > marginBits ? sourceBit - marginBits : 0);
    return true;
}

}  // namespace zipsalvage
