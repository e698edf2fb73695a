// Explode on hand-built imploded streams: both dictionaries, raw literals and the literal tree,
// long lengths and far distances, references before the start, and how bad or missing data ends.
#include <gtest/gtest.h>

#include <vector>

#include "extract/huffman_decoders.h"
#include "tests/legacy/bit_writer.h"
#include "tests/support/canonical_codes.h"
#include "tests/support/memory_source.h"

namespace zipsalvage::testing {
namespace {

constexpr uint16_t k8k = 0x0002;
constexpr uint16_t kLiteralTree = 0x0004;

using Lengths = std::vector<uint8_t>;

Lengths uniform(size_t symbols, uint8_t length) { return Lengths(symbols, length); }

// Distance lengths 1 to 10 for symbols 0 to 9, 15 for 10 to 19, 16 for the rest: complete,
// and deep enough for three table levels.
Lengths deepTree() {
    Lengths lengths;
    for (uint8_t length = 1; length <= 10; ++length) lengths.push_back(length);
    lengths.resize(20, 15);
    lengths.resize(64, 16);
    return lengths;
}

struct Tree {
    Lengths lengths;
    std::vector<uint32_t> codes;
};

// An imploded stream: tree descriptions (APPNOTE 5.3.4), then flag bits and codes, each code
// sent most significant bit first and inverted.
struct ImplodeStream {
    BitWriter writer;
    uint16_t flags;
    Tree literals, lengths, distances;

    ImplodeStream(int generalFlags, const Lengths& lengthTree, const Lengths& distanceTree,
                  const Lengths& literalTree = uniform(256, 8))
        : flags(static_cast<uint16_t>(generalFlags)) {
        if (flags & kLiteralTree) literals = describe(literalTree);
        lengths = describe(lengthTree);
        distances = describe(distanceTree);
    }

    Tree describe(const Lengths& list) {
        Bytes description;
        for (size_t start = 0; start < list.size();) {
            size_t run = 1;
            while (start + run < list.size() && run < 16 && list[start + run] == list[start]) ++run;
            description.push_back(static_cast<uint8_t>((run - 1) << 4 | (list[start] - 1)));
            start += run;
        }
        writer.byte(static_cast<uint8_t>(description.size() - 1));
        for (uint8_t byte : description) writer.byte(byte);
        return Tree{list, canonicalCodes(list)};
    }

