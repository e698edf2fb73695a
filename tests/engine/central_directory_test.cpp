// The central directory reader on its own: what it takes from a record, what it refuses, and
// how a salvaged entry finds its record.
#include "engine/witness/central_directory.h"

#include <gtest/gtest.h>

#include "core/little_endian.h"
#include "tests/support/test_files.h"

namespace zipsalvage {
namespace {

using testing::Bytes;

// A central header (APPNOTE 4.3.12) for `name` with the given 32-bit fields and extra field.
Bytes centralRecord(const std::string& name, uint32_t compressed, uint32_t uncompressed,
                    uint32_t offset, const Bytes& extra = {}, const std::string& comment = "") {
    Bytes out(46, 0);
    storeLE32(out.data(), 0x02014B50);
    storeLE16(out.data() + 4, 0x031E);       // made by Unix 3.0
    storeLE16(out.data() + 10, 12);          // method
    storeLE32(out.data() + 16, 0xCAFEF00D);  // CRC-32
    storeLE32(out.data() + 20, compressed);
    storeLE32(out.data() + 24, uncompressed);
    storeLE16(out.data() + 28, static_cast<uint16_t>(name.size()));
    storeLE16(out.data() + 30, static_cast<uint16_t>(extra.size()));
    storeLE16(out.data() + 32, static_cast<uint16_t>(comment.size()));
    storeLE32(out.data() + 38, 0100644u << 16);  // external attributes
    storeLE32(out.data() + 42, offset);
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), extra.begin(), extra.end());
    out.insert(out.end(), comment.begin(), comment.end());
    return out;
}

TEST(CentralDirectory, RecordFieldsAndZip64ValuesAreTaken) {
    // Zip64 field: only the values whose 32-bit fields are 0xFFFFFFFF, in APPNOTE's order.
    Bytes zip64{0x01, 0x00, 16, 0};
    Bytes values(16, 0);
    storeLE32(values.data(), 0x10);      // compressed size (the uncompressed one is 32-bit)
    storeLE32(values.data() + 4, 0x1);   // ... high word
    storeLE32(values.data() + 8, 0x20);  // offset
    storeLE32(values.data() + 12, 0x2);
    zip64.insert(zip64.end(), values.begin(), values.end());
    Bytes bytes = centralRecord("big.bin", 0xFFFFFFFF, 77, 0xFFFFFFFF, zip64, "a note");
    CentralRecord record;
    ASSERT_TRUE(parseCentralRecord(bytes.data(), bytes.size(), record));
    EXPECT_EQ(record.name, "big.bin");
    EXPECT_EQ(record.comment, "a note");
    EXPECT_EQ(record.versionMadeBy, 0x031E);
    EXPECT_EQ(record.method, 12);
    EXPECT_EQ(record.crc32, 0xCAFEF00Du);
    EXPECT_EQ(record.externalAttributes, 0100644u << 16);
    EXPECT_EQ(record.compressedSize, 0x100000010u);
    EXPECT_EQ(record.uncompressedSize, 77u);
    EXPECT_EQ(record.localHeaderOffset, 0x200000020u);
}

TEST(CentralDirectory, RecordsThatDisagreeWithTheirLengthsAreRefused) {
    Bytes bytes = centralRecord("name.txt", 5, 5, 0, {}, "comment");
    CentralRecord record;
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(parseCentralRecord(bytes.data(), cut, record)) << cut;
    Bytes longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(parseCentralRecord(longer.data(), longer.size(), record));
    Bytes unnamed = centralRecord("", 5, 5, 0);
    EXPECT_FALSE(parseCentralRecord(unnamed.data(), unnamed.size(), record));
}

TEST(CentralDirectory, EntriesFindTheirRecordByOffsetAndName) {
    CentralDirectory directory;
    auto add = [&](const std::string& name, uint64_t offset, const std::string& comment) {
        CentralRecord record;
        record.name = name;
        record.localHeaderOffset = offset;
        record.comment = comment;
        ASSERT_TRUE(addCentralRecord(directory, std::move(record)));
    };
    add("later", 500, "later");
    add("first", 0, "first");
    add("inner", 500, "stored archive's own record");  // the same offset, another name
    const CentralRecord* found = findCentralRecord(directory, 500, "inner", 5);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->comment, "stored archive's own record");
    found = findCentralRecord(directory, 0, "first", 5);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->comment, "first");
    EXPECT_EQ(findCentralRecord(directory, 0, "later", 5), nullptr);
    EXPECT_EQ(findCentralRecord(directory, 7, "first", 5), nullptr);
}

TEST(CentralDirectory, KeepsABoundedAmount) {
    CentralDirectory directory;
    CentralRecord huge;
    huge.name = "n";
    huge.comment.assign(kMaxCentralTextBytes, 'c');
    EXPECT_FALSE(addCentralRecord(directory, std::move(huge)));
    EXPECT_TRUE(directory.records.empty());
}

}  // namespace
}  // namespace zipsalvage
