// The test-only deflate writer. Its tables are written out from RFC 1951 3.2.5 rather than
// shared with the product, so that a wrong product table shows up as a mismatch.
#include "fuzz/deflate_stream_generator.h"

#include <algorithm>
#include <array>
#include <queue>
#include <utility>

namespace zipsalvage::fuzz {
namespace {

// clang-format off
// Length symbols 257..284 (RFC 1951 3.2.5); 285 depends on the variant.
constexpr std::array<uint32_t, 28> kLengthBase = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227};
constexpr std::array<uint32_t, 28> kLengthExtra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
    3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
// Distance symbols 0..29, and Deflate64's 30 and 31.
constexpr std::array<uint32_t, 32> kDistanceBase = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193,
    257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577,
    32769, 49153};
constexpr std::array<uint32_t, 32> kDistanceExtra = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6,
    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13,
    14, 14};
constexpr std::array<uint8_t, 19> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// clang-format on

constexpr uint32_t kEndOfBlock = 256;
constexpr uint32_t kLongLengthSymbol = 285;
constexpr int kLitLenSymbols = 286;

struct Variant {
    uint32_t windowBytes;
    int distanceSymbols;
    uint32_t longestMatch;  // through symbols up to 284 and a plain 285
};

Variant variantOf(DeflateVariant variant) {
    if (variant == DeflateVariant::kDeflate64) return {65536, 32, 65538};
    return {32768, 30, 258};
}

uint64_t mix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    return value ^ (value >> 33);
}

// Writes fields least significant bit first (RFC 1951 3.1.1).
struct BitSink {
    std::vector<uint8_t> bytes;
    uint64_t pending = 0;
    uint32_t pendingBits = 0;

    void bits(uint32_t value, uint32_t count) {
        pending |= uint64_t{value} << pendingBits;
        pendingBits += count;
        while (pendingBits >= 8) {
            bytes.push_back(static_cast<uint8_t>(pending));
            pending >>= 8;
            pendingBits -= 8;
        }
    }
    void alignToByte() {
        if (pendingBits > 0) bits(0, 8 - pendingBits);
    }
};

// A prefix code: lengths and the codes RFC 1951 3.2.2 assigns, bit-reversed for the stream.
struct Code {
    std::vector<uint8_t> lengths;
    std::vector<uint32_t> streamCodes;

    void write(BitSink& sink, uint32_t symbol) const {
        sink.bits(streamCodes[symbol], lengths[symbol]);
    }
};

Code assignCodes(std::vector<uint8_t> lengths) {
    std::array<uint32_t, 17> counts{};
    for (uint8_t length : lengths) ++counts[length];
    counts[0] = 0;
    std::array<uint32_t, 17> next{};
    uint32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
        code = (code + counts[length - 1]) << 1;
        next[length] = code;
    }
    Code result;
    result.streamCodes.resize(lengths.size());
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        uint32_t length = lengths[symbol];
        if (length == 0) continue;
        uint32_t value = next[length]++;
        uint32_t reversed = 0;
        for (uint32_t bit = 0; bit < length; ++bit)
            reversed |= ((value >> bit) & 1u) << (length - 1 - bit);
        result.streamCodes[symbol] = reversed;
    }
    result.lengths = std::move(lengths);
    return result;
}

