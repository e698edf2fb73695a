// The entry byte source: block sizes, the 10-byte allowance, truncation and the bit bound.
#include <gtest/gtest.h>

#include <vector>

#include "extract/extract_context.h"
#include "tests/support/memory_source.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::DecoderBench;

// Records the size of every block the source is asked for.
struct CountingSource {
    explicit CountingSource(Bytes data) : bytes(std::move(data)) {}
    Bytes bytes;
    size_t offset = 0;
    std::vector<int32_t> requests;
    static bool read(void* owner, uint8_t* destination, int32_t count) {
        auto& self = *static_cast<CountingSource*>(owner);
        self.requests.push_back(count);
        for (int32_t index = 0; index < count; ++index) {
            if (self.offset >= self.bytes.size()) return false;
            destination[index] = self.bytes[self.offset++];
        }
        return true;
    }
};

ExtractContext contextOver(CountingSource& source, RunFlags& flags, uint32_t compressedSize) {
    ExtractContext context;
    initExtractContext(context, kInvalidFile, compressedSize, 0, false, "", nullptr,
                       EntryByteSource{&source, CountingSource::read, nullptr}, flags);
    return context;
}

TEST(EntryBytes, BlocksNeverReachPastTheDataThenSingleBytesUpToTen) {
    CountingSource source(testing::makeRandom(200, 1));
    RunFlags flags;
    ExtractContext context = contextOver(source, flags, 100);
    uint16_t byte = 0xFFFF;
    for (int call = 0; call < 110; ++call) {
        ASSERT_EQ(readEntryByte(context, byte), kByteDelivered) << call;
        EXPECT_EQ(byte, source.bytes[static_cast<size_t>(call)]);
    }
    byte = 0x1234;
    EXPECT_EQ(readEntryByte(context, byte), kNoByte);
    EXPECT_EQ(byte, 0x1234) << "past the allowance the destination keeps its value";
    EXPECT_TRUE(context.endOfData);
    std::vector<int32_t> expected{100, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(source.requests, expected);
}

TEST(EntryBytes, LargeDataComesInBlocksOf1024) {
    CountingSource source(testing::makeRandom(3000, 2));
    RunFlags flags;
    ExtractContext context = contextOver(source, flags, 3000);
    uint16_t byte = 0;
    for (int call = 0; call < 3000; ++call) ASSERT_EQ(readEntryByte(context, byte), kByteDelivered);
    std::vector<int32_t> expected{1024, 1024, 952};
    EXPECT_EQ(source.requests, expected);
}

TEST(EntryBytes, ABlockTheArchiveCannotFillIsNotDeliveredAtAll) {
    CountingSource source(testing::makeRandom(2300, 3));
    RunFlags flags;
    ExtractContext context = contextOver(source, flags, 2500);
    uint16_t byte = 0;
    for (int call = 0; call < 2048; ++call) ASSERT_EQ(readEntryByte(context, byte), kByteDelivered);
    byte = 0x55;
    EXPECT_EQ(readEntryByte(context, byte), kNoByte);
    EXPECT_EQ(byte, 0) << "a failed refill stores 0";
    EXPECT_EQ(context.delivered, 2048u);
    EXPECT_EQ(readEntryByte(context, byte), kNoByte);
}

TEST(EntryBytes, NegativeDataLengthOfAnEncryptedEntry) {
    // Compressed size 5 includes the 12-byte encryption header: dataLength is -7, so three
    // single bytes of the allowance remain and no bit is available for a bounded method.
    CountingSource source(testing::makeRandom(64, 4));
    RunFlags flags;
    ExtractContext context;
    uint8_t header[12] = {};
    initExtractContext(context, kInvalidFile, 5, 0, true, "pw", header,
                       EntryByteSource{&source, CountingSource::read, nullptr}, flags);
    EXPECT_EQ(context.dataLength, -7);
    DecoderState state;
    state.context = &context;
    EXPECT_TRUE(outOfBits(state, 0, 1));
    uint16_t byte = 0;
    int delivered = 0;
    while (readEntryByte(context, byte) == kByteDelivered) ++delivered;
    EXPECT_EQ(delivered, 3);
}

TEST(EntryBytes, OutOfBitsCountsOnlyTheData) {
    CountingSource source(testing::makeRandom(64, 5));
    RunFlags flags;
    ExtractContext context = contextOver(source, flags, 2);
    DecoderState state;
    state.context = &context;
    EXPECT_FALSE(outOfBits(state, 0, 16));
    EXPECT_TRUE(outOfBits(state, 0, 17));
    EXPECT_FALSE(outOfBits(state, 3, 19));
    EXPECT_TRUE(outOfBits(state, 0, -1));
}

TEST(EntryBytes, FlushWindowWritesAtOutputPosAndAdvancesEvenWhenDisabled) {
    DecoderBench bench({}, 0);
    auto* state = static_cast<DecoderState*>(allocBlock(sizeof(DecoderState)));
    ASSERT_NE(state, nullptr);
    state->context = &bench.context;
    state->outputPos = 0;
    for (uint32_t index = 0; index < 10; ++index)
        state->window[index] = static_cast<uint8_t>('a' + index);
    EXPECT_EQ(flushWindow(*state, 4), 4u);
    bench.context.outputEnabled = false;
    EXPECT_EQ(flushWindow(*state, 3), 0u);
    bench.context.outputEnabled = true;
    EXPECT_EQ(flushWindow(*state, 2), 2u);
    EXPECT_EQ(state->outputPos, 9u);
    Bytes written = bench.output();
    ASSERT_EQ(written.size(), 9u);
    EXPECT_EQ(written[0], 'a');
    EXPECT_EQ(written[7], 'a') << "the third flush lands at offset 7";
    freeBlock(state);
}

TEST(Dispatch, MethodSevenFailsAndUnknownMethodsSucceedEmpty) {
    for (int method : {7, 97}) {
        testing::TempDir dir;
        FileHandle output = createReadWrite(dir.file("out").c_str());
        uint8_t header[30] = {};
        header[8] = static_cast<uint8_t>(method);
        testing::MemorySource memory{testing::makeRandom(50, 6)};
        RunFlags flags;
        int result = ranToEnd(extractEntry(header, RecordedSizes{50, 0}, output, false, "", nullptr,
                                           memory.source(), flags))
                         ? 1
                         : 0;
        EXPECT_EQ(result, method == 7 ? 0 : 1);
        EXPECT_EQ(fileSize(output), 0);
        EXPECT_EQ(memory.offset, 0u) << "nothing is read for these methods";
        closeFile(output);
    }
}

// The sizes reach the method as recorded: cut to 32 bits, the compressed size below would say
// the 3000 bytes are the whole entry, and a truncated entry would pass as complete.
TEST(Dispatch, ASizePast4GiBReachesTheMethodWhole) {
    testing::TempDir dir;
    FileHandle output = createReadWrite(dir.file("out").c_str());
    uint8_t header[30] = {};  // method 0, stored
    Bytes data = testing::makeRandom(3000, 8);
    testing::MemorySource memory{data};
    RunFlags flags;
    const uint64_t recorded = (uint64_t{1} << 32) + data.size();
    DecodeResult result = extractEntry(header, RecordedSizes{recorded, recorded}, output, false, "",
                                       nullptr, memory.source(), flags);
    EXPECT_EQ(result.end, DecodeEnd::kInputEnded);
    EXPECT_LE(result.consumed, data.size());
    closeFile(output);
}

}  // namespace
}  // namespace zipsalvage
