// An entry's decoded bytes in memory up to the bound and in the temporary file past it: read
// back whole either way, no file for an entry that fits, and the same salvage wherever the
// bytes were held.
#include "engine/entry/decoded_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::ScopedMemoryBound;
using testing::TestEntry;

bool write(DecodedBytes& bytes, uint64_t position, const Bytes& data) {
    EntryOutput output = decodedOutput(bytes);
    auto count = static_cast<uint32_t>(data.size());
    return output.writeAt(output.owner, static_cast<int64_t>(position), data.data(), count) ==
           count;
}

Bytes readBack(DecodedBytes& bytes) {
    StreamInput input{};
    EXPECT_TRUE(startReadingDecoded(bytes, input));
    Bytes all;
    uint8_t buffer[1000];  // not a divisor of the block size: reads straddle blocks
    while (uint32_t got = input.read(input.owner, buffer, sizeof buffer)) {
        all.insert(all.end(), buffer, buffer + got);
    }
    return all;
}

void expectHolds(DecodedBytes& bytes, const Bytes& expected, const std::string& where) {
    EXPECT_EQ(decodedSize(bytes), static_cast<int64_t>(expected.size())) << where;
    EXPECT_EQ(readBack(bytes), expected) << where;
    uint32_t crc = 0;
    EXPECT_TRUE(crcOfDecoded(bytes, crc)) << where;
    EXPECT_EQ(crc, testing::crc32Of(expected)) << where;
}

std::string tempFilePath() { return runTempFolder() + kEntryTempFileName; }

// Bytes that wait to be re-encoded keep only what they use of their last block; they read back
// the same, and nothing more is written into them.
TEST(DecodedBytes, ATrimmedTailHoldsItsBytesOnly) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{70000}, size_t{kDecodedBlockBytes},
                        size_t{kDecodedBlockBytes} + 300}) {
        std::string where = std::to_string(size) + " bytes";
        DecodedBytes bytes;
        Bytes data = testing::makeRandom(size, 3);
        ASSERT_TRUE(size == 0 || write(bytes, 0, data)) << where;
        trimDecodedTail(bytes);
        uint64_t wholeBlocks = size / kDecodedBlockBytes;
        uint64_t expectedHeld =
            size % kDecodedBlockBytes == 0 ? wholeBlocks * kDecodedBlockBytes : size;
        EXPECT_EQ(heldDecodedBytes(bytes), expectedHeld) << where;
        expectHolds(bytes, data, where);
        if (size % kDecodedBlockBytes != 0) {
            EXPECT_FALSE(write(bytes, size, data)) << where;
        }
        EXPECT_TRUE(emptyDecoded(bytes));
        EXPECT_TRUE(write(bytes, 0, testing::makeRandom(10, 4))) << where << ": usable again";
    }
}

TEST(DecodedBytes, StayInMemoryUpToTheBoundAndGoWholeToTheFileBeyondIt) {
    ScopedMemoryBound bound(5000);
    Bytes data = testing::makeRandom(7000, 1);
    {
        DecodedBytes bytes;
        ASSERT_TRUE(write(bytes, 0, Bytes(data.begin(), data.begin() + 2500)));
        ASSERT_TRUE(write(bytes, 2500, Bytes(data.begin() + 2500, data.begin() + 5000)));
        EXPECT_FALSE(bytes.spilled);
        EXPECT_FALSE(testing::pathExists(tempFilePath())) << "an entry that fits makes no file";
        expectHolds(bytes, Bytes(data.begin(), data.begin() + 5000), "at the bound");

        ASSERT_TRUE(write(bytes, 5000, Bytes(data.begin() + 5000, data.end())));
        EXPECT_TRUE(bytes.spilled);
        EXPECT_TRUE(testing::pathExists(tempFilePath()));
        expectHolds(bytes, data, "spilled");

        // A password tried anew starts from nothing, in memory again.
        ASSERT_TRUE(emptyDecoded(bytes));
        EXPECT_EQ(decodedSize(bytes), 0);
        ASSERT_TRUE(write(bytes, 0, Bytes(data.begin(), data.begin() + 100)));
        EXPECT_FALSE(bytes.spilled);
        expectHolds(bytes, Bytes(data.begin(), data.begin() + 100), "emptied and refilled");
    }
    EXPECT_FALSE(testing::pathExists(tempFilePath())) << "the file goes with its holder";
}

