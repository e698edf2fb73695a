// The archive reader: buffering, step-back, the resume mark and the progress values.
#include "engine/scan/archive_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/scan/pair_search.h"
#include "tests/support/test_files.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::TempDir;

struct ReaderBench {
    TempDir dir;
    ArchiveReader reader;
    std::vector<int> reports;

    explicit ReaderBench(const Bytes& bytes) {
        testing::writeWholeFile(dir.file("a.zip"), bytes);
        reader.archiveHandle = openExistingForRead(dir.file("a.zip").c_str());
        reader.archiveSize = bytes.empty() ? 1 : bytes.size();
        reader.progress = [](void* context, int value) {
            static_cast<ReaderBench*>(context)->reports.push_back(value);
        };
        reader.progressContext = this;
    }
    ~ReaderBench() { closeFile(reader.archiveHandle); }
};

Bytes counting(size_t size) {
    Bytes bytes(size);
    for (size_t index = 0; index < size; ++index) bytes[index] = static_cast<uint8_t>(index * 7);
    return bytes;
}

TEST(ArchiveReader, EmptyArchiveDeliversNothing) {
    ReaderBench bench({});
    uint8_t byte = 0;
    EXPECT_FALSE(readByte(bench.reader, byte));
}

TEST(ArchiveReader, ProgressEveryTenThousandBytes) {
    ReaderBench small(Bytes(500000));
    uint8_t byte = 0;
    while (readByte(small.reader, byte)) {
    }
    ASSERT_EQ(small.reports.size(), 50u);
    EXPECT_EQ(small.reports[0], 20);
    EXPECT_EQ(small.reports[1], 40);
    EXPECT_EQ(small.reports.back(), 1000);

    ReaderBench large(Bytes(5000000));
    while (readByte(large.reader, byte)) {
    }
    EXPECT_EQ(large.reports[0], 2);
    EXPECT_EQ(large.reports[2], 6);
}

TEST(ArchiveReader, ProgressIsSixtyFourBit) {
    // 6 GiB archive, 5 GiB delivered: the 32-bit formula would wrap.
    EXPECT_EQ(progressThousandths(5ull << 30, 6ull << 30), 833);
    EXPECT_EQ(progressThousandths(0, 1), 0);
}

TEST(ArchiveReader, StepBackWithinBufferKeepsDeliveredCount) {
    Bytes bytes = counting(3000);
    ReaderBench bench(bytes);
    uint8_t byte = 0;
    for (int index = 0; index < 20; ++index) readByte(bench.reader, byte);
    stepBack(bench.reader, 8);
    EXPECT_EQ(bench.reader.position, 12);
    EXPECT_EQ(bench.reader.deliveredCount, 20u);
    ASSERT_TRUE(readByte(bench.reader, byte));
    EXPECT_EQ(byte, bytes[12]);
}

TEST(ArchiveReader, StepBackAcrossBufferRereadsTheFile) {
    Bytes bytes = counting(2 * static_cast<size_t>(kReaderBufferBytes));
    ReaderBench bench(bytes);
    Bytes sink(static_cast<size_t>(kReaderBufferBytes) + 3);
    // The buffer then starts at kReaderBufferBytes, 3 bytes delivered from it.
    ASSERT_TRUE(readExact(bench.reader, sink.data(), kReaderBufferBytes + 3));
    stepBack(bench.reader, 8);
    EXPECT_EQ(bench.reader.bufferStart, kReaderBufferBytes - 5);
    EXPECT_EQ(bench.reader.deliveredCount, static_cast<uint64_t>(kReaderBufferBytes - 5));
    uint8_t byte = 0;
    ASSERT_TRUE(readByte(bench.reader, byte));
    EXPECT_EQ(byte, bytes[static_cast<size_t>(kReaderBufferBytes - 5)]);
}

TEST(ArchiveReader, StepBackBeforeTheStartStopsAtZero) {
    Bytes bytes = counting(3000);
    ReaderBench bench(bytes);
    uint8_t sink[4];
    ASSERT_TRUE(readExact(bench.reader, sink, 4));
    markResume(bench.reader);
    EXPECT_EQ(bench.reader.resumePoint, 4);
    rewindToMark(bench.reader);  // buffer now starts at 4
    ASSERT_TRUE(readExact(bench.reader, sink, 3));
    stepBack(bench.reader, 8);
    uint8_t byte = 0;
    ASSERT_TRUE(readByte(bench.reader, byte));
    EXPECT_EQ(byte, bytes[0]);
}

TEST(ArchiveReader, ReadExactConsumesWhatThereIs) {
    ReaderBench bench(counting(10));
    uint8_t sink[26] = {};
    EXPECT_FALSE(readExact(bench.reader, sink, 26));
    EXPECT_EQ(sink[9], static_cast<uint8_t>(9 * 7));
    uint8_t byte = 0;
    EXPECT_FALSE(readByte(bench.reader, byte));
    EXPECT_TRUE(readExact(bench.reader, sink, 0));
    EXPECT_EQ(readUpTo(bench.reader, sink, 0), 0);
}

