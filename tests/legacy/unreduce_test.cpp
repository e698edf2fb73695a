// Unreduce on hand-built streams: follower sets, the 0x90 expansion per factor, copies that
// reach before the start or across the window's end, and how running out of data ends it.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "extract/methods.h"
#include "tests/legacy/bit_writer.h"
#include "tests/support/memory_source.h"

namespace zipsalvage::testing {
namespace {

constexpr uint8_t kMarker = 0x90;

// Follower sets first (counts from byte value 255 down, 6 bits, then 8 bits per follower),
// then byte values; with no followers for the last byte, each value is 8 plain bits.
struct ReduceStream {
    BitWriter writer;

    explicit ReduceStream(const std::map<int, Bytes>& sets = {}) {
        for (int byteValue = 255; byteValue >= 0; --byteValue) {
            auto found = sets.find(byteValue);
            Bytes followers = found == sets.end() ? Bytes{} : found->second;
            writer.put(static_cast<uint32_t>(followers.size()), 6);
            for (uint8_t follower : followers) writer.put(follower, 8);
        }
    }
    ReduceStream& plain(std::initializer_list<uint32_t> values) {
        for (uint32_t value : values) writer.put(value, 8);
        return *this;
    }
    ReduceStream& plain(const Bytes& values) {
        for (uint8_t value : values) writer.put(value, 8);
        return *this;
    }
};

struct Unreduced {
    int result;
    Bytes output;
};

Unreduced runUnreduce(const Bytes& data, uint32_t recordedSize, int factor,
                      size_t available = SIZE_MAX) {
    DecoderBench bench(data, recordedSize);
    bench.input.available = available;
    int result = ranToEnd(unreduce(bench.context, factor)) ? 1 : 0;
    return {result, bench.output()};
}

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<uint8_t>(index % 251 == 0x90 ? 1 : index % 251);
    }
    return bytes;
}

// What a copy must produce, for streams whose copies never reach before the start.
void appendCopy(Bytes& bytes, size_t length, size_t distance) {
    for (size_t index = 0; index < length; ++index) bytes.push_back(bytes[bytes.size() - distance]);
}

TEST(Unreduce, MarkerFollowedByZeroIsTheMarkerItself) {
    ReduceStream stream;
    stream.plain({'A', kMarker, 0, 'B'});
    Unreduced run = runUnreduce(stream.writer.bytes, 3, 4);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, (Bytes{'A', kMarker, 'B'}));
}

TEST(Unreduce, CopyLengthAndDistanceFollowTheFactor) {
    // Factor 1: V = 0x81 gives length 1 (copy 4) and distance 256 + 5 + 1 = 262.
    Bytes expected = pattern(300);
    ReduceStream factorOne;
    factorOne.plain(expected).plain({kMarker, 0x81, 0x05});
    appendCopy(expected, 4, 262);
    Unreduced run = runUnreduce(factorOne.writer.bytes, 304, 1);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);

    // Factor 4: V = 0x1F has the full length mask, so a further byte (10) adds to the length:
    // copy 15 + 10 + 3 = 28 bytes from distance 256 + 9 + 1 = 266.
    expected = pattern(300);
    ReduceStream factorFour;
    factorFour.plain(expected).plain({kMarker, 0x1F, 10, 9});
    appendCopy(expected, 28, 266);
    run = runUnreduce(factorFour.writer.bytes, 328, 4);
    EXPECT_EQ(run.output, expected);

    // Factor 2: length mask 0x3F, two distance bits; distance 1 repeats the last byte.
    expected = Bytes{'x'};
    ReduceStream factorTwo;
    factorTwo.plain({'x', kMarker, 0x3F, 0, 0});
    appendCopy(expected, 66, 1);
    run = runUnreduce(factorTwo.writer.bytes, 67, 2);
    EXPECT_EQ(run.output, expected);
}

TEST(Unreduce, CopyReachingBeforeTheStartYieldsZeros) {
    ReduceStream stream;
    stream.plain({1, 2, 3, 4, kMarker, 0x07, 0x07});  // factor 4: copy 10 from distance 8
    Unreduced run = runUnreduce(stream.writer.bytes, 14, 4);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, (Bytes{1, 2, 3, 4, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0}));
}