// Bytes across the 1 MiB blocks, rewritten in place and past a gap read as a file would.
TEST(DecodedBytes, ReadBackAsAFileWouldAcrossBlocksAndGaps) {
    Bytes expected = testing::makeText(kDecodedBlockBytes + kDecodedBlockBytes / 2, 2);
    DecodedBytes bytes;
    for (size_t start = 0; start < expected.size(); start += 32768) {
        size_t end = std::min(expected.size(), start + 32768);
        ASSERT_TRUE(write(bytes, start,
                          Bytes(expected.begin() + static_cast<long>(start),
                                expected.begin() + static_cast<long>(end))));
    }
    Bytes patch(3000, 'x');
    ASSERT_TRUE(write(bytes, kDecodedBlockBytes - 1000, patch));
    std::copy(patch.begin(), patch.end(), expected.begin() + (kDecodedBlockBytes - 1000));
    ASSERT_TRUE(write(bytes, expected.size() + 5000, Bytes{1, 2, 3}));
    expected.resize(expected.size() + 5000, 0);
    expected.insert(expected.end(), {1, 2, 3});
    EXPECT_FALSE(bytes.spilled);
    expectHolds(bytes, expected, "in memory");
}

// The CRC-32 kept while the bytes are written in order starts again with them (a password tried
// anew decodes from the start), and gives way to a second pass after a write out of order.
TEST(DecodedBytes, TheRunningCrcFollowsEveryWayTheBytesAreWritten) {
    Bytes first = testing::makeRandom(70000, 4);
    Bytes second = testing::makeText(90000, 5);
    DecodedBytes bytes;
    ASSERT_TRUE(write(bytes, 0, first));
    expectHolds(bytes, first, "in order");
    ASSERT_TRUE(emptyDecoded(bytes));
    ASSERT_TRUE(write(bytes, 0, Bytes(second.begin(), second.begin() + 50000)));
    ASSERT_TRUE(write(bytes, 50000, Bytes(second.begin() + 50000, second.end())));
    expectHolds(bytes, second, "again from the start");
    ASSERT_TRUE(write(bytes, 10, Bytes{9, 9}));  // an earlier byte written again
    second[10] = 9;
    second[11] = 9;
    ASSERT_TRUE(write(bytes, second.size(), Bytes{7}));
    second.push_back(7);
    expectHolds(bytes, second, "out of order");
}

// Entries under, at and over the bound, a damaged one among them: the output and the log are
// the same whether the bytes were held in memory, in the file, or some in each.
TEST(DecodedBytes, TheSalvageIsTheSameWhereverTheBytesAreHeld) {
    std::vector<TestEntry> entries;
    entries.push_back({"small.txt", testing::makeText(300, 1)});
    entries.push_back({"at-bound.txt", testing::makeText(4096, 2)});
    entries.push_back({"big.bin", testing::makeRandom(70000, 3)});
    TestEntry cut{"cut.txt", testing::makeText(9000, 4)};
    cut.compressedSize = 12000;  // runs into the next header: damaged
    cut.uncompressedSize = 12000;
    entries.push_back(cut);
    entries.push_back({"last.txt", testing::makeText(6000, 5)});
    Bytes archive = testing::buildArchive(entries);

    RunBench inMemory;
    ASSERT_TRUE(inMemory.salvage(archive));
    EXPECT_TRUE(inMemory.logHas("    big.bin: size = 70000:  OK"));
    for (uint64_t limit : {uint64_t{0}, uint64_t{4096}}) {
        ScopedMemoryBound bound(limit);
        RunBench spilled;
        ASSERT_TRUE(spilled.salvage(archive));
        std::string where = "bound " + std::to_string(limit);
        EXPECT_EQ(spilled.output(), inMemory.output()) << where;
        EXPECT_EQ(spilled.log, inMemory.log) << where;
        EXPECT_FALSE(testing::pathExists(tempFilePath())) << where;
    }
}

}  // namespace
}  // namespace zipsalvage
