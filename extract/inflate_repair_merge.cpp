// A flipped bit that leaves the stream decodable (a distance's extra bit, one literal's code
// turned into another's) shows no sign where it lies: only the size or the CRC-32 at the end
// tells. Every bit may then be the one, and decoding the rest of the stream for each would cost
// the stream's length squared. Instead the damaged stream is decoded once, noting where every
// symbol starts (RFC 1951 3.2.5), and a trial decodes from the symbol holding its bit only until
// it reaches a symbol start of that decoding in the same block state: from there on the two
// decode the same symbols. The trial's output then differs from the decoding's only in the bytes
// before that point and in what later matches copy from them, so its size is known at once, and
// where the size is the recorded one its CRC-32 too: the CRC-32 (APPNOTE 4.4.7) is linear, so
// a byte changed by d at offset j changes it by d's CRC times x^(8(n-1-j)), summed over every
// later byte copied from it. Those sums are worked out for all offsets in one backward pass.
// A trial the sums accept is decoded to the end and kept only when it then has the recorded
// size and CRC-32.
#include "extract/inflate_repair_merge.h"

#include <algorithm>
#include <memory>

#include "core/crc32.h"
#include "extract/inflate_span.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kCrcOne = 0x80000000u;  // x^0 where bit 31 holds the lowest power
// Symbols a trial may decode after its bit before it must have rejoined the decoding, and the
// bytes it may write until then.
constexpr uint64_t kMergeSymbols = 64;
constexpr uint64_t kTrialOutputBytes = 16384;
// Symbols all trials may decode, at least and per byte of data: about a second per MiB of
// compressed data on a desktop machine.
constexpr uint64_t kLeastTrialSymbols = uint64_t{1} << 15;
constexpr uint64_t kTrialSymbolsPerByte = 96;

// What a byte changed by `change` adds to the CRC-32 where its offset's power of x is `weight`:
// change's CRC table entry times the weight, modulo the polynomial. The register holds x^0 in
// bit 31, so the byte's bit i stands for x^(31-i) and its table entry is the byte times x^8.
uint32_t weighChange(uint8_t change, uint32_t weight) {
    uint32_t power = crc32Byte(crc32Byte(crc32Byte(weight, 0), 0), 0);  // times x^24
    uint32_t product = 0;
    for (int bit = 7; bit >= 0; --bit) {
        if (((change >> bit) & 1u) != 0) product ^= power;
        power = (power & 1u) != 0 ? (power >> 1) ^ 0xEDB88320u : power >> 1;  // times x
    }
    return crc32Byte(product, 0);
}

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

struct Copy {
    uint64_t to;
    uint64_t length;
    uint64_t distance;
};

// The damaged stream decoded once: its bytes, symbols, blocks and copies.
struct Decoding {
    std::vector<uint8_t> bytes;
    std::vector<SpanVisit> visits;
    std::vector<BlockCodes> blocks;
    std::vector<Copy> copies;
    uint64_t total = 0;
    uint64_t endBit = 0;
};

// Decodes the whole stream into `decoding`, one symbol at a time; false unless it ends at the
// data's end with no invalid code, every match copying bytes it has.
bool decodeOnce(const std::vector<uint8_t>& data, uint64_t limit, bool deflate64,
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
           std::none_of(marks.begin(), marks.end(), [](uint8_t mark) { return mark != 0; });
}

// For every offset j of an output of n bytes: x^(8(n-1-j)) summed over j and every later
// offset whose byte is copied from j's, directly or through other copies.
std::vector<uint32_t> crcWeights(const Decoding& decoding) {
    const auto size = static_cast<size_t>(decoding.total);
    std::vector<uint32_t> weights(size);
    uint32_t power = kCrcOne;
    for (size_t at = size; at-- > 0;) {
        weights[at] = power;
        power = crc32Byte(power, 0);  // times x^8
    }
    for (auto copy = decoding.copies.rbegin(); copy != decoding.copies.rend(); ++copy) {
        for (uint64_t at = copy->to + copy->length; at-- > copy->to;) {
            weights[static_cast<size_t>(at - copy->distance)] ^= weights[static_cast<size_t>(at)];
        }
    }
    return weights;
}

}  // namespace

