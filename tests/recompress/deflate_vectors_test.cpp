// Exact outputs and block structure of the encoder for inputs whose encoding is fully known.
#include <gtest/gtest.h>

#include "tests/recompress/block_reader.h"
#include "tests/recompress/deflate_harness.h"

namespace zipsalvage::testing {
namespace {

// Every trigram of a 16-letter alphabet exactly once (a de Bruijn sequence B(16, 3) opened
// out): skewed enough for dynamic codes, yet no 3-byte string repeats, so no match exists.
Bytes trigramsOnce() {
    const int letters = 16;
    Bytes sequence;
    std::vector<int> word(3 * 2 + 1, 0);
    auto extend = [&](auto&& self, int step, int period) -> void {
        if (step > 3) {
            if (3 % period == 0) {
                for (int index = 1; index <= period; ++index) {
                    sequence.push_back(static_cast<uint8_t>('a' + word[index]));
                }
            }
            return;
        }
        word[step] = word[step - period];
        self(self, step + 1, period);
        for (int letter = word[step - period] + 1; letter < letters; ++letter) {
            word[step] = letter;
            self(self, step + 1, step);
        }
    };
    extend(extend, 1, 1);
    sequence.push_back(sequence[0]);
    sequence.push_back(sequence[1]);
    return sequence;
}

TEST(DeflateVectors, ThousandEqualBytesGiveTheKnownElevenBytes) {
    DeflateRun run = deflateBytes(Bytes(1000, 0x61));
    ASSERT_TRUE(run.completed);
    EXPECT_EQ(run.output,
              (Bytes{0x4B, 0x4C, 0x1C, 0x05, 0xA3, 0x60, 0x14, 0x0C, 0x77, 0x00, 0x00}));
    EXPECT_EQ(run.bytesWritten, 11u);
    EXPECT_EQ(run.crc, crc32Of(Bytes(1000, 0x61)));

    // Two literals, then distance 1 with 258 three times (symbol 285) and 224.
    DeflateStructure structure = readDeflateStructure(run.output);
    ASSERT_TRUE(structure.ok) << structure.error;
    ASSERT_EQ(structure.blocks.size(), 1u);
    const BlockInfo& block = structure.blocks[0];
    EXPECT_EQ(block.literals, 2);
    ASSERT_EQ(block.matches, 4);
    EXPECT_EQ(block.lengthSymbol285, 3);
    EXPECT_EQ(block.matchList[3].length, 224);
    for (const auto& match : block.matchList) EXPECT_EQ(match.distance, 1u);
}

TEST(DeflateVectors, EmptyInputIsOneFixedBlockWithOnlyTheEndCode) {
    DeflateRun run = deflateBytes({});
    ASSERT_TRUE(run.completed);
    EXPECT_EQ(run.output, (Bytes{0x03, 0x00}));
    EXPECT_EQ(run.crc, 0u);
}

TEST(DeflateVectors, HundredDistinctLowBytesGiveOneFixedBlockOf102Bytes) {
    Bytes input;
    for (int value = 0; value < 100; ++value) input.push_back(static_cast<uint8_t>(value));
    DeflateRun run = deflateBytes(input);
    ASSERT_TRUE(run.completed);
    // 3 header bits + 100 eight-bit literals + the 7-bit end code = 810 bits, padded.
    EXPECT_EQ(run.output.size(), 102u);
    DeflateStructure structure = readDeflateStructure(run.output);
    ASSERT_TRUE(structure.ok) << structure.error;
    ASSERT_EQ(structure.blocks.size(), 1u);
    EXPECT_TRUE(structure.blocks[0].final);
    EXPECT_EQ(structure.blocks[0].type, 1);
    EXPECT_EQ(structure.blocks[0].literals, 100);
    EXPECT_EQ(structure.data, input);
}

TEST(DeflateVectors, RandomDataIsStoredInBlocksOf32767Items) {
    Bytes input = makeRandom(300000, 7);
    DeflateRun run = deflateBytes(input);
    ASSERT_TRUE(run.completed);
    DeflateStructure structure = readDeflateStructure(run.output);
    ASSERT_TRUE(structure.ok) << structure.error;
    EXPECT_EQ(structure.data, input);
    EXPECT_EQ(structure.bytesUsed, run.output.size());
    int stored = 0;
    for (size_t index = 0; index + 1 < structure.blocks.size(); ++index) {
        const BlockInfo& block = structure.blocks[index];
        if (block.type == 0) {
            ++stored;
            // 32767 items, a few of them short matches: a little more than 32767 bytes.
            EXPECT_GE(block.bytes, 32767u);
            EXPECT_LT(block.bytes, 32767u + 1000u);
        } else {
            // The block's start slid out of the window, so it could not be stored.
            EXPECT_EQ(block.items(), 32767);
        }
    }
    EXPECT_GE(stored, 6);
    EXPECT_LT(run.output.size(), input.size() + input.size() / 100);
}

TEST(DeflateVectors, BlockEndsAt4096ItemsWhenItCompressesWell) {
    // Units of three random bytes and a fixed 20-byte phrase: about one match per two literals,
    // and the matches cover most of the input, so the estimate ends the block early.
    Bytes random = makeRandom(3 * 4000, 11);
    const char* phrase = "ABCDEFGHIJKLMNOPQRST";
    Bytes input;
    for (int unit = 0; unit < 4000; ++unit) {
        input.insert(input.end(), random.begin() + 3 * unit, random.begin() + 3 * unit + 3);
        input.insert(input.end(), phrase, phrase + 20);
    }
    DeflateStructure structure = readDeflateStructure(deflateBytes(input).output);
    ASSERT_TRUE(structure.ok) << structure.error;
    EXPECT_EQ(structure.data, input);
    ASSERT_GE(structure.blocks.size(), 2u);
    EXPECT_EQ(structure.blocks[0].items(), 4096);
    EXPECT_LT(structure.blocks[0].matches * 2, 4096);
}

TEST(DeflateVectors, DynamicBlockWithoutMatchesSendsTwoDistanceCodes) {
    Bytes input = trigramsOnce();
    ASSERT_EQ(input.size(), 4098u);
    DeflateStructure structure = readDeflateStructure(deflateBytes(input).output);
    ASSERT_TRUE(structure.ok) << structure.error;
    EXPECT_EQ(structure.data, input);
    ASSERT_EQ(structure.blocks.size(), 1u);
    const BlockInfo& block = structure.blocks[0];
    EXPECT_EQ(block.type, 2);
    EXPECT_EQ(block.matches, 0);
    EXPECT_EQ(block.distanceLengths, (std::vector<int>{1, 1}));
    EXPECT_TRUE(block.codesComplete);
}

// A distinctive 12-byte string in filler made of bytes 0-15: no filler trigram can hash like
// a trigram ending in a byte with bit 4 set, so the string's chain holds only its copies.
Bytes fillerWithString(size_t firstAt, size_t secondAt, size_t decoyAt) {
    Bytes input = makeRandom(secondAt + 100, 5);
    for (uint8_t& byte : input) byte &= 0x0F;
    auto put = [&](size_t at, size_t count) {
        for (size_t index = 0; index < count; ++index)
            input[at + index] = static_cast<uint8_t>(0x30 + index);
    };
    put(firstAt, 12);
    put(secondAt, 12);
    if (decoyAt != 0) put(decoyAt, 5);
    return input;
}

const BlockInfo::Match* matchAt(const DeflateStructure& structure, size_t at) {
    for (const BlockInfo& block : structure.blocks) {
        for (const auto& match : block.matchList) {
            if (match.at == at) return &match;
        }
    }
    return nullptr;
}

TEST(DeflateVectors, FarthestDistanceIs32506ForTheChainHeadOnly) {
    {
        DeflateStructure structure =
            readDeflateStructure(deflateBytes(fillerWithString(1000, 1000 + 32506, 0)).output);
        ASSERT_TRUE(structure.ok);
        const BlockInfo::Match* match = matchAt(structure, 1000 + 32506);
        ASSERT_NE(match, nullptr);
        EXPECT_EQ(match->distance, 32506u);
        EXPECT_GE(match->length, 12);
    }
    {
        DeflateStructure structure =
            readDeflateStructure(deflateBytes(fillerWithString(1000, 1000 + 32507, 0)).output);
        ASSERT_TRUE(structure.ok);
        EXPECT_EQ(matchAt(structure, 1000 + 32507), nullptr);
    }
    {
        // A nearer 5-byte copy heads the chain; the full copy, exactly 32506 back, is then a
        // later candidate and out of reach.
        DeflateStructure structure =
            readDeflateStructure(deflateBytes(fillerWithString(1000, 1000 + 32506, 20000)).output);
        ASSERT_TRUE(structure.ok);
        const BlockInfo::Match* match = matchAt(structure, 1000 + 32506);
        ASSERT_NE(match, nullptr);
        EXPECT_EQ(match->distance, 32506u - 19000u);
        EXPECT_LT(match->length, 12);
    }
}

TEST(DeflateVectors, EqualMatchLengthsTakeTheNearerOccurrence) {
    Bytes input = fillerWithString(1000, 9000, 0);
    for (size_t index = 0; index < 12; ++index)
        input[5000 + index] = static_cast<uint8_t>(0x30 + index);
    // Make the copies at 1000 and 5000 equally long against the one at 9000.
    input[1012] = input[5012] = 0xEE;
    input[9012] = 0xDD;
    DeflateStructure structure = readDeflateStructure(deflateBytes(input).output);
    ASSERT_TRUE(structure.ok);
    const BlockInfo::Match* match = matchAt(structure, 9000);
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->distance, 4000u);
}

}  // namespace
}  // namespace zipsalvage::testing

