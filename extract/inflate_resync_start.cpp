// Where decoding is picked up behind damage: see inflate_resync_start.h.
#include "extract/inflate_resync_start.h"

#include <algorithm>
#include <vector>

#include "core/deflate_format.h"

namespace zipsalvage {
namespace {

// A symbol and its distance take at most 15 + 5 + 15 + 13 bits (RFC 1951 3.2.5), so a symbol
// of the true stream starts within this many bits of any point; one more byte for slack.
constexpr uint64_t kResyncWindowBits = 48 + 16;
// Symbols a start that does not join the first chain may decode before it is given up.
constexpr uint64_t kJoinBudget = 1 << 16;

// Takes what a decoder given `given` symbols used from the search's budget.
void spend(uint64_t& budget, const SpanDecoder& decoder, uint64_t given) {
    uint64_t used = given - decoder.symbolBudget;
    budget = budget > used ? budget - used : 0;
}

// `from`'s state at `bit`, counting output from zero up to `outputLimit` without keeping it.
SpanDecoder countingFrom(const SpanDecoder& from, uint64_t bit, uint64_t outputLimit) {
    SpanDecoder decoder = from;
    decoder.bit = bit;
    decoder.stopBit = UINT64_MAX;
    decoder.bytes = nullptr;
    decoder.marks = nullptr;
    decoder.outputPos = 0;
    decoder.outputLimit = outputLimit;
    decoder.visits = nullptr;
    decoder.mergeWith = nullptr;
    return decoder;
}

// The stream's bit at `bit`, the first in the lowest bit of each byte (RFC 1951 3.1.1).
uint32_t bitOf(const uint8_t* data, uint64_t bit) { return (data[bit / 8] >> (bit % 8)) & 1; }

// BFINAL and BTYPE (RFC 1951 3.2.3).
constexpr uint64_t kHeaderBits = 3;

// BTYPE of a header at `bit` whose bits are all in the data.
uint32_t blockTypeAt(const uint8_t* data, uint64_t bit) {
    return bitOf(data, bit + 1) | bitOf(data, bit + 2) << 1;
}

bool haveNextBits(const SpanDecoder& decoder, uint64_t count) {
    return decoder.bit + count <= decoder.dataBytes * 8;
}

// The stream's bits from `bit` on, the first in the lowest bit: at least 57 of them, zeros past
// the data's end.
uint64_t bitsAt(const uint8_t* data, uint64_t size, uint64_t bit) {
    const uint64_t first = bit / 8;
    uint64_t word = 0;
    if (first + 8 <= size) {
        for (uint64_t index = 0; index < 8; ++index) {
            word |= uint64_t{data[first + index]} << (8 * index);
        }
    } else {
        for (uint64_t index = 0; first + index < size; ++index) {
            word |= uint64_t{data[first + index]} << (8 * index);
        }
    }
    return word >> (bit % 8);
}

// Cheap tests on a dynamic header at `bit` (RFC 1951 3.2.7) before it is read whole: counts
// within the alphabets and a complete code-length code. Most bits fail on the block type, read
// first: the search runs these tests at every bit it passes.
bool mayBeDynamicHeader(const uint8_t* data, uint64_t size, uint64_t bit) {
    if (bit + 17 > size * 8) return false;
    if (bitOf(data, bit + 1) != (kBlockDynamic & 1)) return false;
    const uint64_t word = bitsAt(data, size, bit);
    if ((word >> 1 & 3) != kBlockDynamic) return false;
    if ((word >> 3 & 31) > kLiteralSymbols - kMinLitLenCodes) return false;
    if ((word >> 8 & 31) > kDistanceSymbols - kMinDistanceCodes) return false;
    const uint64_t lengthCodes = (word >> 13 & 15) + kMinCodeLengthCodes;
    if (bit + 17 + 3 * lengthCodes > size * 8) return false;
    // The 3-bit lengths start at bit 17 of the header: at most 19 of them, 57 bits.
    const uint64_t lengths = bitsAt(data, size, bit + 17);
    int64_t space = 1 << 7;
    for (uint64_t index = 0; index < lengthCodes; ++index) {
        const auto value = static_cast<uint32_t>(lengths >> (3 * index) & 7);
        if (value != 0) space -= int64_t{1} << (7 - value);
    }
    return space == 0;
}

// A stored header found by search has only LEN and NLEN (16 bits) to check it, and the block
// copies whatever lies behind it; one followed by a fixed block is then picked up again by
// the true stream's fixed codes within a few symbols, and runs to the end with the copy's
// garbage in it. So a stored block is believed only as the last block or followed by a header
// with a check of its own (stored or dynamic). `probe` is left behind the stored block.
bool storedBlockIsFollowedWell(SpanDecoder& probe, uint64_t& budget) {
    const uint64_t given = std::min<uint64_t>(budget, 1);
    probe.symbolBudget = given;
    const SpanStop stop = runSpan(probe);
    spend(budget, probe, given);
    if (stop == SpanStop::kStreamEnd) return true;
    if (stop != SpanStop::kWorkSpent || !probe.atHeader || !haveNextBits(probe, kHeaderBits)) {
        return false;
    }
    const uint32_t type = blockTypeAt(probe.data, probe.bit);
    return type == kBlockStored || type == kBlockDynamic;
}

// Both chains' visits in one list by bit, and for each its index in `good` (UINT64_MAX for
// one of `failed`).
void mergeChains(const std::vector<SpanVisit>& good, const std::vector<SpanVisit>& failed,
                 std::vector<SpanVisit>& chains, std::vector<uint64_t>& inGood) {
    chains.reserve(good.size() + failed.size());
    inGood.reserve(good.size() + failed.size());
    for (size_t next = 0, bad = 0; next < good.size() || bad < failed.size();) {
        if (bad == failed.size() || (next < good.size() && good[next].bit <= failed[bad].bit)) {
            chains.push_back(good[next]);
            inGood.push_back(next++);
        } else {
            chains.push_back(failed[bad++]);
            inGood.push_back(UINT64_MAX);
        }
    }
}

}  // namespace

// Inside the damaged block: every start in the window that runs to the end is decoded; one of
// them is the true stream's next symbol, and the starts that are not join it after a few
// symbols (Huffman codes resynchronise). The true chain holds every bit the first good start
// reaches after all the others have joined it: the latest join is the first bit believed.
bool resyncInBlock(const SpanDecoder& prefix, uint64_t fromBit, uint64_t room, uint64_t& budget,
                   ResyncStart& start) {
    std::vector<SpanVisit> chain;
    // The last start's chain that failed on the data itself (an invalid code, the data ending
    // inside a symbol, or the last block ending before the data does): a later start that meets
    // it in the same state decodes the same from there and fails the same way, so it is given up
    // there. Where the damage took the block's end, every start fails at the same bit, and the
    // search keeps its work for the next header.
    std::vector<SpanVisit> failed;
    SpanDecoder first;
    uint64_t firstBit = fromBit;
    const uint64_t lastBit = std::min(fromBit + kResyncWindowBits, prefix.dataBytes * 8);
    for (; firstBit < lastBit; ++firstBit) {
        first = countingFrom(prefix, firstBit, room);
        chain.clear();
        first.visits = &chain;
        first.mergeWith = failed.empty() ? nullptr : &failed;
        const uint64_t given = budget;
        first.symbolBudget = given;
        SpanStop stop = runSpan(first);
        spend(budget, first, given);
        first.mergeWith = nullptr;
        if (stop == SpanStop::kWorkSpent) return false;
        if (endsAtSize(first, stop)) break;
        if (stop == SpanStop::kBadData || stop == SpanStop::kRanOut ||
            stop == SpanStop::kStreamEnd) {
            failed.swap(chain);
        }
    }
    if (firstBit >= lastBit || chain.empty()) return false;
    // The later starts meet the good chain or the failed one.
    std::vector<SpanVisit> chains;
    std::vector<uint64_t> inChain;
    mergeChains(chain, failed, chains, inChain);
    uint64_t latestJoin = 0;
    for (uint64_t bit = firstBit + 1; bit < lastBit; ++bit) {
        SpanDecoder other = countingFrom(prefix, bit, room);
        other.mergeWith = &chains;
        const uint64_t given = std::min(kJoinBudget, budget);
        other.symbolBudget = given;
        SpanStop stop = runSpan(other);
        spend(budget, other, given);
        if (stop == SpanStop::kMerged) {
            // One that meets the failed chain fails as it does: no second chain to the end.
            const uint64_t joined = inChain[static_cast<size_t>(other.mergedAt)];
            if (joined != UINT64_MAX) latestJoin = std::max(latestJoin, joined);
        } else if (endsAtSize(other, stop) || stop == SpanStop::kWorkSpent) {
            // A second chain to the end, or one not settled: no certainty. (One whose last block
            // ends before the data does is no reading of it.)
            return false;
        }
    }
    start.entryBit = firstBit;
    start.atHeader = false;
    const SpanVisit& join = chain[static_cast<size_t>(latestJoin)];
    start.joinBit = join.bit;
    start.suffixLength = first.outputPos - join.output;
    auto header = std::find_if(chain.begin(), chain.end(), [](const SpanVisit& visit) {
        return visit.blockBit == kSpanAtHeader;
    });
    start.firstHeaderBit = header != chain.end() ? header->bit : UINT64_MAX;
    start.chainOutput = first.outputPos;
    start.chain.swap(chain);
    return true;
}

namespace {

// Moves `start`'s first believed bit to where a reading from `other`'s state at `bit` meets
// the start's chain, when that lies later; false when they do not meet.
bool believeFromMeeting(const SpanDecoder& other, uint64_t bit, uint64_t& budget,
                        ResyncStart& start) {
    SpanDecoder reading = countingFrom(other, bit, UINT64_MAX);
    reading.mergeWith = &start.chain;
    const uint64_t given = budget;
    reading.symbolBudget = given;
    const SpanStop stop = runSpan(reading);
    spend(budget, reading, given);
    if (stop != SpanStop::kMerged) return false;
    const SpanVisit& meeting = start.chain[static_cast<size_t>(reading.mergedAt)];
    if (meeting.bit > start.joinBit) {
        start.joinBit = meeting.bit;
        start.suffixLength = start.chainOutput - meeting.output;
    }
    return true;
}

// The first header from `fromBit` on (see resyncAtHeader). Decoding from `knownHeaderBit` is
// known to run to the end as a header there: a header found there is read, and not decoded to
// the end again.
bool firstHeaderStart(const uint8_t* data, uint64_t size, bool deflate64, uint64_t fromBit,
                      uint64_t room, uint64_t knownHeaderBit, uint64_t& budget,
                      ResyncStart& start) {
    for (uint64_t bit = fromBit; bit + 3 <= size * 8 && budget > 0; ++bit) {
        const bool dynamic = mayBeDynamicHeader(data, size, bit);
        bool candidate = dynamic;
        if (!candidate) {
            // A stored header: BTYPE 00, then LEN and NLEN at the next byte boundary.
            uint64_t lengthByte = (bit + kHeaderBits + 7) / 8;
            candidate = blockTypeAt(data, bit) == kBlockStored && lengthByte + 4 <= size &&
                        (data[lengthByte] ^ data[lengthByte + 2]) == 0xFF &&
                        (data[lengthByte + 1] ^ data[lengthByte + 3]) == 0xFF;
        }
        if (!candidate) continue;
        SpanDecoder probe = decoderOver(data, size, deflate64);
        probe.bit = bit;
        probe.strictCodes = true;
        probe.outputLimit = room;
        if (!dynamic && !storedBlockIsFollowedWell(probe, budget)) continue;
        if (bit == knownHeaderBit) {
            // The chain from here is known to run to the end: only the header is read, its codes
            // held to being complete as any found by search are.
            const uint64_t header = std::min<uint64_t>(budget, 1);
            probe.symbolBudget = header;
            const SpanStop stop = dynamic ? runSpan(probe) : SpanStop::kWorkSpent;
            spend(budget, probe, header);
            if (stop != SpanStop::kWorkSpent) continue;
            start.entryBit = bit;
            start.atHeader = true;
            start.joinBit = bit;
            return true;
        }
        const uint64_t given = budget;
        probe.symbolBudget = given;
        SpanStop stop = runSpan(probe);
        spend(budget, probe, given);
        if (!endsAtSize(probe, stop)) continue;
        start.entryBit = bit;
        start.atHeader = true;
        start.joinBit = bit;
        start.suffixLength = probe.outputPos;
        return true;
    }
    return false;
}

bool headerIsFixed(const SpanDecoder& decoder, uint64_t bit) {
    return bit + kHeaderBits <= decoder.dataBytes * 8 &&
           blockTypeAt(decoder.data, bit) == kBlockFixed;
}

}  // namespace

bool checkInBlockStart(const SpanDecoder& prefix, uint64_t fromBit, uint64_t room, uint64_t& budget,
                       ResyncStart& start) {
    if (start.firstHeaderBit == UINT64_MAX) return true;
    // Read as a fixed block, final or not, where the damaged block's codes are not fixed ones.
    for (const bool last : {false, true}) {
        if (prefix.codes == fixedCodes()) break;
        SpanDecoder fixed = prefix;
        fixed.codes = fixedCodes();
        fixed.lastBlock = last;
        ResyncStart other;
        if (!resyncInBlock(fixed, fromBit, room, budget, other)) continue;
        if (!believeFromMeeting(fixed, other.entryBit, budget, start)) return false;
    }
    // A fixed header the chain reads may be bits of a fixed block's symbols read as one (a
    // garbage block end landing anywhere in a true fixed block is picked up by its codes within a
    // few symbols, final or not), and what the chain decoded before it is then garbage that
    // nothing else reads: behind a fixed header, the chain is believed only where the other
    // readings of the fixed symbols from just behind it have met it.
    if (prefix.codes != fixedCodes() && headerIsFixed(prefix, start.firstHeaderBit)) {
        SpanDecoder fixed = prefix;
        fixed.codes = fixedCodes();
        fixed.lastBlock = bitOf(prefix.data, start.firstHeaderBit) != 0;
        ResyncStart behind;
        if (!resyncInBlock(fixed, start.firstHeaderBit + kHeaderBits, room, budget, behind)) {
            return false;
        }
        if (!believeFromMeeting(fixed, behind.joinBit, budget, start)) return false;
    }
    ResyncStart header;
    if (!firstHeaderStart(prefix.data, prefix.dataBytes, prefix.deflate64, fromBit, room,
                          start.firstHeaderBit, budget, header) ||
        header.entryBit == start.firstHeaderBit) {
        return true;
    }
    SpanDecoder found = decoderOver(prefix.data, prefix.dataBytes, prefix.deflate64);
    found.strictCodes = true;
    return believeFromMeeting(found, header.entryBit, budget, start);
}

// Behind the damage, the next block header: stored (LEN and NLEN agree) or dynamic (complete
// codes), from which decoding runs to the end at the compressed size. Fixed blocks carry no
// check of their own and are not looked for.
bool resyncAtHeader(const uint8_t* data, uint64_t size, bool deflate64, uint64_t fromBit,
                    uint64_t room, uint64_t& budget, ResyncStart& start) {
    return firstHeaderStart(data, size, deflate64, fromBit, room, UINT64_MAX, budget, start);
}

}  // namespace zipsalvage
