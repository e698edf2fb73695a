// Zip64 in the records: sizes read from a local header's extended information extra field
// (APPNOTE 4.5.3), and the central header, end record, Zip64 end record and locator written
// only where a size, an offset or the count needs them (APPNOTE 4.3.14, 4.3.15, 4.4.1.4).
#include <gtest/gtest.h>

#include "engine/output/zip_records.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;

constexpr uint64_t k4GiB = 1ull << 32;

LocalHeader headerWithSizes(uint32_t compressed, uint32_t uncompressed) {
    LocalHeader header{};
    setHeaderField32(header, kLocalCompressedSize, compressed);
    setHeaderField32(header, kLocalUncompressedSize, uncompressed);
    return header;
}

Bytes extraBlock(uint16_t id, std::initializer_list<uint64_t> values) {
    Bytes block(4 + 8 * values.size());
    storeLE16(block.data(), id);
    storeLE16(block.data() + 2, static_cast<uint16_t>(8 * values.size()));
    size_t at = 4;
    for (uint64_t value : values) {
        storeLE64(block.data() + at, value);
        at += 8;
    }
    return block;
}

TEST(Zip64Read, MarkedSizesComeFromTheExtraFieldAfterOtherBlocks) {
    Bytes extra = extraBlock(0x5455, {7});  // an extended timestamp first
    Bytes zip64 = extraBlock(kExtraZip64, {5 * k4GiB + 3, 4 * k4GiB + 1});
    extra.insert(extra.end(), zip64.begin(), zip64.end());
    EntrySizes sizes =
        recordedSizes(headerWithSizes(kZip64Marker32, kZip64Marker32), extra.data(), extra.size());
    EXPECT_EQ(sizes.uncompressed, 5 * k4GiB + 3);
    EXPECT_EQ(sizes.compressed, 4 * k4GiB + 1);
}

TEST(Zip64Read, OnlyMarkedFieldsAreReplaced) {
    Bytes both = extraBlock(kExtraZip64, {k4GiB + 9, 77});
    // Both sizes present (the rule for local headers): the compressed one is the second value.
    EntrySizes compressedOnly =
        recordedSizes(headerWithSizes(kZip64Marker32, 1000), both.data(), both.size());
    EXPECT_EQ(compressedOnly.compressed, 77u);
    EXPECT_EQ(compressedOnly.uncompressed, 1000u);
    // A shorter field holds the marked values in order.
    Bytes one = extraBlock(kExtraZip64, {k4GiB + 5});
    EntrySizes shortField =
        recordedSizes(headerWithSizes(kZip64Marker32, 1000), one.data(), one.size());
    EXPECT_EQ(shortField.compressed, k4GiB + 5);
    // Unmarked fields ignore the extra; a cut extra leaves the marker.
    EntrySizes unmarked = recordedSizes(headerWithSizes(10, 20), both.data(), both.size());
    EXPECT_EQ(unmarked.compressed, 10u);
    EXPECT_EQ(unmarked.uncompressed, 20u);
    EntrySizes cut = recordedSizes(headerWithSizes(kZip64Marker32, kZip64Marker32), both.data(), 9);
    EXPECT_EQ(cut.uncompressed, kZip64Marker32);
    EXPECT_EQ(cut.compressed, kZip64Marker32);
}

SalvagedEntry entryOf(uint64_t compressed, uint64_t uncompressed, uint64_t offset) {
    SalvagedEntry entry{};
    entry.name = "big.bin";
    setHeaderField16(entry.header, kLocalNameLength, 7);
    setHeaderField16(entry.header, kLocalVersionNeeded, kVersionWritten);
    entry.sizes = EntrySizes{compressed, uncompressed};
    entry.zip64Local = needsZip64(uncompressed);
    entry.headerOffset = offset;
    settleLocalSizes(entry);
    return entry;
}

TEST(Zip64Write, SmallEntriesKeepTheClassicHeaders) {
    SalvagedEntry entry = entryOf(kZip64Marker32 - 1, kZip64Marker32 - 1, kZip64Marker32 - 1);
    uint8_t extra[kZip64CentralExtraMaxSize];
    EXPECT_EQ(buildLocalZip64Extra(entry, extra), 0);
    EXPECT_EQ(buildCentralZip64Extra(entry, extra), 0);
    EXPECT_EQ(headerField16(entry.header, kLocalVersionNeeded), 20);
    EXPECT_EQ(headerField32(entry.header, kLocalUncompressedSize), kZip64Marker32 - 1);
    uint8_t central[kCentralHeaderSize];
    buildCentralHeader(entry, 0, central);
    EXPECT_EQ(loadLE16(central + 6), 20);
    EXPECT_EQ(loadLE32(central + 42), kZip64Marker32 - 1);
}