namespace zipsalvage::testing {
namespace {

// Whole outputs for larger inputs, pinned by size and CRC-32. Every choice of the encoder is
// fixed (tie-breaks, block ends, block types, code-length runs), and most of them cannot be
// seen by a decoder: this catches a change to any of them. Recorded from this encoder once the
// exact vectors above held and zlib rebuilt every input.
TEST(DeflateVectors, LargerOutputsArePinned) {
    struct Pinned {
        const char* what;
        Bytes input;
        size_t size;
        uint32_t crc;
    };
    Bytes mixed = makeText(150000, 21);
    Bytes random = makeRandom(70000, 22);
    mixed.insert(mixed.end(), random.begin(), random.end());
    for (size_t index = 0; index < 40000; ++index)
        mixed.push_back(static_cast<uint8_t>(index * index >> 7));
    std::vector<Pinned> cases = {
        {"text", makeText(200000, 20), 25228, 0xA1A47CA0},
        {"mixed", mixed, 107761, 0x382AB431},
    };
    for (const Pinned& pinned : cases) {
        DeflateRun run = deflateBytes(pinned.input);
        EXPECT_EQ(run.output.size(), pinned.size) << pinned.what;
        EXPECT_EQ(crc32Of(run.output), pinned.crc) << pinned.what;
    }
}

}  // namespace
}  // namespace zipsalvage::testing