// Huffman code lengths for the symbols of non-zero weight; 0 when the longest exceeds `limit`.
// A single symbol gets length 1.
int huffmanLengths(const std::vector<uint64_t>& weights, std::vector<uint8_t>& lengths) {
    size_t symbols = weights.size();
    lengths.assign(symbols, 0);
    std::vector<int> parent;
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
    for (size_t symbol = 0; symbol < symbols; ++symbol) {
        parent.push_back(-1);
        if (weights[symbol] > 0) queue.push({weights[symbol], static_cast<int>(symbol)});
    }
    if (queue.size() == 1) {
        lengths[static_cast<size_t>(queue.top().second)] = 1;
        return 1;
    }
    while (queue.size() > 1) {
        Node first = queue.top();
        queue.pop();
        Node second = queue.top();
        queue.pop();
        int joined = static_cast<int>(parent.size());
        parent.push_back(-1);
        parent[static_cast<size_t>(first.second)] = joined;
        parent[static_cast<size_t>(second.second)] = joined;
        queue.push({first.first + second.first, joined});
    }
    int longest = 0;
    for (size_t symbol = 0; symbol < symbols; ++symbol) {
        if (weights[symbol] == 0) continue;
        int depth = 0;
        for (int node = static_cast<int>(symbol); parent[static_cast<size_t>(node)] >= 0;
             node = parent[static_cast<size_t>(node)])
            ++depth;
        lengths[symbol] = static_cast<uint8_t>(depth);
        longest = std::max(longest, depth);
    }
    return longest;
}

// A complete code (or a lone length-1 code) over the symbols of non-zero weight, no longer than
// `limit`. Sometimes the weights are replaced by powers of two, which makes long codes; they are
// halved until the code fits, which ends at a balanced tree.
std::vector<uint8_t> makeLengths(std::vector<uint64_t> weights, int limit, ChoiceSource& choices) {
    if (choices.oneIn(3)) {
        for (uint64_t& weight : weights) {
            if (weight > 0) weight = uint64_t{1} << choices.below(24);
        }
    }
    std::vector<uint8_t> lengths;
    while (huffmanLengths(weights, lengths) > limit) {
        for (uint64_t& weight : weights) {
            if (weight > 0) weight = weight / 2 + 1;
        }
    }
    return lengths;
}

struct Token {
    uint32_t symbol;  // literal/length symbol
    uint32_t lengthExtra = 0;
    uint32_t lengthExtraBits = 0;
    uint32_t distanceSymbol = 0;
    uint32_t distanceExtra = 0;
    uint32_t distanceExtraBits = 0;
};

class Generator {
  public:
    Generator(ChoiceSource& choices, DeflateVariant variant)
        : choices_(choices), variant_(variant), shape_(variantOf(variant)) {}

    GeneratedStream run(size_t contentTarget) {
        // Blocks stop growing past twice the target, so that a run's size follows the target.
        contentLimit_ = 2 * contentTarget + 1024;
        bool last = false;
        while (!last) {
            last = out_.content.size() >= contentTarget;
            uint32_t pick = choices_.below(6);
            if (pick == 0) {
                storedBlock(last);
            } else if (pick <= 2) {
                huffmanBlock(last, false);
            } else {
                huffmanBlock(last, true);
            }
        }
        sink_.alignToByte();
        out_.stream = std::move(sink_.bytes);
        return std::move(out_);
    }

  private:
    uint8_t literal() {
        return static_cast<uint8_t>(choices_.oneIn(2) ? choices_.below(256)
                                                      : 'a' + choices_.below(8));
    }

    void storedBlock(bool last) {
        out_.blockTypesUsed |= 1u << 0;
        uint32_t length = choices_.oneIn(8) ? choices_.below(65536) : choices_.below(1500);
        length = static_cast<uint32_t>(std::min<size_t>(length, room()));
        sink_.bits(last ? 1 : 0, 1);
        sink_.bits(0, 2);
        sink_.alignToByte();
        sink_.bits(length, 16);
        sink_.bits(~length & 0xFFFF, 16);
        for (uint32_t index = 0; index < length; ++index) {
            uint8_t byte = literal();
            sink_.bytes.push_back(byte);
            out_.content.push_back(byte);
        }
    }

    uint32_t chooseLength() {
        uint32_t pick = choices_.below(8);
        if (pick == 0) return 258;
        if (pick == 1) return 3;
        if (variant_ == DeflateVariant::kDeflate64 && choices_.oneIn(40)) {
            return 3 + choices_.below(65536);
        }
        uint32_t index = choices_.below(29);
        if (index == 28) return 258;
        uint32_t extra = choices_.below(1u << kLengthExtra[index]);
        if (index == 27 && extra == 31) extra = 30;  // 284 reaches 257 in RFC 1951
        return kLengthBase[index] + extra;
    }