    void code(const Tree& tree, uint32_t symbol) {
        for (int bit = tree.lengths[symbol] - 1; bit >= 0; --bit) {
            writer.put(((tree.codes[symbol] >> bit) & 1) ^ 1, 1);
        }
    }
    ImplodeStream& literal(uint8_t byte) {
        writer.put(1, 1);
        if (flags & kLiteralTree) {
            code(literals, byte);
        } else {
            writer.put(byte, 8);
        }
        return *this;
    }
    ImplodeStream& match(uint32_t distance, uint32_t length) {
        uint32_t lowBits = (flags & k8k) ? 7 : 6;
        uint32_t shortest = (flags & kLiteralTree) ? 3 : 2;
        writer.put(0, 1);
        writer.put((distance - 1) & ((1u << lowBits) - 1), lowBits);
        code(distances, (distance - 1) >> lowBits);
        uint32_t lengthSymbol = length - shortest;
        if (lengthSymbol >= 63) {
            code(lengths, 63);
            writer.put(lengthSymbol - 63, 8);
        } else {
            code(lengths, lengthSymbol);
        }
        return *this;
    }
};

struct Exploded {
    int result;
    Bytes output;
};

Exploded runExplode(const Bytes& data, int flags, uint32_t recordedSize,
                    int64_t compressedSize = -1, size_t available = SIZE_MAX) {
    DecoderBench bench(data, recordedSize, compressedSize);
    bench.input.available = available;
    int result = ranToEnd(explode(bench.context, static_cast<uint16_t>(flags))) ? 1 : 0;
    return {result, bench.output()};
}

void appendCopy(Bytes& bytes, size_t length, size_t distance) {
    for (size_t index = 0; index < length; ++index) bytes.push_back(bytes[bytes.size() - distance]);
}

TEST(Explode, LongestLengthAddsEightBitsInEveryVariant) {
    for (int flags : {0, 2, 4, 6}) {
        ImplodeStream stream(flags, uniform(64, 6), uniform(64, 6));
        uint32_t longest = 63 + 255 + ((flags & kLiteralTree) ? 3 : 2);  // 320 or 321
        stream.literal('a').literal('b').match(2, longest);
        Bytes expected{'a', 'b'};
        appendCopy(expected, longest, 2);
        Exploded run =
            runExplode(stream.writer.bytes, flags, static_cast<uint32_t>(expected.size()));
        EXPECT_EQ(run.result, 1) << flags;
        EXPECT_EQ(run.output, expected) << flags;
    }
}

TEST(Explode, FarthestDistanceFollowsTheDictionarySize) {
    for (int flags : {0, 2}) {
        uint32_t farthest = (flags & k8k) ? 8192 : 4096;  // symbol 63, low bits all ones
        ImplodeStream stream(flags, uniform(64, 6), uniform(64, 6));
        Bytes expected = makeRandom(farthest, 5);
        for (uint8_t byte : expected) stream.literal(byte);
        stream.match(farthest, 5);
        appendCopy(expected, 5, farthest);
        Exploded run =
            runExplode(stream.writer.bytes, flags, static_cast<uint32_t>(expected.size()));
        EXPECT_EQ(run.result, 1) << flags;
        EXPECT_EQ(run.output, expected) << flags;
    }
}

TEST(Explode, ReferenceBeforeTheStartGivesZerosUntilTheWindowIsWrittenOut) {
    ImplodeStream stream(0, uniform(64, 6), uniform(64, 6));
    stream.literal('a').literal('b').match(5, 4);
    Exploded run = runExplode(stream.writer.bytes, 0, 6);
    EXPECT_EQ(run.output, (Bytes{'a', 'b', 0, 0, 0, 'a'}));

    // After a full window the same reference reaches the window's old end: real output.
    ImplodeStream later(k8k, uniform(64, 6), uniform(64, 6));
    Bytes expected = makeText(32768, 3);
    for (uint8_t byte : expected) later.literal(byte);
    later.literal('x').match(5, 4);
    expected.push_back('x');
    appendCopy(expected, 4, 5);
    run = runExplode(later.writer.bytes, k8k, static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// Matches through codes of 1 to 16 bits, with the data padded to `dataLength` bytes.
Bytes deepStream(size_t dataLength, Bytes& expected) {
    ImplodeStream stream(k8k, deepTree(), deepTree());
    expected = makeText(9000, 11);
    for (uint8_t byte : expected) stream.literal(byte);
    for (uint32_t symbol : {0u, 1u, 9u, 10u, 19u, 20u, 40u, 63u}) {
        uint32_t distance = symbol * 128 + 1 + symbol % 128;
        uint32_t length = 3 + symbol % 61;
        stream.match(distance, length);
        appendCopy(expected, length, distance);
    }
    while (stream.writer.bytes.size() + 2 < dataLength) {
        uint8_t byte = static_cast<uint8_t>('a' + expected.size() % 26);
        stream.literal(byte);
        expected.push_back(byte);
    }
    stream.writer.bytes.resize(dataLength, 0);
    return stream.writer.bytes;
}

TEST(Explode, DeepCodesDecodeWithEitherDistanceRootWidth) {
    for (size_t dataLength : {200000u, 200001u}) {  // 7 lookup bits, then 8
        Bytes expected;
        Bytes data = deepStream(dataLength, expected);
        Exploded run = runExplode(data, k8k, static_cast<uint32_t>(expected.size()));
        EXPECT_EQ(run.result, 1) << dataLength;
        EXPECT_EQ(run.output, expected) << dataLength;
    }
}

TEST(Explode, BadTreesFailWithNothingWritten) {
    std::vector<Bytes> streams;
    // Over-filled: 16 symbols of length 4 when 10 remain.
    ImplodeStream overfilled(0, uniform(54, 6), uniform(64, 6));
    Bytes bytes = overfilled.writer.bytes;
    bytes[0] = static_cast<uint8_t>(bytes[0] + 1);  // one description byte more for the length tree
    bytes.insert(bytes.begin() + 1 + bytes[0], 0xF3);
    streams.push_back(bytes);
    // Under-filled: the length tree describes 63 symbols only.
    streams.push_back(ImplodeStream(0, uniform(63, 6), uniform(64, 6)).writer.bytes);
    // Over-subscribed: 64 codes of 5 bits.
    streams.push_back(ImplodeStream(0, uniform(64, 5), uniform(64, 6)).writer.bytes);
    // Incomplete: 64 codes of 7 bits.
    streams.push_back(ImplodeStream(0, uniform(64, 6), uniform(64, 7)).writer.bytes);
    for (size_t index = 0; index < streams.size(); ++index) {
        Bytes data = streams[index];
        data.resize(data.size() + 100, 0xAA);  // literal bits that would decode if accepted
        Exploded run = runExplode(data, 0, 50);
        EXPECT_EQ(run.result, 0) << index;
        EXPECT_TRUE(run.output.empty()) << index;
    }
}

TEST(Explode, DataRunningOutStopsAndFailsWithWhatWasDecoded) {
    ImplodeStream stream(kLiteralTree, uniform(64, 6), uniform(64, 6));
    size_t treeBytes = stream.writer.bytes.size();
    Bytes text = makeText(40000, 8);
    for (uint8_t byte : text) stream.literal(byte);  // 9 bits each
    Bytes data = stream.writer.bytes;
    size_t half = data.size() / 2;
    size_t whole = (half - treeBytes) * 8 / 9;  // literals entirely within the recorded data

    // The recorded size says the data ends half way; what follows in the archive is another
    // entry. Ten bytes of it may be read, then decoding stops instead of inventing output.
    Bytes followed(data.begin(), data.begin() + static_cast<long>(half));
    Bytes nextHeader = {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0, 1, 2, 3, 4, 5, 6};
    followed.insert(followed.end(), nextHeader.begin(), nextHeader.end());
    Exploded run = runExplode(followed, kLiteralTree, 40000, static_cast<int64_t>(half));
    EXPECT_EQ(run.result, 0);
    ASSERT_GE(run.output.size(), whole);
    EXPECT_LE(run.output.size(), whole + 4 * 321);  // a few symbols decoded from the 10 bytes
    EXPECT_EQ(Bytes(run.output.begin(), run.output.begin() + static_cast<long>(whole)),
              Bytes(text.begin(), text.begin() + static_cast<long>(whole)));

    // A truncated archive: every byte up to the cut, then nothing.
    run = runExplode(data, kLiteralTree, 40000, -1, 5000);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output.size(), (5000 - treeBytes) * 8 / 9);
    EXPECT_EQ(run.output, Bytes(text.begin(), text.begin() + static_cast<long>(run.output.size())));

    // A 4 GiB recorded size over the same data ends with the data, not at 4 GiB.
    run = runExplode(data, kLiteralTree, 0xFFFFFFFFu);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text);
}

TEST(Explode, DataLeftUnreadAfterTheOutputFails) {
    ImplodeStream stream(0, uniform(64, 6), uniform(64, 6));
    Bytes trees = stream.writer.bytes;
    EXPECT_EQ(runExplode(trees, 0, 0).result, 1);  // empty entry: the trees are still read
    Bytes padded = trees;
    padded.resize(trees.size() + 10, 0);
    EXPECT_EQ(runExplode(padded, 0, 0).result, 1);
    padded.push_back(0);
    Exploded run = runExplode(padded, 0, 0);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output.empty());
}

TEST(Explode, CancelStopsWithoutThePartWindow) {
    ImplodeStream stream(0, uniform(64, 6), uniform(64, 6));
    for (int index = 0; index < 100; ++index) stream.literal('q');
    DecoderBench bench(stream.writer.bytes, 100);
    requestCancel(bench.flags);
    EXPECT_FALSE(ranToEnd(explode(bench.context, 0)));
    EXPECT_TRUE(bench.output().empty());
}

}  // namespace
}  // namespace zipsalvage::testing