TEST(Unreduce, CopyAcrossTheWindowEndContinuesAtItsStart) {
    Bytes expected = pattern(16380);
    ReduceStream stream;
    stream.plain(expected).plain({kMarker, 0x07, 99});  // factor 4: copy 10 from distance 100
    appendCopy(expected, 10, 100);
    expected.push_back('z');
    stream.plain({'z'});
    Unreduced run = runUnreduce(stream.writer.bytes, static_cast<uint32_t>(expected.size()), 4);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

TEST(Unreduce, LastCopyIsKeptWholePastTheRecordedSize) {
    ReduceStream stream;
    stream.plain({'a', kMarker, 0x0F, 255, 0, 'b'});  // factor 4: copy 273 from distance 1
    Unreduced run = runUnreduce(stream.writer.bytes, 5, 4);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, Bytes(274, 'a'));
}

TEST(Unreduce, FollowerSetsSelectTheNextByteValue) {
    ReduceStream stream({{0, Bytes{'x', 'y', 'z'}}, {'x', Bytes{'q'}}});
    stream.writer.put(0, 1).put(0, 2);    // after byte value 0: follower 0 of 3 ('x')
    stream.writer.put(0, 1).put(0, 1);    // after 'x': follower 0 of 1 ('q')
    stream.writer.put('r', 8);            // 'q' has no followers: 8 plain bits
    stream.writer.put('x', 8);            // 'r' has none either
    stream.writer.put(1, 1).put('!', 8);  // after 'x': a flag of 1 means 8 plain bits
    Unreduced run = runUnreduce(stream.writer.bytes, 5, 3);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, (Bytes{'x', 'q', 'r', 'x', '!'}));
}

TEST(Unreduce, FollowerIndexPastTheCountReadsZeroWhateverARunBeforeLeft) {
    // A first run fills the set of byte value 0 with 63 followers, all 'f'.
    ReduceStream first({{0, Bytes(63, 'f')}});
    first.writer.put(0, 1).put(3, 6);
    Unreduced run = runUnreduce(first.writer.bytes, 1, 1);
    ASSERT_EQ(run.output, Bytes{'f'});
    // Then a damaged stream: one follower, but index bit 1.
    ReduceStream second({{0, Bytes{'g'}}});
    second.writer.put(0, 1).put(1, 1);
    run = runUnreduce(second.writer.bytes, 1, 1);
    EXPECT_EQ(run.output, Bytes{0});
}

TEST(Unreduce, DataUsedUpKeepsTheWholeWindowsOnly) {
    ReduceStream stream;
    Bytes bytes = pattern(40000);
    stream.plain(bytes);
    Unreduced run = runUnreduce(stream.writer.bytes, 50000, 4);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, Bytes(bytes.begin(), bytes.begin() + 32768));
}

TEST(Unreduce, ArchiveEndingInsideTheDataFailsWithWhatWasDecoded) {
    ReduceStream stream;
    Bytes bytes = pattern(40000);
    stream.plain(bytes);
    // 192 bytes of empty follower sets, then 8-bit values; 20000 bytes can be read.
    Unreduced run = runUnreduce(stream.writer.bytes, 40000, 4, 20000);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, Bytes(bytes.begin(), bytes.begin() + 20000 - 192));

    // A 4 GiB recorded size must not be decoded from nothing.
    run = runUnreduce(stream.writer.bytes, 0xFFFFFFFFu, 4, 5000);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output.size(), 5000u - 192);
}

TEST(Unreduce, CancelStopsWithFailure) {
    ReduceStream stream;
    stream.plain(pattern(100));
    DecoderBench bench(stream.writer.bytes, 100);
    requestCancel(bench.flags);
    EXPECT_FALSE(ranToEnd(unreduce(bench.context, 4)));
    EXPECT_TRUE(bench.output().empty());
}

}  // namespace
}  // namespace zipsalvage::testing
