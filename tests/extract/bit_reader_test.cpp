// The bit reader of every decoder: the bit order, and how far each way of filling it reads.
#include "extract/bit_reader.h"

#include <gtest/gtest.h>

#include "tests/support/memory_source.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::DecoderBench;

DecoderState stateOver(ExtractContext& context) {
    DecoderState state{};
    state.context = &context;
    return state;
}

// RFC 1951 3.1.1: bits leave from the low end, and a code that spans bytes takes the low byte's
// high bits first. The same for the 32-bit reader (PKZIP 1.x methods) and the 64-bit one.
template <typename Word>
void expectLowBitsFirst() {
    LsbBits<Word> bits;
    appendByte(bits, 0xB5);
    appendByte(bits, 0x3C);
    EXPECT_EQ(peekBits(bits, 3), 0xB5u & 7);
    dropBits(bits, 3);
    EXPECT_EQ(peekBits(bits, 9), (0x3CB5u >> 3) & 0x1FF);
    dropBits(bits, 9);
    EXPECT_EQ(bits.count, 4u);
    EXPECT_EQ(peekBits(bits, 4), 0x3CB5u >> 12);
    appendByte(bits, 0xFF);
    EXPECT_EQ(peekBits(bits, 12), 0xFF3u) << "a byte goes in right above the bits held";
    EXPECT_EQ(peekBits(bits, 16), 0xFF3u) << "nothing above them";
}

TEST(BitOrder, CodesSpanBytesLowByteFirstInBothWidths) {
    expectLowBitsFirst<uint32_t>();
    expectLowBitsFirst<uint64_t>();
}

// Explode's reader: `delivered` must stay where the bits used so far end.
TEST(ExactBits, ReadsOnlyTheBytesACodeNeeds) {
    Bytes data = testing::makeRandom(20, 3);
    DecoderBench bench(data, 0);
    ExtractContext& context = bench.context;
    LegacyBits bits;
    uint16_t inByte = 0;
    ASSERT_TRUE(needBitsExactly(context, inByte, bits, 9));
    EXPECT_EQ(context.delivered, 2u);
    EXPECT_EQ(peekBits(bits, 16), data[0] | (data[1] << 8));
    dropBits(bits, 9);
    ASSERT_TRUE(needBitsExactly(context, inByte, bits, 7));
    EXPECT_EQ(context.delivered, 2u) << "the 7 bits are held: no read";
    ASSERT_TRUE(needBitsExactly(context, inByte, bits, 8));
    EXPECT_EQ(context.delivered, 3u);
}

TEST(ExactBits, RunIntoTheAllowanceAndNoFurther) {
    DecoderBench bench(testing::makeRandom(30, 4), 0, 4);
    ExtractContext& context = bench.context;
    LegacyBits bits;
    uint16_t inByte = 0;
    int bytesTaken = 0;
    while (needBitsExactly(context, inByte, bits, 8)) {
        dropBits(bits, 8);
        ++bytesTaken;
    }
    EXPECT_EQ(bytesTaken, 4 + kDataAllowanceBytes);
    EXPECT_EQ(bits.count, 0u) << "a failed read adds no bits";
    EXPECT_TRUE(context.endOfData);
}

// Unshrink and unreduce: read ahead while the data's end is far, exactly near it.
TEST(ReadAheadBits, FarFromTheEndOneRefillServesSeveralTakes) {
    Bytes data = testing::makeRandom(100, 5);
    DecoderBench bench(data, 0);
    DecoderState state = stateOver(bench.context);
    LegacyBits bits;
    uint32_t value = 0;
    ASSERT_EQ(takeBits(state, bits, 5, value), BitsRead::kTaken);
    EXPECT_EQ(value, data[0] & 31u);
    EXPECT_EQ(bench.context.delivered, 4u);
    ASSERT_EQ(takeBits(state, bits, 16, value), BitsRead::kTaken);
    EXPECT_EQ(value, ((data[0] | data[1] << 8 | data[2] << 16) >> 5) & 0xFFFF);
    EXPECT_EQ(bench.context.delivered, 4u) << "served from the read-ahead";
}