TEST(ArchiveReader, BulkReadsReportProgressLikeSingleBytes) {
    ReaderBench single(Bytes(100000));
    ReaderBench bulk(Bytes(100000));
    uint8_t byte = 0;
    while (readByte(single.reader, byte)) {
    }
    std::vector<uint8_t> sink(777);
    while (readUpTo(bulk.reader, sink.data(), 777) > 0) {
    }
    EXPECT_EQ(single.reports, bulk.reports);
}

TEST(ArchiveReader, SkippingToAByteMatchesReadingEveryByte) {
    Bytes bytes = testing::makeRandom(250000, 3);
    ReaderBench single(bytes);
    ReaderBench skipping(bytes);
    uint8_t byte = 0;
    std::vector<int64_t> singleHits;
    for (int64_t offset = 0; readByte(single.reader, byte); ++offset) {
        if (byte == 0x50) singleHits.push_back(offset);
    }
    std::vector<int64_t> skippingHits;
    while (true) {
        skipBufferedUntil(skipping.reader, 0x50);
        if (!readByte(skipping.reader, byte)) break;
        if (byte == 0x50) skippingHits.push_back(logicalPosition(skipping.reader) - 1);
    }
    EXPECT_EQ(skippingHits, singleHits);
    EXPECT_EQ(skipping.reports, single.reports);
    EXPECT_EQ(skipping.reader.deliveredCount, single.reader.deliveredCount);
}

// Bytes drawn from "P", "K" and one other, so that pairs, lone firsts and firsts at the end of
// every possible run length all occur.
Bytes pairRich(size_t size, uint32_t seed) {
    Bytes bytes = testing::makeRandom(size, seed);
    for (uint8_t& byte : bytes) byte = byte % 3 == 0 ? 0x50 : byte % 3 == 1 ? 0x4B : 0x00;
    return bytes;
}

size_t findPairByteByByte(const uint8_t* bytes, size_t count) {
    for (size_t index = 0; index < count; ++index) {
        if (bytes[index] == 0x50 && (index + 1 == count || bytes[index + 1] == 0x4B)) return index;
    }
    return count;
}

TEST(ArchiveReader, PairSearchFindsWhatByteByByteFinds) {
    Bytes sparse = testing::makeRandom(4096, 11);  // pairs far apart: the word loops run long
    for (uint32_t seed = 0; seed < 40; ++seed) {
        Bytes bytes = seed == 0 ? sparse : pairRich(37 + seed, seed);
        for (size_t start = 0; start < 20 && start < bytes.size(); ++start) {
            for (size_t count = 0; start + count <= bytes.size(); count += 1 + count / 16) {
                const uint8_t* at = bytes.data() + start;
                size_t expected = findPairByteByByte(at, count);
                ASSERT_EQ(findBytePair(at, count, 0x50, 0x4B), expected) << seed << " " << count;
                ASSERT_EQ(findBytePairPortable(at, count, 0x50, 0x4B), expected)
                    << seed << " " << count;
            }
        }
    }
}

TEST(ArchiveReader, SkippingToAPairMatchesReadingEveryByte) {
    // Pairs straddle the buffer's end and the progress reports' bytes somewhere in 600,000.
    Bytes bytes = testing::makeRandom(600000, 5);
    for (size_t index = 0; index + 1 < bytes.size(); index += 97) {
        bytes[index] = 0x50;
        if (index % 3 == 0) bytes[index + 1] = 0x4B;
    }
    ReaderBench single(bytes);
    ReaderBench skipping(bytes);
    uint8_t byte = 0;
    uint8_t previous = 0;
    std::vector<int64_t> singleHits;
    for (int64_t offset = 0; readByte(single.reader, byte); ++offset) {
        if (previous == 0x50 && byte == 0x4B) singleHits.push_back(offset - 1);
        previous = byte;
    }
    std::vector<int64_t> skippingHits;
    previous = 0;
    while (true) {
        // The scan's use: a skip only while no "P" is pending.
        if (previous != 0x50) skipBufferedUntilPair(skipping.reader, 0x50, 0x4B);
        if (!readByte(skipping.reader, byte)) break;
        if (previous == 0x50 && byte == 0x4B)
            skippingHits.push_back(logicalPosition(skipping.reader) - 2);
        previous = byte;
    }
    EXPECT_EQ(skippingHits, singleHits);
    EXPECT_EQ(skipping.reports, single.reports);
    EXPECT_EQ(skipping.reader.deliveredCount, single.reader.deliveredCount);
}

}  // namespace
}  // namespace zipsalvage
