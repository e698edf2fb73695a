// The tables and the tree builder, reached through the encoder's internal header: the constant
// tables against RFC 1951, length limiting under skewed frequencies, and the block-type choice.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "recompress/deflate_state.h"
#include "tests/support/test_files.h"

namespace zipsalvage {
namespace {

// A DeflateState with its block buffers and a stream whose output stays in outBuffer (the
// blocks written here are shorter than 1024 bytes).
struct BlockFixture {
    std::unique_ptr<DeflateState> state = std::make_unique<DeflateState>();
    std::vector<uint16_t> literals = std::vector<uint16_t>(kBlockItemBuffer);
    std::vector<uint16_t> distances = std::vector<uint16_t>(kBlockItemBuffer);
    uint8_t out[kStreamBufferBytes] = {};
    RunFlags flags;
    RecompressStream stream{};

    BlockFixture() {
        stream.outBuffer = out;
        stream.flags = &flags;
        stream.output = fileStreamOutput(kInvalidFile);
        state->stream = &stream;
        state->literalBuffer = literals.data();
        state->distanceBuffer = distances.data();
        startTrees(*state);
    }
};

TEST(DeflateTables, LengthAndDistanceCodesFollowRfc1951) {
    // RFC 1951 3.2.5, first length and first distance of each code.
    const int lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    const uint32_t distanceBase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    for (int length = 3; length <= 258; ++length) {
        int code = 28;
        while (lengthBase[code] > length) --code;
        if (length == 258)
            code = 28;
        else if (code == 28)
            code = 27;  // 258 alone has code 285
        EXPECT_EQ(kLengthTables.codeOf[length - 3], code) << length;
        EXPECT_EQ(kLengthTables.base[code], lengthBase[code] - 3);
        EXPECT_LT(length - lengthBase[code], 1 << kLengthExtraBits[code]);
    }
    for (uint32_t distance = 1; distance <= 32768; ++distance) {
        uint32_t code = 29;
        while (distanceBase[code] > distance) --code;
        ASSERT_EQ(distanceCodeOf(distance - 1), code) << distance;
        EXPECT_EQ(static_cast<uint32_t>(kDistanceTables.base[code]), distanceBase[code] - 1);
    }
}

TEST(DeflateTables, FixedCodesFollowRfc1951) {
    // RFC 1951 3.2.6: symbol ranges with their first code and length.
    struct Range {
        int first, last;
        uint32_t firstCode;
        int length;
    };
    for (Range range : {Range{0, 143, 0x30, 8}, Range{144, 255, 0x190, 9}, Range{256, 279, 0, 7},
                        Range{280, 287, 0xC0, 8}}) {
        for (int symbol = range.first; symbol <= range.last; ++symbol) {
            const CodeEntry& entry = kFixedLiteralCodes[symbol];
            EXPECT_EQ(entry.parentOrLength, range.length);
            EXPECT_EQ(entry.freqOrCode,
                      reverseBits(range.firstCode + static_cast<uint32_t>(symbol - range.first),
                                  range.length));
        }
    }
    for (int symbol = 0; symbol < kDistanceSymbols; ++symbol) {
        EXPECT_EQ(kFixedDistanceCodes[symbol].parentOrLength, 5);
        EXPECT_EQ(kFixedDistanceCodes[symbol].freqOrCode,
                  reverseBits(static_cast<uint32_t>(symbol), 5));
    }
}

// Kraft sum of the lengths of symbols 0..maxCode, in units of 2^-limit.
long kraftUnits(const TreeNode* tree, int maxCode, int limit) {
    long units = 0;
    for (int symbol = 0; symbol <= maxCode; ++symbol) {
        if (tree[symbol].parentOrLength != 0) units += 1L << (limit - tree[symbol].parentOrLength);
    }
    return units;
}

// 1, 2, 3, 5, 8, ...: beside one more leaf of frequency 1, each joined pair is lighter than
// the next leaf, so the tree grows one level per symbol. (1, 1, 2, ... would tie at every
// step, and the depth tie-break would keep that tree shallow.)
std::vector<uint32_t> fibonacci(int count) {
    std::vector<uint32_t> numbers = {1, 2};
    while (static_cast<int>(numbers.size()) < count) {
        numbers.push_back(numbers[numbers.size() - 1] + numbers[numbers.size() - 2]);
    }
    return numbers;
}

TEST(HuffmanTrees, FibonacciFrequenciesStayWithin15BitsAndTheCostAgrees) {
    BlockFixture fixture;
    DeflateState& state = *fixture.state;
    std::vector<uint32_t> frequencies = fibonacci(21);  // 21 levels deep without the limit
    for (int index = 0; index < 21; ++index) {
        state.literalTree[index * 7].freqOrCode = static_cast<uint16_t>(frequencies[index]);
    }
    TreeSpec spec = literalTreeSpec(state);
    makeTree(state, spec);

    int longest = 0;
    for (int symbol = 0; symbol <= spec.maxCode; ++symbol) {
        longest = std::max(longest, static_cast<int>(state.literalTree[symbol].parentOrLength));
    }
    EXPECT_EQ(longest, 15);
    EXPECT_EQ(kraftUnits(state.literalTree, spec.maxCode, 15), 1L << 15);
    // The costs must be those of the repaired lengths (and of the end-of-block code).
    uint32_t expectedBits = state.literalTree[kEndOfBlock].parentOrLength;
    uint32_t expectedFixed = 7;
    for (int index = 0; index < 21; ++index) {
        expectedBits += frequencies[index] * state.literalTree[index * 7].parentOrLength;
        expectedFixed += frequencies[index] * kFixedLiteralCodes[index * 7].parentOrLength;
    }
    EXPECT_EQ(state.dynamicBits, expectedBits);
    EXPECT_EQ(state.fixedBits, expectedFixed);
}

TEST(HuffmanTrees, CodeLengthCodeStaysWithin7Bits) {
    BlockFixture fixture;
    DeflateState& state = *fixture.state;
    std::vector<uint32_t> frequencies = fibonacci(kCodeLengthSymbols);
    for (int symbol = 0; symbol < kCodeLengthSymbols; ++symbol) {
        state.codeLengthTree[symbol].freqOrCode = static_cast<uint16_t>(frequencies[symbol]);
    }
    TreeSpec spec{
        state.codeLengthTree,   nullptr, kCodeLengthExtraBits.data(), 0, kCodeLengthSymbols,
        kMaxCodeLengthCodeBits, 0};
    makeTree(state, spec);
    int longest = 0;
    for (int symbol = 0; symbol < kCodeLengthSymbols; ++symbol) {
        EXPECT_GE(state.codeLengthTree[symbol].parentOrLength, 1);
        longest = std::max(longest, static_cast<int>(state.codeLengthTree[symbol].parentOrLength));
    }
    EXPECT_EQ(longest, 7);
    EXPECT_EQ(kraftUnits(state.codeLengthTree, spec.maxCode, 7), 1L << 7);
}

TEST(HuffmanTrees, TiesAreBrokenByDepthThenByHeapOrder) {
    {
        // Joined 1 + 1 ties with the leaves of 2: the shallower leaves join first, so every
        // length is 2 (joining the deeper node first would give 3, 3, 2, 1 at the same cost).
        BlockFixture fixture;
        DeflateState& state = *fixture.state;
        const uint16_t frequencies[4] = {1, 1, 2, 2};
        for (int symbol = 0; symbol < 4; ++symbol)
            state.distanceTree[symbol].freqOrCode = frequencies[symbol];
        TreeSpec spec = distanceTreeSpec(state);
        makeTree(state, spec);
        for (int symbol = 0; symbol < 4; ++symbol)
            EXPECT_EQ(state.distanceTree[symbol].parentOrLength, 2);
    }
    {
        // Three equal leaves: the heap takes out 0 and 2 first, so symbol 1 gets the 1-bit code.
        BlockFixture fixture;
        DeflateState& state = *fixture.state;
        for (int symbol = 0; symbol < 3; ++symbol) state.distanceTree[symbol].freqOrCode = 5;
        TreeSpec spec = distanceTreeSpec(state);
        makeTree(state, spec);
        EXPECT_EQ(state.distanceTree[0].parentOrLength, 2);
        EXPECT_EQ(state.distanceTree[1].parentOrLength, 1);
        EXPECT_EQ(state.distanceTree[2].parentOrLength, 2);
        EXPECT_EQ(state.distanceTree[1].freqOrCode, 0);     // code 0
        EXPECT_EQ(state.distanceTree[0].freqOrCode, 0b01);  // code 10, reversed
        EXPECT_EQ(state.distanceTree[2].freqOrCode, 0b11);  // code 11
    }
}

TEST(BlockChoice, EarlyEndNeedsFewerThanHalfMatches) {
    // 4096 items over 60000 input bytes: the estimate says the block compresses well, so the
    // share of matches alone decides. Exactly half are matches: the block goes on.
    for (uint32_t matches : {2048u, 2047u}) {
        BlockFixture fixture;
        DeflateState& state = *fixture.state;
        state.position = 60000;
        bool ended = false;
        for (uint32_t item = 0; item < kEstimateEvery; ++item) {
            ended = item % 2 == 1 && item / 2 < matches ? recordItem(state, 1, 255)
                                                        : recordItem(state, 0, 'a');
            if (item + 1 < kEstimateEvery) {
                ASSERT_FALSE(ended);
            }
        }
        EXPECT_EQ(state.matchCount, matches);
        EXPECT_EQ(ended, matches == 2047u);
    }
}

// The block type the estimates would choose, worked out on a copy of the state.
struct Estimates {
    uint32_t fixedBytes, dynamicBytes;
};
Estimates estimatesOf(const DeflateState& original) {
    auto copy = std::make_unique<DeflateState>(original);
    TreeSpec literal = literalTreeSpec(*copy), distance = distanceTreeSpec(*copy);
    makeTree(*copy, literal);
    makeTree(*copy, distance);
    makeCodeLengthTree(*copy, literal, distance);
    return {(copy->fixedBits + 10) / 8, (copy->dynamicBits + 10) / 8};
}

TEST(BlockChoice, EqualEstimatesChooseTheFixedCodes) {
    testing::Bytes random = testing::makeRandom(1 << 20, 3);
    size_t next = 0;
    int ties = 0, dynamicChosen = 0;
    for (int trial = 0; trial < 4000 && (ties < 3 || dynamicChosen < 3); ++trial) {
        BlockFixture fixture;
        DeflateState& state = *fixture.state;
        int alphabet = 2 + random[next++] % 40;
        int items = 20 + random[next++] % 200;
        for (int item = 0; item < items; ++item) {
            // Squaring skews the choice towards the first letters.
            int pick = random[next++] % alphabet;
            pick = pick * pick / alphabet;
            recordItem(state, 0, static_cast<uint32_t>('a' + pick));
        }
        Estimates estimates = estimatesOf(state);
        endBlock(state, nullptr, items, true);
        int type = (fixture.out[0] >> 1) & 3;
        if (estimates.fixedBytes <= estimates.dynamicBytes) {
            ASSERT_EQ(type, 1) << "fixed " << estimates.fixedBytes << " dynamic "
                               << estimates.dynamicBytes;
            if (estimates.fixedBytes == estimates.dynamicBytes) ++ties;
        } else {
            ASSERT_EQ(type, 2);
            ++dynamicChosen;
        }
    }
    EXPECT_GE(ties, 3);
    EXPECT_GE(dynamicChosen, 3);
}

}  // namespace
}  // namespace zipsalvage