    uint32_t chooseDistance(uint32_t reachable) {
        uint32_t pick = choices_.below(8);
        if (pick == 0) return reachable;  // the window's far edge
        if (pick == 1) return reachable - choices_.below(std::min<uint32_t>(reachable, 8));
        if (pick == 2) return 1 + choices_.below(std::min<uint32_t>(reachable, 8));
        uint32_t symbols = 0;
        while (symbols < static_cast<uint32_t>(shape_.distanceSymbols) &&
               kDistanceBase[symbols] <= reachable)
            ++symbols;
        uint32_t symbol = choices_.below(symbols);
        uint32_t distance = kDistanceBase[symbol] + choices_.below(1u << kDistanceExtra[symbol]);
        return std::min(distance, reachable);
    }

    Token matchToken(uint32_t length, uint32_t distance) {
        Token token{};
        bool longForm =
            variant_ == DeflateVariant::kDeflate64 && (length > 258 || choices_.oneIn(16));
        if (longForm) {
            token.symbol = kLongLengthSymbol;
            token.lengthExtra = length - 3;
            token.lengthExtraBits = 16;
        } else if (length == 258 && variant_ == DeflateVariant::kDeflate) {
            token.symbol = kLongLengthSymbol;
        } else {
            uint32_t index = 27;
            while (kLengthBase[index] > length) --index;
            token.symbol = 257 + index;
            token.lengthExtra = length - kLengthBase[index];
            token.lengthExtraBits = kLengthExtra[index];
        }
        uint32_t symbol = static_cast<uint32_t>(shape_.distanceSymbols) - 1;
        while (kDistanceBase[symbol] > distance) --symbol;
        token.distanceSymbol = symbol;
        token.distanceExtra = distance - kDistanceBase[symbol];
        token.distanceExtraBits = kDistanceExtra[symbol];
        out_.lengthSymbolsUsed |= 1u << (token.symbol - 257);
        out_.distanceSymbolsUsed |= 1u << symbol;
        out_.longestDistance = std::max(out_.longestDistance, distance);
        out_.longestMatch = std::max(out_.longestMatch, length);
        return token;
    }

    std::vector<Token> makeTokens() {
        std::vector<Token> tokens;
        if (choices_.oneIn(10)) return tokens;  // a block of nothing but its end code
        uint32_t count = 1 + choices_.below(choices_.oneIn(4) ? 20000 : 2000);
        // Some blocks are mostly literals, some mostly matches.
        uint32_t matchShare = choices_.below(9);
        std::vector<uint8_t>& content = out_.content;
        for (uint32_t index = 0; index < count && room() > 0; ++index) {
            auto reachable =
                static_cast<uint32_t>(std::min<size_t>(content.size(), shape_.windowBytes));
            if (reachable == 0 || choices_.below(8) >= matchShare) {
                uint8_t byte = literal();
                content.push_back(byte);
                tokens.push_back(Token{byte});
                continue;
            }
            uint32_t length = chooseLength();
            uint32_t distance = chooseDistance(reachable);
            tokens.push_back(matchToken(length, distance));
            size_t from = content.size() - distance;
            for (uint32_t step = 0; step < length; ++step) content.push_back(content[from + step]);
        }
        return tokens;
    }

    static Code fixedLitLenCode() {
        std::vector<uint8_t> lengths(288);
        for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
            lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
        return assignCodes(lengths);
    }

