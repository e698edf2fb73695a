// A flipped bit that leaves the stream decodable (a distance's extra bit, one literal's code
// turned into another's, a code that throws decoding out of step for a few symbols) shows no
// sign where it lies: only the size or the CRC-32 at the end tells. Every bit may then be the
// one, and decoding the rest of the stream for each would cost the stream's length squared.
// Instead the damaged stream is decoded once, noting where every symbol starts (RFC 1951
// 3.2.5), and a trial decodes from the symbol holding its bit only until it reaches a symbol
// start of that decoding in the same block state: from there on the two decode the same
// symbols. The trial's size is then known at once, and its CRC-32 from the bytes it wrote and
// what the decoding's later copies take from them (see inflate_repair_crc.h). A trial whose
// size and CRC-32 come out right is decoded to the end and kept only when it then has them.
#include "extract/inflate_repair_merge.h"

#include <algorithm>
#include <memory>

#include "core/crc32.h"
#include "extract/inflate_repair_crc.h"
#include "extract/inflate_span.h"

namespace zipsalvage {
namespace {

// Symbols a trial may decode after its bit before it must have rejoined the decoding, and the
// bytes it may write until then. The bits shortly before where the stream first shows damage
// are the likeliest, and a flip there may throw decoding out of step for longer than most: their
// trials may decode more.
constexpr uint64_t kMergeSymbols = 24;
constexpr uint64_t kNearMergeSymbols = 64;
constexpr uint64_t kNearSteps = 4096;
constexpr uint64_t kTrialOutputBytes = 16384;
// The decoding's symbols a trial may meet, per symbol it may decode.
constexpr uint64_t kNearbyVisitsPerSymbol = 3;
constexpr uint64_t kLongestTriedHeaderBits = 16;
// Symbols all trials may decode, at least and per byte of data: about a second per MiB of
// compressed data on a desktop machine. At 40, a flip in the first fifth of a stream that
// decodes cleanly to the wrong CRC-32 was missed now and then, the bound spent a fraction of a
// percent of the stream short of it, and the entry kept the flip's wrong bytes.
constexpr uint64_t kLeastTrialSymbols = uint64_t{1} << 15;
constexpr uint64_t kTrialSymbolsPerByte = 48;
// Trials whose CRC-32 is compared with the recorded one, at most: each passes by chance with
// odds of 2^-32, so the search gives a wrong repair for a damaged entry with odds below 2^-12.
constexpr uint64_t kMostCrcTrials = uint64_t{1} << 20;
// Trials whose CRC-32 came out right that are decoded to the end whatever work the search has
// left. The right flip's trial is most of a decoding of the stream from its bit on: under the
// search's bound it would be lost where that bound ran out during it, which it does for a flip
// early in the stream. A wrong trial gets here with odds of 2^-32; the count keeps a crafted
// stream whose trials all meet its CRC-32 within a few decodings of it.
constexpr int kMostVouchedFinishes = 4;

uint32_t peekBits(const std::vector<uint8_t>& data, uint64_t bit, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t index = 0; index < count; ++index) {
        const uint64_t at = bit + index;
        if (at / 8 >= data.size()) break;
        value |= static_cast<uint32_t>((data[static_cast<size_t>(at / 8)] >> (at % 8)) & 1u)
                 << index;
    }
    return value;
}

// The distance of the length/distance pair that starts at `bit` (RFC 1951 3.2.5; Deflate64's
// length 285 has 16 extra bits and its distance codes 30 and 31 exist).
uint32_t matchDistanceAt(const std::vector<uint8_t>& data, uint64_t bit, const SpanCodes& codes,
                         bool deflate64) {
    uint32_t entry = codes.litLen.table[peekBits(data, bit, codes.litLen.widthBits)];
    bit += entry & 15u;
    const uint32_t code = (entry >> 4) - 257;
    const uint32_t lengthBits = code < 8 ? 0 : code == 28 ? (deflate64 ? 16 : 0) : code / 4 - 1;
    bit += lengthBits;
    entry = codes.distance.table[peekBits(data, bit, codes.distance.widthBits)];
    bit += entry & 15u;
    const uint32_t symbol = entry >> 4;
    const uint32_t extra = symbol < 4 ? 0 : symbol / 2 - 1;
    const uint32_t base = symbol < 4 ? symbol + 1 : (2u << extra) + 1 + ((symbol & 1u) << extra);
    return base + peekBits(data, bit, extra);
}

// The codes of one Huffman block, from the first of its symbols on.
struct BlockCodes {
    size_t firstVisit;
    std::shared_ptr<const SpanCodes> codes;
    bool lastBlock;
    uint64_t blockStartBit;
};

// The damaged stream decoded once: its bytes, symbols, blocks and copies.
struct Decoding {
    std::vector<uint8_t> bytes;
    std::vector<SpanVisit> visits;
    std::vector<BlockCodes> blocks;
    std::vector<DecodedCopy> copies;
    uint64_t total = 0;
    uint64_t endBit = 0;
    // The output offset just past the last copy from before the first byte (0 for none).
    uint64_t farCopiesEnd = 0;
};

// Decodes the whole stream into `decoding`, one symbol at a time; false unless it ends at the
// data's end with no invalid code, every match copying bytes it has. With `farCopies` a copy from
// before the first byte is let through, its bytes zeros: a trial that meets the decoding before
// one copies real bytes there when it is longer, so its CRC-32 is told by decoding it.
bool decodeOnce(const std::vector<uint8_t>& data, uint64_t limit, bool deflate64, bool farCopies,
                Decoding& decoding) {
    decoding.bytes.assign(static_cast<size_t>(limit), 0);
    std::vector<uint8_t> marks(static_cast<size_t>(limit), 0);
    SpanDecoder decoder;
    decoder.data = data.data();
    decoder.dataBytes = data.size();
    decoder.deflate64 = deflate64;
    decoder.bytes = &decoding.bytes;
    decoder.marks = &marks;
    decoder.outputLimit = limit;
    decoder.visits = &decoding.visits;
    // A symbol takes 4 bits at the least in practice: one reservation, not a dozen regrowths
    // each copying every symbol so far.
    decoding.visits.reserve(data.size() * 2 + 16);
    bool afterHeader = true;
    SpanStop stop = SpanStop::kWorkSpent;
    while (stop == SpanStop::kWorkSpent) {
        const bool wasHeader = decoder.atHeader;
        const uint64_t startBit = decoder.bit;
        const uint64_t startOutput = decoder.outputPos;
        const size_t visitsBefore = decoding.visits.size();
        decoder.symbolBudget = 1;
        stop = runSpan(decoder);
        if (decoding.visits.size() == visitsBefore) break;
        if (wasHeader) {
            afterHeader = true;
            continue;
        }
        if (afterHeader) {
            decoding.blocks.push_back(
                {visitsBefore, decoder.codes, decoder.lastBlock, decoder.blockStartBit});
            afterHeader = false;
        }
        const uint64_t length = decoder.outputPos - startOutput;
        if (length < 3) continue;
        const uint64_t distance = matchDistanceAt(data, startBit, *decoder.codes, deflate64);
        if (farCopies && distance > startOutput) {
            decoding.farCopiesEnd = decoder.outputPos;
            continue;
        }
        if (distance == 0 || distance > startOutput ||
            decoding.bytes[static_cast<size_t>(startOutput)] !=
                decoding.bytes[static_cast<size_t>(startOutput - distance)]) {
            return false;
        }
        decoding.copies.push_back({startOutput, length, distance});
    }
    decoding.total = decoder.outputPos;
    decoding.endBit = decoder.bit;
    return stop == SpanStop::kStreamEnd && spanEndByte(decoder) == data.size() &&
           (farCopies ||
            std::none_of(marks.begin(), marks.end(), [](uint8_t mark) { return mark != 0; }));
}

struct Search {
    std::vector<uint8_t>& data;
    const Decoding& decoding;
    bool deflate64;
    uint64_t recordedSize;
    uint32_t recordedCrc;
    // What the trial's size must differ from the decoding's by, and where it is 0, the
    // decoding's CRC-32 and weights.
    int64_t sizeChange;
    uint64_t budget;
    RejoinCrc crc;
    std::vector<uint8_t> work;  // the decoding's bytes, where trials write and are undone
    std::vector<uint8_t> marks;
    std::vector<SpanVisit> nearby;  // the decoding's symbols from `nearbyFrom` on
    size_t nearbyFrom = SIZE_MAX;
    size_t holding = 0;    // the symbol that held the bit tried last
    SpanDecoder standing;  // a decoder before the symbol `standingAt`
    size_t standingAt = SIZE_MAX;
    bool longestMatches = false;
    uint64_t crcTrialsLeft = kMostCrcTrials;
    int vouchedFinishesLeft = kMostVouchedFinishes;
    uint64_t nearbyCount = 0;  // how many symbols `nearby` was made with
};

// Runs `trial` for at most `most` symbols of what the search has left.
SpanStop runCounted(Search& search, SpanDecoder& trial, uint64_t most) {
    trial.symbolBudget = std::min(most, search.budget);
    const uint64_t given = trial.symbolBudget;
    const SpanStop stop = runSpan(trial);
    search.budget -= given - trial.symbolBudget;
    return stop;
}

// A decoder standing where the decoding read its `visit`-th symbol or header.
SpanDecoder trialAt(Search& search, size_t visit) {
    const SpanVisit& at = search.decoding.visits[visit];
    SpanDecoder trial;
    trial.data = search.data.data();
    trial.dataBytes = search.data.size();
    trial.deflate64 = search.deflate64;
    trial.bytes = &search.work;
    trial.marks = &search.marks;
    trial.bit = at.bit;
    trial.outputPos = at.output;
    trial.outputLimit = std::min<uint64_t>(search.work.size(), at.output + kTrialOutputBytes);
    trial.atHeader = at.blockBit == kSpanAtHeader;
    if (!trial.atHeader) {
        const std::vector<BlockCodes>& blocks = search.decoding.blocks;
        auto block = std::upper_bound(
            blocks.begin(), blocks.end(), visit,
            [](size_t index, const BlockCodes& codes) { return index < codes.firstVisit; });
        --block;  // the first visit after a header opens a block, so one lies at or before
        trial.codes = block->codes;
        trial.lastBlock = block->lastBlock;
        trial.blockStartBit = block->blockStartBit;
    }
    return trial;
}

// Decodes the trial to the stream's end: true when it ends at the data's end with the recorded
// size, every byte known, and the recorded CRC-32. A `vouched` trial (its CRC-32 already came out
// right) is decoded outside the search's bound, a few times at the most; the decoding is bounded
// all the same by the data and the recorded size.
bool finishTrial(Search& search, SpanDecoder& trial, uint64_t from, bool vouched) {
    trial.mergeWith = nullptr;
    trial.outputLimit = search.recordedSize;
    trial.checkLongest = search.longestMatches;
    trial.brokenAtBit = UINT64_MAX;
    const bool unbounded = vouched && search.vouchedFinishesLeft > 0;
    if (unbounded) --search.vouchedFinishesLeft;
    if (!trial.ended) {
        trial.symbolBudget = UINT64_MAX;
        const SpanStop stop = unbounded ? runSpan(trial) : runCounted(search, trial, UINT64_MAX);
        if (stop != SpanStop::kStreamEnd) return false;
    }
    if (trial.brokenAtBit != UINT64_MAX) return false;
    const auto begin = search.marks.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = search.marks.begin() + static_cast<std::ptrdiff_t>(trial.outputPos);
    return spanEndByte(trial) == search.data.size() && trial.outputPos == search.recordedSize &&
           std::none_of(begin, end, [](uint8_t mark) { return mark != 0; }) &&
           ~crc32Update(0xFFFFFFFFu, search.work.data(), static_cast<size_t>(trial.outputPos)) ==
               search.recordedCrc;
}

// The decoding's symbol or header that holds `bit`; the bits are tried in turn downwards, so it
// is mostly the one before, or the one before that.
size_t visitHolding(Search& search, uint64_t bit) {
    const std::vector<SpanVisit>& visits = search.decoding.visits;
    size_t& at = search.holding;
    const auto holds = [&visits, bit](size_t index) {
        return visits[index].bit <= bit &&
               (index + 1 == visits.size() || visits[index + 1].bit > bit);
    };
    if (at < visits.size() && holds(at)) return at;
    if (at > 0 && at <= visits.size() && holds(at - 1)) return --at;
    auto holding =
        std::upper_bound(visits.begin(), visits.end(), bit,
                         [](uint64_t value, const SpanVisit& visit) { return value < visit.bit; });
    at = static_cast<size_t>(holding - visits.begin()) - 1;
    return at;
}

// Decodes the stream with `bit` flipped (the caller flips it) from the symbol holding it until
// it rejoins the decoding, and on to the end where the size, and the CRC-32 where it can be
// told early, come out right.
bool tryFlip(Search& search, uint64_t bit, uint64_t mergeSymbols, SpanDecoder& trial,
             uint64_t& from) {
    const std::vector<SpanVisit>& visits = search.decoding.visits;
    const size_t visit = visitHolding(search, bit);
    // A flip in a dynamic header gives the block other codes, and one in a stored block moves a
    // byte of it: neither trial rejoins within a few symbols, and each costs a whole table or
    // block. Only a fixed block's header (3 bits) is tried.
    if (visits[visit].blockBit == kSpanAtHeader && visit + 1 < visits.size() &&
        visits[visit + 1].bit - visits[visit].bit > kLongestTriedHeaderBits) {
        from = trial.outputPos = visits[visit].output;
        return false;
    }
    // The bits of one symbol are tried in turn: the decoder standing before it is kept.
    if (search.standingAt != visit) {
        search.standing = trialAt(search, visit);
        search.standingAt = visit;
    }
    trial = search.standing;
    from = trial.outputPos;
    // Only the decoding's next few symbols can be met within the trial's few: a short list of
    // them keeps the look-up for each symbol in the cache. They begin after the bit, so the
    // trial meets one only once it has read the flipped bit.
    const uint64_t nearbyCount = kNearbyVisitsPerSymbol * mergeSymbols;
    if (search.nearbyFrom != visit || search.nearbyCount != nearbyCount) {
        search.nearbyFrom = visit;
        search.nearbyCount = nearbyCount;
        search.nearby.assign(visits.begin() + static_cast<std::ptrdiff_t>(visit + 1),
                             visits.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(
                                                  visits.size(), visit + 1 + nearbyCount)));
    }
    trial.mergeWith = &search.nearby;
    const SpanStop stop = runCounted(search, trial, mergeSymbols);
    if (stop == SpanStop::kStreamEnd) return finishTrial(search, trial, from, false);
    if (stop != SpanStop::kMerged) return false;
    const SpanVisit& rejoined = search.nearby[static_cast<size_t>(trial.mergedAt)];
    // A block whose header holds the flip has other codes behind the same header bit (the
    // states of fixed blocks and headers are no bits, and lie above every bit).
    if (rejoined.blockBit <= bit) {
        const std::vector<BlockCodes>& blocks = search.decoding.blocks;
        auto block = std::lower_bound(
            blocks.begin(), blocks.end(), rejoined.blockBit,
            [](const BlockCodes& codes, uint64_t at) { return codes.blockStartBit < at; });
        if (block == blocks.end() || visits[block->firstVisit].bit > bit) return false;
    }
    const auto change =
        static_cast<int64_t>(trial.outputPos) - static_cast<int64_t>(rejoined.output);
    if (change != search.sizeChange) return false;
    if (search.crcTrialsLeft == 0) {
        search.budget = 0;
        return false;
    }
    --search.crcTrialsLeft;
    // A trial much longer than the decoding would be weighed over most of its bytes, and one
    // that meets it before a copy from before the first byte has other bytes there: each is
    // decoded to its end instead.
    const bool weighed = change <= static_cast<int64_t>(kTrialOutputBytes) &&
                         rejoined.output >= search.decoding.farCopiesEnd;
    if (weighed &&
        rejoinedTrialCrc(search.crc, search.work, from, rejoined.output) != search.recordedCrc) {
        return false;
    }
    return finishTrial(search, trial, from, weighed);
}

}  // namespace