namespace {

struct Search {
    std::vector<uint8_t>& data;
    const Decoding& decoding;
    bool deflate64;
    uint64_t recordedSize;
    uint32_t recordedCrc;
    // What the trial's size must differ from the decoding's by, and where it is 0, the
    // decoding's CRC-32 and weights.
    int64_t sizeChange;
    uint32_t decodedCrc;
    uint64_t budget;
    std::vector<uint32_t> weights;
    std::vector<uint8_t> work;  // the decoding's bytes, where trials write and are undone
    std::vector<uint8_t> marks;
    std::vector<uint32_t> corrections;
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

// The CRC-32 of the trial's bytes, which differ from the decoding's only in [from, rejoined)
// and in what the decoding's later copies take from there. The decoding's own copies inside
// [from, rejoined) are the trial's no longer: their weights are taken back out.
uint32_t rejoinedCrc(Search& search, uint64_t from, uint64_t rejoined) {
    const auto span = static_cast<size_t>(rejoined - from);
    search.corrections.assign(span, 0);
    const std::vector<Copy>& copies = search.decoding.copies;
    auto copy = std::upper_bound(copies.begin(), copies.end(), from,
                                 [](uint64_t at, const Copy& one) { return at < one.to; });
    if (copy != copies.begin()) --copy;
    for (; copy != copies.end() && copy->to < rejoined; ++copy) {
        const uint64_t end = std::min(copy->to + copy->length, rejoined);
        for (uint64_t at = std::max(copy->to, from); at < end; ++at) {
            const uint64_t source = at - copy->distance;
            if (source >= from) {
                search.corrections[static_cast<size_t>(source - from)] ^=
                    search.weights[static_cast<size_t>(at)];
            }
        }
    }
    uint32_t crc = search.decodedCrc;
    for (size_t index = 0; index < span; ++index) {
        const auto at = static_cast<size_t>(from) + index;
        const auto change = static_cast<uint8_t>(search.work[at] ^ search.decoding.bytes[at]);
        if (change == 0) continue;
        crc ^= weighChange(change, search.weights[at] ^ search.corrections[index]);
    }
    return crc;
}

// Decodes the trial to the stream's end: true when it ends at the data's end with the recorded
// size, every byte known, and the recorded CRC-32.
bool finishTrial(Search& search, SpanDecoder& trial, uint64_t from) {
    trial.mergeWith = nullptr;
    trial.outputLimit = search.recordedSize;
    if (!trial.ended && runCounted(search, trial, UINT64_MAX) != SpanStop::kStreamEnd) {
        return false;
    }
    const auto begin = search.marks.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = search.marks.begin() + static_cast<std::ptrdiff_t>(trial.outputPos);
    return spanEndByte(trial) == search.data.size() && trial.outputPos == search.recordedSize &&
           std::none_of(begin, end, [](uint8_t mark) { return mark != 0; }) &&
           ~crc32Update(0xFFFFFFFFu, search.work.data(), static_cast<size_t>(trial.outputPos)) ==
               search.recordedCrc;
}

// Decodes the stream with `bit` flipped (the caller flips it) from the symbol holding it until
// it rejoins the decoding, and on to the end where the size, and the CRC-32 where it can be
// told early, come out right.
bool tryFlip(Search& search, uint64_t bit, SpanDecoder& trial, uint64_t& from) {
    const std::vector<SpanVisit>& visits = search.decoding.visits;
    auto holding =
        std::upper_bound(visits.begin(), visits.end(), bit,
                         [](uint64_t at, const SpanVisit& visit) { return at < visit.bit; });
    const auto visit = static_cast<size_t>(holding - visits.begin()) - 1;
    trial = trialAt(search, visit);
    from = trial.outputPos;
    // The flipped bit may lie beyond a symbol that now decodes shorter.
    SpanStop stop = SpanStop::kWorkSpent;
    while (stop == SpanStop::kWorkSpent && trial.bit <= bit && search.budget > 0) {
        stop = runCounted(search, trial, 1);
    }
    if (stop == SpanStop::kWorkSpent && trial.bit > bit) {
        trial.mergeWith = &visits;
        stop = runCounted(search, trial, kMergeSymbols);
    }
    if (stop == SpanStop::kStreamEnd) return finishTrial(search, trial, from);
    if (stop != SpanStop::kMerged) return false;
    const SpanVisit& rejoined = visits[static_cast<size_t>(trial.mergedAt)];
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
    if (change == 0 && rejoinedCrc(search, from, trial.outputPos) != search.recordedCrc) {
        return false;
    }

    return finishTrial(search, trial, from);
}

}  // namespace

bool repairFlipByMerge(std::vector<uint8_t>& data, uint64_t recordedSize, uint32_t recordedCrc,
                       bool deflate64, uint64_t searchFirst, std::vector<uint8_t>& output,
                       uint64_t& flippedBit) {
    if (data.empty() || recordedSize == 0 || recordedSize > kMergeRepairLargestOutput) {
        return false;
    }
    // Room for a decoding somewhat longer than recorded: a flip may have added bytes.
    const uint64_t room = recordedSize + recordedSize / 16 + 65536;
    Decoding decoding;
    if (!decodeOnce(data, room, deflate64, decoding)) return false;
    Search search{
        data,        decoding,
        deflate64,   recordedSize,
        recordedCrc, static_cast<int64_t>(recordedSize) - static_cast<int64_t>(decoding.total),
        0,           std::max(kLeastTrialSymbols, kTrialSymbolsPerByte * data.size()),
        {},          {},
        {},          {}};
    if (search.sizeChange == 0) {
        search.weights = crcWeights(decoding);
        search.decodedCrc =
            ~crc32Update(0xFFFFFFFFu, decoding.bytes.data(), static_cast<size_t>(decoding.total));
        if (search.decodedCrc == recordedCrc) return false;  // nothing to repair
    }
    search.work = decoding.bytes;
    search.marks.assign(search.work.size(), 0);
    SpanDecoder trial;
    // Bits after the stream's last symbol are not read: flipping them changes nothing. The bits
    // before `searchFirst` are tried first, closest first, then the others from the end.
    const uint64_t first = std::min(searchFirst, decoding.endBit);
    for (uint64_t step = 0; step < decoding.endBit && search.budget > 0; ++step) {
        const uint64_t bit = step < first ? first - 1 - step : decoding.endBit - 1 - (step - first);
        const auto flip = static_cast<uint8_t>(1u << (bit % 8));
        data[static_cast<size_t>(bit / 8)] ^= flip;
        uint64_t from = 0;
        if (tryFlip(search, bit, trial, from)) {
            search.work.resize(static_cast<size_t>(recordedSize));
            output = std::move(search.work);
            flippedBit = bit;
            return true;
        }
        data[static_cast<size_t>(bit / 8)] ^= flip;
        const auto begin = static_cast<std::ptrdiff_t>(from);
        const auto end = static_cast<std::ptrdiff_t>(std::max(from, trial.outputPos));
        std::copy(decoding.bytes.begin() + begin, decoding.bytes.begin() + end,
                  search.work.begin() + begin);
        std::fill(search.marks.begin() + begin, search.marks.begin() + end, uint8_t{0});
    }
    return false;
}

}  // namespace zipsalvage