    void huffmanBlock(bool last, bool dynamic) {
        out_.blockTypesUsed |= 1u << (dynamic ? 2 : 1);
        std::vector<Token> tokens = makeTokens();
        Code litLen;
        Code distance;
        sink_.bits(last ? 1 : 0, 1);
        sink_.bits(dynamic ? 2 : 1, 2);
        if (dynamic) {
            dynamicHeader(tokens, litLen, distance);
        } else {
            litLen = fixedLitLenCode();
            distance = assignCodes(std::vector<uint8_t>(32, 5));
        }
        for (const Token& token : tokens) {
            litLen.write(sink_, token.symbol);
            if (token.symbol < kEndOfBlock) continue;
            sink_.bits(token.lengthExtra, token.lengthExtraBits);
            distance.write(sink_, token.distanceSymbol);
            sink_.bits(token.distanceExtra, token.distanceExtraBits);
        }
        litLen.write(sink_, kEndOfBlock);
    }

    // Counts used symbols, adds a few unused ones, and keeps at least two symbols so the code
    // can be complete.
    std::vector<uint64_t> weightsOf(std::vector<uint64_t> counts, uint32_t minimumSymbols) {
        uint32_t extras = choices_.oneIn(4) ? choices_.below(6) : 0;
        for (uint32_t index = 0; index < extras; ++index)
            counts[choices_.below(static_cast<uint32_t>(counts.size()))] += 1;
        auto used = static_cast<uint32_t>(
            std::count_if(counts.begin(), counts.end(), [](uint64_t count) { return count > 0; }));
        for (uint32_t symbol = 0; used < minimumSymbols; ++symbol) {
            if (counts[symbol] == 0) {
                counts[symbol] = 1;
                ++used;
            }
        }
        return counts;
    }

    void dynamicHeader(const std::vector<Token>& tokens, Code& litLen, Code& distance) {
        std::vector<uint64_t> litLenCounts(kLitLenSymbols, 0);
        std::vector<uint64_t> distanceCounts(static_cast<size_t>(shape_.distanceSymbols), 0);
        litLenCounts[kEndOfBlock] = 1;
        for (const Token& token : tokens) {
            ++litLenCounts[token.symbol];
            if (token.symbol > kEndOfBlock) ++distanceCounts[token.distanceSymbol];
        }
        litLen = assignCodes(makeLengths(weightsOf(litLenCounts, 2), 15, choices_));
        // A distance code may be incomplete: one code of one bit, or none at all.
        uint32_t usedDistances =
            static_cast<uint32_t>(std::count_if(distanceCounts.begin(), distanceCounts.end(),
                                                [](uint64_t count) { return count > 0; }));
        uint32_t minimum = usedDistances <= 1 && choices_.oneIn(2) ? usedDistances : 2;
        distance = assignCodes(makeLengths(weightsOf(distanceCounts, minimum), 15, choices_));

        size_t litLenSent = 257;
        for (size_t symbol = 0; symbol < litLen.lengths.size(); ++symbol)
            if (litLen.lengths[symbol] != 0) litLenSent = std::max(litLenSent, symbol + 1);
        litLenSent += choices_.below(static_cast<uint32_t>(kLitLenSymbols - litLenSent) + 1);
        size_t distanceSent = 1;
        for (size_t symbol = 0; symbol < distance.lengths.size(); ++symbol)
            if (distance.lengths[symbol] != 0) distanceSent = std::max(distanceSent, symbol + 1);
        distanceSent +=
            choices_.below(static_cast<uint32_t>(shape_.distanceSymbols - distanceSent) + 1);

        std::vector<uint8_t> all(litLen.lengths.begin(),
                                 litLen.lengths.begin() + static_cast<long>(litLenSent));
        all.insert(all.end(), distance.lengths.begin(), distance.lengths.end());
        all.resize(litLenSent + distanceSent, 0);

        // The code lengths, run-length coded with symbols 16, 17 and 18 where chosen
        // (RFC 1951 3.2.7); a repeat may run on from the literal/length into the distance lengths.
        std::vector<std::pair<uint32_t, uint32_t>> lengthSymbols;  // symbol, extra value
        for (size_t index = 0; index < all.size();) {
            uint8_t value = all[index];
            size_t run = 1;
            while (index + run < all.size() && all[index + run] == value) ++run;
            if (index > 0 && all[index - 1] == value && run >= 3 && choices_.oneIn(2)) {
                uint32_t take =
                    3 + choices_.below(static_cast<uint32_t>(std::min<size_t>(run, 6) - 2));
                lengthSymbols.push_back({16, take - 3});
                index += take;
            } else if (value == 0 && run >= 11 && choices_.oneIn(2)) {
                uint32_t take =
                    11 + choices_.below(static_cast<uint32_t>(std::min<size_t>(run, 138) - 10));
                lengthSymbols.push_back({18, take - 11});
                index += take;
            } else if (value == 0 && run >= 3 && choices_.oneIn(2)) {
                uint32_t take =
                    3 + choices_.below(static_cast<uint32_t>(std::min<size_t>(run, 10) - 2));
                lengthSymbols.push_back({17, take - 3});
                index += take;
            } else {
                lengthSymbols.push_back({value, 0});
                ++index;
            }
        }
        std::vector<uint64_t> lengthCounts(19, 0);
        for (const auto& item : lengthSymbols) ++lengthCounts[item.first];
        Code lengthCode = assignCodes(makeLengths(weightsOf(lengthCounts, 2), 7, choices_));
        size_t lengthCodesSent = 4;
        for (size_t index = 0; index < 19; ++index)
            if (lengthCode.lengths[kCodeLengthOrder[index]] != 0)
                lengthCodesSent = std::max(lengthCodesSent, index + 1);
        lengthCodesSent += choices_.below(static_cast<uint32_t>(19 - lengthCodesSent) + 1);

        sink_.bits(static_cast<uint32_t>(litLenSent - 257), 5);
        sink_.bits(static_cast<uint32_t>(distanceSent - 1), 5);
        sink_.bits(static_cast<uint32_t>(lengthCodesSent - 4), 4);
        for (size_t index = 0; index < lengthCodesSent; ++index)
            sink_.bits(lengthCode.lengths[kCodeLengthOrder[index]], 3);
        for (const auto& item : lengthSymbols) {
            lengthCode.write(sink_, item.first);
            if (item.first == 16) sink_.bits(item.second, 2);
            if (item.first == 17) sink_.bits(item.second, 3);
            if (item.first == 18) sink_.bits(item.second, 7);
        }
    }