struct FlipDecoding {
    Decoding decoding;
    bool decodes = false;  // to its end, as decodeOnce tells
};

void FlipDecodingFree::operator()(FlipDecoding* decoding) const { delete decoding; }

MergeRepair repairFlipByMerge(std::vector<uint8_t>& data, const FlipSearch& target,
                              std::vector<uint8_t>& output, uint64_t& flippedBit,
                              KeptFlipDecoding& kept) {
    const uint64_t recordedSize = target.recordedSize;
    const uint32_t recordedCrc = target.recordedCrc;
    const bool deflate64 = target.deflate64;
    if (data.empty() || recordedSize == 0 || recordedSize > kMergeRepairLargestOutput) {
        return MergeRepair::kNotTried;
    }
    // Room for a decoding somewhat longer than recorded: a flip may have added bytes.
    const uint64_t room = recordedSize + recordedSize / 16 + 65536;
    if (kept == nullptr) {
        kept.reset(new FlipDecoding);
        kept->decodes = decodeOnce(data, room, deflate64, !target.longestMatches, kept->decoding);
    }
    if (!kept->decodes) return MergeRepair::kNotTried;
    const Decoding& decoding = kept->decoding;
    Search search{data,
                  decoding,
                  deflate64,
                  recordedSize,
                  recordedCrc,
                  static_cast<int64_t>(recordedSize) - static_cast<int64_t>(decoding.total),
                  std::max(kLeastTrialSymbols, kTrialSymbolsPerByte * data.size()),
                  {},
                  {},
                  {},
                  {},
                  SIZE_MAX,
                  0,
                  {},
                  SIZE_MAX,
                  target.longestMatches};
    // Told before the sums are worked out: for a changed size they cost a weighing for every
    // copied byte of the stream.
    if (target.sameSizeOnly && search.sizeChange != 0) return MergeRepair::kNotTried;
    prepareRejoinCrc(decoding.bytes, decoding.total, decoding.copies, search.sizeChange,
                     search.crc);
    if (search.sizeChange == 0 && ~search.crc.decodedRegister == recordedCrc) {
        return MergeRepair::kNotFound;  // nothing to repair
    }
    search.work = decoding.bytes;
    search.marks.assign(search.work.size(), 0);
    SpanDecoder trial;
    // Bits after the stream's last symbol are not read: flipping them changes nothing. The bits
    // before `searchFirst` are tried first, closest first, then the others from the end.
    const uint64_t first = std::min(target.searchFirst, decoding.endBit);
    const uint64_t steps =
        std::min(target.longestMatches ? first : decoding.endBit, target.mostBitsTried);
    for (uint64_t step = 0; step < steps && search.budget > 0; ++step) {
        const uint64_t bit = step < first ? first - 1 - step : decoding.endBit - 1 - (step - first);
        const auto flip = static_cast<uint8_t>(1u << (bit % 8));
        data[static_cast<size_t>(bit / 8)] ^= flip;
        uint64_t from = 0;
        const uint64_t mergeSymbols =
            step < first && step < kNearSteps ? kNearMergeSymbols : kMergeSymbols;
        if (tryFlip(search, bit, mergeSymbols, trial, from)) {
            search.work.resize(static_cast<size_t>(recordedSize));
            output = std::move(search.work);
            flippedBit = bit;
            return MergeRepair::kRepaired;
        }
        data[static_cast<size_t>(bit / 8)] ^= flip;
        const auto begin = static_cast<std::ptrdiff_t>(from);
        const auto end = static_cast<std::ptrdiff_t>(std::max(from, trial.outputPos));
        if (end == begin) continue;
        std::copy(decoding.bytes.begin() + begin, decoding.bytes.begin() + end,
                  search.work.begin() + begin);
        std::fill(search.marks.begin() + begin, search.marks.begin() + end, uint8_t{0});
    }
    return MergeRepair::kNotFound;
}

}  // namespace zipsalvage
