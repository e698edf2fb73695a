// One flipped bit. Where the stream decodes to its end without an invalid code and to the
// recorded size, every bit is tried over the whole stream (inflate_repair_merge.h). Otherwise
// the stream is decoded once, keeping its state every few hundred symbols, up to where it
// first shows damage: an invalid code, the data or the recorded size running out, and a match
// a longest-match writer would have made longer, or for other writers a copy from before the
// first byte. Each bit shortly before that point is flipped in turn and decoding taken up again
// from the state before it, and then, where the stream decodes to its end, the rest of it is
// searched. A flip is kept only when decoding then shows no damage, ends at the data's end with
// the recorded size, and the bytes have the recorded CRC-32: nothing else is believed.
#include "extract/inflate_repair.h"

#include <algorithm>

#include "core/crc32.h"
#include "extract/inflate_damage_signs.h"
#include "extract/inflate_repair_merge.h"
#include "extract/inflate_resync.h"
#include "extract/inflate_resync_start.h"
#include "extract/inflate_span.h"

namespace zipsalvage {
namespace {

// Symbols between two kept states of the decoding, and near the first sign of damage, where
// each trial decodes from the state before its bit.
constexpr uint64_t kSnapshotSymbols = 256;
constexpr uint64_t kNearSnapshotSymbols = 32;
// How far before the first sign of damage a flip is looked for. Damage shows within a few
// symbols of a flipped code bit; a flipped extra bit can stay hidden longer.
constexpr uint64_t kFlipWindowBits = 4096;
// A flip must decode this far past the first sign of damage without another one before the
// rest of the stream is decoded for it.
constexpr uint64_t kCheckPastBits = 1024;
// Symbols the trials may decode in all, and per byte of data: the search stays within about a
// second per MiB of compressed data on a desktop machine.
constexpr uint64_t kLeastTrialSymbols = uint64_t{1} << 17;
constexpr uint64_t kTrialSymbolsPerByte = 24;
// How far before the first sign of damage a flip is looked for, where there is one: flips show
// signs within a few hundred bits but for a few in ten thousand.
constexpr uint64_t kFlipBitsBeforeSign = 65536;

// The stream decoded up to its first sign of damage, with the decoder's state and the CRC-32
// so far kept every few hundred symbols.
struct SignedDecoding {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> marks;
    std::vector<SpanDecoder> snapshots;
    // The CRC-32 of the output before each snapshot: a trial from one checks only its own bytes.
    std::vector<uint32_t> crcBefore;
    SpanDecoder base;  // where decoding stopped
    // The first byte marked unknown (a copy from before the first byte), or where the base
    // stopped; trials write only behind their snapshot, so the base's marks before it are theirs.
    uint64_t firstMark = 0;
};

bool marksBetween(const std::vector<uint8_t>& marks, uint64_t from, uint64_t to) {
    return std::any_of(marks.begin() + static_cast<std::ptrdiff_t>(from),
                       marks.begin() + static_cast<std::ptrdiff_t>(to),
                       [](uint8_t mark) { return mark != 0; });
}

// Decodes on from the base to the first sign of damage (or the end), keeping its state every
// `spacing` symbols. With `checkLongest` a match a longest-match writer would have made longer
// is a sign; without it (for writers that do not search for the longest match) a copy from
// before the first byte is, which no writer makes.
void decodeOn(SignedDecoding& into, uint64_t spacing) {
    SpanDecoder& base = into.base;
    uint32_t crc = into.crcBefore.empty() ? 0xFFFFFFFFu : into.crcBefore.back();
    SpanStop stop = SpanStop::kWorkSpent;
    while (stop == SpanStop::kWorkSpent && base.brokenAtBit == UINT64_MAX) {
        if (!into.snapshots.empty()) {
            const uint64_t from = into.snapshots.back().outputPos;
            if (!base.checkLongest && marksBetween(into.marks, from, base.outputPos)) {
                // The base then stands just after the symbol that copied from before the
                // first byte: the flip lies in it or shortly before.
                base = into.snapshots.back();
                do {
                    base.symbolBudget = 1;
                    stop = runSpan(base);
                } while (stop == SpanStop::kWorkSpent &&
                         !marksBetween(into.marks, from, base.outputPos));
                break;
            }
            crc = crc32Update(crc, into.bytes.data() + from,
                              static_cast<size_t>(base.outputPos - from));
        }
        into.snapshots.push_back(base);
        into.crcBefore.push_back(crc);
        base.symbolBudget = spacing;
        stop = runSpan(base);
    }
    into.firstMark = static_cast<uint64_t>(
        std::find(into.marks.begin(),
                  into.marks.begin() + static_cast<std::ptrdiff_t>(base.outputPos), uint8_t{1}) -
        into.marks.begin());
}

void decodeToFirstSign(const std::vector<uint8_t>& data, uint64_t recordedSize, bool deflate64,
                       bool checkLongest, SignedDecoding& into) {
    into.bytes.assign(static_cast<size_t>(recordedSize), 0);
    into.marks.assign(static_cast<size_t>(recordedSize), 0);
    SpanDecoder& base = into.base;
    base = decoderOver(data.data(), data.size(), deflate64);
    base.bytes = &into.bytes;
    base.marks = &into.marks;
    base.outputLimit = recordedSize;
    base.checkLongest = checkLongest;
    decodeOn(into, kSnapshotSymbols);
}

// Decodes the stretch from the last state kept before `fromBit` to the first sign again,
// keeping states closer together: a trial there decodes only a few symbols before its bit.
// Decoding is the same, so it stops at the same sign.
void keepStatesNear(SignedDecoding& into, uint64_t fromBit) {
    while (into.snapshots.size() > 1 && into.snapshots.back().bit > fromBit) {
        into.snapshots.pop_back();
        into.crcBefore.pop_back();
    }
    into.base = into.snapshots.back();
    into.snapshots.pop_back();
    into.crcBefore.pop_back();
    decodeOn(into, kNearSnapshotSymbols);
}

// Random bytes over the data (no flip) show signs of damage in pairs within a few hundred bits
// (see inflate_damage_signs.h); a flip that keeps the size may show a lone one far behind it.
// Where a writer that makes every match the longest shows a pair, the search keeps to the bits
// shortly before the first sign, and random bytes do not cost a search of the whole stream.
void narrowToSigns(const std::vector<uint8_t>& data, const SpanDecoder& base, bool longestMatches,
                   FlipSearch& search) {
    if (!longestMatches || base.brokenAtBit == UINT64_MAX) return;
    std::vector<uint8_t> bytes(base.bytes->size());
    std::vector<uint8_t> marks(bytes.size());
    SpanDecoder start = decoderOver(data.data(), data.size(), base.deflate64);
    start.bytes = &bytes;
    start.marks = &marks;
    start.outputLimit = bytes.size();
    uint64_t signBit = 0;
    if (findFirstSign(start, kLongestMatchRule, signBit) == SignSearch::kFound &&
        signBit == base.brokenAtBit) {
        search.mostBitsTried = kFlipBitsBeforeSign;
    }
}

// Where the other writers' streams first show a pair of signs of damage, under the rule their
// start keeps (see inflate_damage_signs.h); false where they show none.
bool findSignPair(const std::vector<uint8_t>& data, uint64_t recordedSize, bool deflate64,
                  uint64_t& signBit) {
    std::vector<uint8_t> bytes(static_cast<size_t>(recordedSize));
    std::vector<uint8_t> marks(bytes.size());
    SpanDecoder start = decoderOver(data.data(), data.size(), deflate64);
    start.bytes = &bytes;
    start.marks = &marks;
    start.outputLimit = recordedSize;
    for (const SignRule& rule : kSignRules) {
        const SignSearch found = findFirstSign(start, rule, signBit);
        if (found != SignSearch::kRuleBroken) return found == SignSearch::kFound;
    }
    return false;
}

// What a flip near the first sign must come to.
struct NearSign {
    uint64_t recordedSize;
    uint32_t recordedCrc;
    uint64_t anchor;  // where the stream first shows damage
    uint64_t budget;  // the symbols the trials may decode
};

// Flips each bit shortly before the first sign in turn, closest first, and decodes on from the
// state kept before it: kept only when decoding then shows no sign, ends at the data's end with
// the recorded size, and the bytes have the recorded CRC-32.
bool repairNearSign(std::vector<uint8_t>& data, SignedDecoding& decoded, NearSign near,
                    std::vector<uint8_t>& output, uint64_t& flippedBit) {
    const uint64_t lowest = near.anchor > kFlipWindowBits ? near.anchor - kFlipWindowBits : 0;
    keepStatesNear(decoded, lowest);
    const std::vector<SpanDecoder>& snapshots = decoded.snapshots;
    for (uint64_t bit = std::min<uint64_t>(near.anchor, uint64_t{data.size()} * 8);
         bit-- > lowest && near.budget > 0;) {
        auto later = std::upper_bound(
            snapshots.begin(), snapshots.end(), bit,
            [](uint64_t at, const SpanDecoder& snapshot) { return at < snapshot.bit; });
        if (later == snapshots.begin()) continue;
        const uint8_t flip = static_cast<uint8_t>(1u << (bit % 8));
        data[static_cast<size_t>(bit / 8)] ^= flip;
        const auto snapshot = static_cast<size_t>(later - 1 - snapshots.begin());
        SpanDecoder trial = snapshots[snapshot];
        const uint64_t from = trial.outputPos;
        trial.symbolBudget = near.budget;
        trial.stopBit = near.anchor + kCheckPastBits;
        SpanStop stop = runSpan(trial);
        bool good = (stop == SpanStop::kLimit || stop == SpanStop::kStreamEnd) &&
                    trial.brokenAtBit == UINT64_MAX;
        if (good && stop == SpanStop::kLimit) {
            trial.stopBit = UINT64_MAX;
            stop = runSpan(trial);
        }
        near.budget = trial.symbolBudget;
        good = good && stop == SpanStop::kStreamEnd && spanEndByte(trial) == data.size() &&
               trial.outputPos == near.recordedSize && trial.brokenAtBit == UINT64_MAX &&
               decoded.firstMark >= from &&
               !marksBetween(decoded.marks, from, decoded.marks.size()) &&
               crc32Update(decoded.crcBefore[snapshot], decoded.bytes.data() + from,
                           static_cast<size_t>(near.recordedSize - from)) == ~near.recordedCrc;
        if (good) {
            output = std::move(decoded.bytes);
            flippedBit = bit;
            return true;
        }
        data[static_cast<size_t>(bit / 8)] ^= flip;
    }
    return false;
}

}  // namespace

bool repairFlippedBit(std::vector<uint8_t>& data, uint64_t recordedSize, uint32_t recordedCrc,
                      bool deflate64, std::vector<uint8_t>& output, uint64_t& flippedBit) {
    if (data.empty() || recordedSize > kResyncLargestOutput) return false;
    SignedDecoding decoded;
    decodeToFirstSign(data, recordedSize, deflate64, true, decoded);
    const SpanDecoder& base = decoded.base;
    uint64_t anchor = base.brokenAtBit != UINT64_MAX ? base.brokenAtBit : base.bit;
    // Where the stream decodes to its end without an invalid code and to the recorded size,
    // every bit may be tried, each judged by the CRC-32 where it rejoins the stream's decoding:
    // the trials below, which decode each to the end, would only repeat the first of them.
    // A longest-match writer's stream shows its first broken match behind the damage; one in
    // its first sixteenth is mostly a writer that does not search for the longest match (an
    // optimal parse), whose trials here would all fail on its next one.
    const bool longestMatches =
        base.brokenAtBit == UINT64_MAX || base.brokenAtBit >= uint64_t{data.size()} * 8 / 16;
    FlipSearch search{recordedSize, recordedCrc, deflate64, anchor, true, longestMatches};
    narrowToSigns(data, base, longestMatches, search);
    // The other writers' streams are searched before their first copy from before the first
    // byte, invalid code or overrun instead: a flip shows one within a few symbols where the
    // output is still shorter than the window (RFC 1951 3.2.5).
    bool nearSignKnown = true;
    if (!longestMatches) {
        decoded.snapshots.clear();
        decoded.crcBefore.clear();
        decodeToFirstSign(data, recordedSize, deflate64, false, decoded);
        nearSignKnown = !base.ended;
        if (nearSignKnown) anchor = search.searchFirst = base.bit;
    }
    // Decoding before the flip is the intact stream, which keeps the rule: the flip lies before
    // the first pair of signs, and only those bits are tried. Random bytes over the data show a
    // pair too, and there the search tried every bit of the stream for nothing, most of the work
    // of salvaging the entry.
    uint64_t pairBit = 0;
    const bool pairShown = !longestMatches && findSignPair(data, recordedSize, deflate64, pairBit);
    if (pairShown) {
        search.searchFirst = nearSignKnown ? std::min(search.searchFirst, pairBit) : pairBit;
        search.mostBitsTried = search.searchFirst;
    }
    KeptFlipDecoding decoding;
    const MergeRepair sameSize = repairFlipByMerge(data, search, output, flippedBit, decoding);
    if (sameSize != MergeRepair::kNotTried) return sameSize == MergeRepair::kRepaired;
    // In the other writers' streams the search over the whole stream tries the bits before the
    // sign first too, each more cheaply: the search near the sign is left for streams it cannot
    // take (an invalid code), and random bytes do not pay for both.
    search.sameSizeOnly = false;
    if (!longestMatches) {
        // A flip that changes the size throws decoding out of step, and what it decodes shows
        // the pair soon behind it (in 7-Zip's streams in the resync bench, all 19 within 1,700
        // bits); one that keeps the size may show it much later (two of 26 there, 81 and 286
        // kbit behind), and that search above is left whole.
        if (pairShown) search.mostBitsTried = std::min(search.mostBitsTried, kFlipBitsBeforeSign);
        const MergeRepair resized = repairFlipByMerge(data, search, output, flippedBit, decoding);
        if (resized != MergeRepair::kNotTried) return resized == MergeRepair::kRepaired;
    }
    const uint64_t budget = std::max(kLeastTrialSymbols, kTrialSymbolsPerByte * data.size());
    if (nearSignKnown && repairNearSign(data, decoded, {recordedSize, recordedCrc, anchor, budget},
                                        output, flippedBit)) {
        return true;
    }
    if (!longestMatches) return false;
    // A size changed by the flip leaves a trial's CRC-32 to be told only at its end: the bits
    // near the first sign of damage above went first, the rest of the stream follows.
    return repairFlipByMerge(data, search, output, flippedBit, decoding) == MergeRepair::kRepaired;
}

}  // namespace zipsalvage