    size_t room() const {
        return out_.content.size() < contentLimit_ ? contentLimit_ - out_.content.size() : 0;
    }

    ChoiceSource& choices_;
    size_t contentLimit_ = 0;
    DeflateVariant variant_;
    Variant shape_;
    BitSink sink_;
    GeneratedStream out_;
};

}  // namespace

ChoiceSource::ChoiceSource(const uint8_t* bytes, size_t count) : data(bytes), size(count) {
    uint64_t hash = 0x9E3779B97F4A7C15ULL;
    for (size_t index = 0; index < count; ++index) hash = mix(hash ^ bytes[index]);
    state = hash;
}

ChoiceSource::ChoiceSource(uint64_t seed) : state(mix(seed + 1)) {}

uint32_t ChoiceSource::below(uint32_t bound) {
    if (bound <= 1) return 0;
    uint32_t raw = 0;
    if (pos < size) {
        // One input byte per choice of up to 256 values, more for wider ones.
        raw = data[pos++];
        if (bound > 256 && pos < size) raw |= uint32_t{data[pos++]} << 8;
        if (bound > 65536 && pos < size) raw |= uint32_t{data[pos++]} << 16;
    } else {
        state += 0x9E3779B97F4A7C15ULL;
        raw = static_cast<uint32_t>(mix(state) >> 32);
    }
    return raw % bound;
}

GeneratedStream generateDeflateStream(ChoiceSource& choices, DeflateVariant variant,
                                      size_t contentTarget) {
    return Generator(choices, variant).run(contentTarget);
}

}  // namespace zipsalvage::fuzz