TEST(ReadAheadBits, NearTheEndNeverReadsPastTheData) {
    // The allowance bytes are there to read, but these methods end at the recorded data.
    Bytes data = testing::makeRandom(30, 6);
    DecoderBench bench(data, 0, 6);
    DecoderState state = stateOver(bench.context);
    LegacyBits bits;
    uint32_t value = 0;
    for (size_t index = 0; index < 5; ++index) {
        ASSERT_EQ(takeBits(state, bits, 8, value), BitsRead::kTaken) << index;
        EXPECT_EQ(value, data[index]);
    }
    EXPECT_EQ(takeBits(state, bits, 12, value), BitsRead::kDataUsedUp)
        << "12 bits asked for, 8 left in the data";
    EXPECT_EQ(bench.context.delivered, 5u) << "a refused take reads nothing";
    ASSERT_EQ(takeBits(state, bits, 8, value), BitsRead::kTaken);
    EXPECT_EQ(value, data[5]);
    EXPECT_EQ(takeBits(state, bits, 1, value), BitsRead::kDataUsedUp);
    EXPECT_EQ(bench.context.delivered, 6u);
    EXPECT_FALSE(bench.context.endOfData);
}

TEST(ReadAheadBits, ATruncatedArchiveFailsAtTheTakeThatNeedsTheMissingBytes) {
    // 2000 bytes recorded; the archive ends 2 bytes into the second 1024-byte block, which
    // arrives short. The read-ahead meets the failure early and keeps it for later.
    DecoderBench bench(testing::makeRandom(2000, 7), 0);
    bench.input.available = 1026;
    DecoderState state = stateOver(bench.context);
    LegacyBits bits;
    uint32_t value = 0;
    int bytesTaken = 0;
    while (takeBits(state, bits, 8, value) == BitsRead::kTaken) ++bytesTaken;
    EXPECT_EQ(bytesTaken, 1026);
    EXPECT_EQ(takeBits(state, bits, 8, value), BitsRead::kArchiveEnded);
    EXPECT_EQ(bench.context.delivered, 1026u);
}

// Inflate's reader: reading ahead only within the current block, filler past the data.
TEST(InflateReader, TopUpTakesOnlyBytesTheBlockAlreadyHolds) {
    DecoderBench bench(testing::makeRandom(3, 8), 0);
    ExtractContext& context = bench.context;
    InflateBits bits;
    needBits(bits, context, 1);
    EXPECT_EQ(context.delivered, 1u) << "a request that must refill reads only what it asks for";
    topUpBits(bits, context);
    EXPECT_EQ(context.delivered, 3u) << "the rest of the block, already here";
    EXPECT_EQ(bits.count, 24u);
    size_t sourceOffset = bench.input.offset;
    dropBits(bits, 16);
    topUpBits(bits, context);
    EXPECT_EQ(bits.count, 8u);
    EXPECT_EQ(bench.input.offset, sourceOffset) << "no refill";
    EXPECT_FALSE(context.endOfData);
}

TEST(InflateReader, FillerLiesAboveTheRealBitsAndIsDetectedOnceUsed) {
    // Two bytes of data and nothing after them: the archive ends with the entry.
    Bytes data = {0x12, 0x34};
    DecoderBench bench(data, 0);
    ExtractContext& context = bench.context;
    InflateBits bits;
    needBits(bits, context, 16);
    EXPECT_EQ(bits.fillerBits, 0u);
    dropBits(bits, 3);
    needBits(bits, context, 16);
    EXPECT_EQ(bits.fillerBits, 8u);
    EXPECT_EQ(bits.count, 21u);
    EXPECT_EQ(peekBits(bits, 13), 0x3412u >> 3) << "the real bits are unchanged";
    dropBits(bits, 13);
    EXPECT_FALSE(usedFiller(bits)) << "every real bit used, no filler yet";
    dropBits(bits, 1);
    EXPECT_TRUE(usedFiller(bits));
}

}  // namespace
}  // namespace zipsalvage