TEST(Zip64Write, BigEntryCarriesBothSizesInBothHeaders) {
    SalvagedEntry entry = entryOf(3 * k4GiB / 4, 4 * k4GiB + 17, 100);
    EXPECT_EQ(headerField16(entry.header, kLocalVersionNeeded), 45);
    EXPECT_EQ(headerField32(entry.header, kLocalCompressedSize), kZip64Marker32);
    EXPECT_EQ(headerField32(entry.header, kLocalUncompressedSize), kZip64Marker32);
    uint8_t local[kZip64LocalExtraSize];
    ASSERT_EQ(buildLocalZip64Extra(entry, local), 20);
    EXPECT_EQ(loadLE16(local), 1);
    EXPECT_EQ(loadLE16(local + 2), 16);
    EXPECT_EQ(loadLE64(local + 4), 4 * k4GiB + 17);
    EXPECT_EQ(loadLE64(local + 12), 3 * k4GiB / 4);
    uint8_t extra[kZip64CentralExtraMaxSize];
    ASSERT_EQ(buildCentralZip64Extra(entry, extra), 20);
    EXPECT_EQ(loadLE64(extra + 4), 4 * k4GiB + 17);
    uint8_t central[kCentralHeaderSize];
    buildCentralHeader(entry, 20, central);
    EXPECT_EQ(loadLE16(central + 6), 45);
    EXPECT_EQ(loadLE32(central + 20), kZip64Marker32);
    EXPECT_EQ(loadLE32(central + 24), kZip64Marker32);
    EXPECT_EQ(loadLE16(central + 30), 20);
    EXPECT_EQ(loadLE32(central + 42), 100u) << "an offset that fits stays in its field";
}

TEST(Zip64Write, FarOffsetAloneGoesInTheCentralExtra) {
    SalvagedEntry entry = entryOf(10, 10, 5 * k4GiB);
    uint8_t extra[kZip64CentralExtraMaxSize];
    ASSERT_EQ(buildCentralZip64Extra(entry, extra), 12);
    EXPECT_EQ(loadLE16(extra + 2), 8);
    EXPECT_EQ(loadLE64(extra + 4), 5 * k4GiB);
    uint8_t central[kCentralHeaderSize];
    buildCentralHeader(entry, 12, central);
    EXPECT_EQ(loadLE32(central + 20), 10u);
    EXPECT_EQ(loadLE32(central + 42), kZip64Marker32);
    EXPECT_EQ(loadLE16(central + 6), 45);
    EXPECT_EQ(headerField32(entry.header, kLocalCompressedSize), 10u);
    EXPECT_EQ(headerField16(entry.header, kLocalVersionNeeded), 45) << "the same in both headers";
}

TEST(Zip64Write, EndRecordsOnlyWhenTheDirectoryNeedsThem) {
    EXPECT_FALSE(needsZip64End({65534, 1000, 2000}));
    EXPECT_TRUE(needsZip64End({65535, 1000, 2000})) << "0xFFFF itself reads as the marker";
    EXPECT_TRUE(needsZip64End({3, 100, kZip64Marker32}));
    EXPECT_TRUE(needsZip64End({3, 100, kZip64Marker32 - 50})) << "ends beyond 4 GiB";
    EXPECT_FALSE(needsZip64End({3, 100, kZip64Marker32 - 101}));

    uint8_t end[kEndRecordSize];
    buildEndRecord({70000, 5000000, 6 * k4GiB}, end);
    EXPECT_EQ(loadLE16(end + 8), 0xFFFF);
    EXPECT_EQ(loadLE16(end + 10), 0xFFFF);
    EXPECT_EQ(loadLE32(end + 12), kZip64Marker32);
    EXPECT_EQ(loadLE32(end + 16), kZip64Marker32);
    uint8_t record[kZip64EndRecordSize];
    buildZip64EndRecord({70000, 5000000, 6 * k4GiB}, record);
    EXPECT_EQ(loadLE32(record), 0x06064B50u);
    EXPECT_EQ(loadLE64(record + 4), 44u);
    EXPECT_EQ(loadLE64(record + 24), 70000u);
    EXPECT_EQ(loadLE64(record + 32), 70000u);
    EXPECT_EQ(loadLE64(record + 40), 5000000u);
    EXPECT_EQ(loadLE64(record + 48), 6 * k4GiB);
    uint8_t locator[kZip64LocatorSize];
    buildZip64Locator(6 * k4GiB + 5000000, locator);
    EXPECT_EQ(loadLE32(locator), 0x07064B50u);
    EXPECT_EQ(loadLE64(locator + 8), 6 * k4GiB + 5000000);
    EXPECT_EQ(loadLE32(locator + 16), 1u);
}

TEST(Zip64Salvage, AZip64LocalHeaderOfASmallEntryComesOutClassicAndTheNextEntryFollows) {
    // As zip -fz and Python's force_zip64 write it: both 32-bit sizes marked, the real ones in
    // the extra field. The output must equal that of the same archive without Zip64.
    Bytes data = testing::makeText(5000, 1);
    testing::TestEntry plain{"a.txt", data};
    testing::TestEntry marked = plain;
    marked.compressedSize = kZip64Marker32;
    marked.uncompressedSize = kZip64Marker32;
    marked.extra = extraBlock(kExtraZip64, {data.size(), data.size()});
    testing::TestEntry next{"b.txt", testing::makeText(300, 2)};
    testing::RunBench withZip64;
    ASSERT_TRUE(withZip64.salvage(testing::buildArchive({marked, next})));
    EXPECT_TRUE(withZip64.logHas("    a.txt: size = 5000:  OK"));
    EXPECT_TRUE(withZip64.logHas("    b.txt: size = 300:  OK"));
    testing::RunBench without;
    ASSERT_TRUE(without.salvage(testing::buildArchive({plain, next})));
    EXPECT_EQ(withZip64.output(), without.output());
}

}  // namespace
}  // namespace zipsalvage
