// One flipped bit. Where the stream decodes to its end without an invalid code and to the
// recorded size, every bit is tried over the whole stream (inflate_repair_merge.h). Otherwise
// the stream is decoded once, keeping its state every few hundred symbols, up to where it
// first shows damage (an invalid code, the data or the recorded size running out, or a match a
// longest-match writer would have made longer); each bit shortly before that point is flipped
// in turn and decoding taken up again from the state before it, and then, where the stream
// decodes to its end, the rest of it is searched. A flip is kept only when decoding then shows
// no damage, ends at the data's end with the recorded size, and the bytes have the recorded
// CRC-32: nothing else is believed.
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

constexpr uint64_t kSnapshotSymbols = 256;
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

// Decodes up to the first sign of damage (or the end), keeping the decoder's state and the
// CRC-32 so far every few hundred symbols; gives the decoder where it stopped.
SpanDecoder decodeToFirstSign(const std::vector<uint8_t>& data, bool deflate64,
                              std::vector<uint8_t>& bytes, std::vector<uint8_t>& marks,
                              std::vector<SpanDecoder>& snapshots,
                              std::vector<uint32_t>& crcBefore) {
    SpanDecoder base;
    base.data = data.data();
    base.dataBytes = data.size();
    base.deflate64 = deflate64;
    base.bytes = &bytes;
    base.marks = &marks;
    base.outputLimit = bytes.size();
    base.checkLongest = true;
    uint32_t crc = 0xFFFFFFFFu;
    SpanStop stop = SpanStop::kWorkSpent;
    while (stop == SpanStop::kWorkSpent && base.brokenAtBit == UINT64_MAX) {
        if (!snapshots.empty()) {
            const uint64_t from = snapshots.back().outputPos;
            crc = crc32Update(crc, bytes.data() + from, static_cast<size_t>(base.outputPos - from));
        }
        snapshots.push_back(base);
        crcBefore.push_back(crc);
        base.symbolBudget = kSnapshotSymbols;
        stop = runSpan(base);
    }
    return base;
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

}  // namespace

bool repairFlippedBit(std::vector<uint8_t>& data, uint64_t recordedSize, uint32_t recordedCrc,
                      bool deflate64, std::vector<uint8_t>& output, uint64_t& flippedBit) {
    if (data.empty() || recordedSize > kResyncLargestOutput) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(recordedSize));
    std::vector<uint8_t> marks(static_cast<size_t>(recordedSize));
    std::vector<SpanDecoder> snapshots;
    // The CRC-32 of the output before each snapshot: a trial from one checks only its own bytes.
    std::vector<uint32_t> crcBefore;
    const SpanDecoder base = decodeToFirstSign(data, deflate64, bytes, marks, snapshots, crcBefore);
    // Trials write only behind their snapshot: the base's marks before it are theirs.
    const auto firstMark = static_cast<uint64_t>(
        std::find(marks.begin(), marks.begin() + static_cast<std::ptrdiff_t>(base.outputPos),
                  uint8_t{1}) -
        marks.begin());
    const uint64_t anchor = base.brokenAtBit != UINT64_MAX ? base.brokenAtBit : base.bit;
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
    KeptFlipDecoding decoding;
    const MergeRepair sameSize = repairFlipByMerge(data, search, output, flippedBit, decoding);
    if (sameSize != MergeRepair::kNotTried) return sameSize == MergeRepair::kRepaired;
    uint64_t budget =
        longestMatches ? std::max(kLeastTrialSymbols, kTrialSymbolsPerByte * data.size()) : 0;
    const uint64_t lowest = anchor > kFlipWindowBits ? anchor - kFlipWindowBits : 0;
    for (uint64_t bit = std::min<uint64_t>(anchor, uint64_t{data.size()} * 8);
         bit-- > lowest && budget > 0;) {
        auto later = std::upper_bound(
            snapshots.begin(), snapshots.end(), bit,
            [](uint64_t at, const SpanDecoder& snapshot) { return at < snapshot.bit; });
        if (later == snapshots.begin()) continue;
        const uint8_t flip = static_cast<uint8_t>(1u << (bit % 8));
        data[static_cast<size_t>(bit / 8)] ^= flip;
        const auto snapshot = static_cast<size_t>(later - 1 - snapshots.begin());
        SpanDecoder trial = snapshots[snapshot];
        const uint64_t from = trial.outputPos;
        trial.symbolBudget = budget;
        trial.stopBit = anchor + kCheckPastBits;
        SpanStop stop = runSpan(trial);
        bool good = (stop == SpanStop::kLimit || stop == SpanStop::kStreamEnd) &&
                    trial.brokenAtBit == UINT64_MAX;
        if (good && stop == SpanStop::kLimit) {
            trial.stopBit = UINT64_MAX;
            stop = runSpan(trial);
        }
        budget = trial.symbolBudget;
        good = good && stop == SpanStop::kStreamEnd && spanEndByte(trial) == data.size() &&
               trial.outputPos == recordedSize && trial.brokenAtBit == UINT64_MAX &&
               firstMark >= from &&
               std::none_of(marks.begin() + static_cast<std::ptrdiff_t>(from), marks.end(),
                            [](uint8_t mark) { return mark != 0; }) &&
               crc32Update(crcBefore[snapshot], bytes.data() + from,
                           static_cast<size_t>(recordedSize - from)) == ~recordedCrc;
        if (good) {
            output = std::move(bytes);
            flippedBit = bit;
            return true;
        }
        data[static_cast<size_t>(bit / 8)] ^= flip;
    }
    // A size changed by the flip leaves a trial's CRC-32 to be told only at its end: the bits
    // near the first sign of damage above went first, the rest of the stream follows.
    search.sameSizeOnly = false;
    return repairFlipByMerge(data, search, output, flippedBit, decoding) == MergeRepair::kRepaired;
}

}  // namespace zipsalvage
