// Every entry that decoded to its end is checked against its recorded CRC-32: changed bytes
// are reported and kept, never passed as whole; a CRC-32 a streaming writer left out is no
// verdict.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

std::string crcLine(const std::string& name, uint32_t found, uint32_t expected) {
    char line[200];
    std::snprintf(line, sizeof line, "ERROR: CRC-32 of %s is %08X, should be %08X", name.c_str(),
                  found, expected);
    return line;
}

// A deflate stream of one final stored block (RFC 1951 3.2.4) holding `content`.
Bytes storedBlockStream(const Bytes& content) {
    Bytes stream{0x01};  // BFINAL = 1, BTYPE = 00, padded to the byte
    auto length = static_cast<uint16_t>(content.size());
    stream.push_back(static_cast<uint8_t>(length));
    stream.push_back(static_cast<uint8_t>(length >> 8));
    stream.push_back(static_cast<uint8_t>(~length));
    stream.push_back(static_cast<uint8_t>(~length >> 8));
    stream.insert(stream.end(), content.begin(), content.end());
    return stream;
}

TEST(CrcVerdict, AChangedByteInStoredDataIsReportedAndTheBytesKept) {
    Bytes content = testing::makeText(4000, 1);
    TestEntry changed{"changed.txt", content};
    changed.crc32 = testing::crc32Of(content);
    changed.data[1234] ^= 0x20;
    TestEntry intact{"intact.txt", testing::makeText(500, 2)};
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({changed, intact})));
    EXPECT_TRUE(bench.logHas(
        crcLine("changed.txt", testing::crc32Of(changed.data), testing::crc32Of(content))));
    EXPECT_FALSE(bench.logHas("    changed.txt: size = 4000:  OK"));
    EXPECT_TRUE(bench.logHas("    intact.txt: size = 500:  OK"));
    EXPECT_TRUE(bench.logHas("  1 partially recoverable files"));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].content, changed.data) << "the user may still want the bytes";
}

TEST(CrcVerdict, AChangedByteInAStoredBlockOfADeflatedEntryIsReported) {
    Bytes content = testing::makeRandom(3000, 3);
    TestEntry deflated{"block.bin", storedBlockStream(content)};
    deflated.method = 8;
    deflated.uncompressedSize = static_cast<int64_t>(content.size());
    deflated.crc32 = testing::crc32Of(content);
    // Two bits: one flipped bit would be repaired to the recorded CRC-32.
    deflated.data[100] ^= 0x03;
    Bytes decoded = content;
    decoded[95] ^= 0x03;  // 5 bytes of block header before the content
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({deflated})));
    EXPECT_TRUE(
        bench.logHas(crcLine("block.bin", testing::crc32Of(decoded), testing::crc32Of(content))));
    EXPECT_TRUE(bench.logHas("  1 partially recoverable files"));
}

// A zero CRC-32 under flag bit 3 is not recorded: the directory's then judges the bytes, and
// without one nothing does, so they are never called OK. Any other CRC-32 is recorded.
TEST(CrcVerdict, AZeroCrcUnderFlagBitThreeIsNotRecordedButAnyOtherIs) {
    Bytes content = testing::makeText(700, 4);
    TestEntry unrecorded{"unrecorded.txt", content};
    unrecorded.flags = 0x0008;
    TestEntry recordedWrong{"recorded.txt", content};
    recordedWrong.flags = 0x0008;
    recordedWrong.crc32 = 0x12345678;
    TestEntry changed{"changed.txt", content};
    changed.flags = 0x0008;
    changed.data[300] ^= 0x04;
    changed.crc32 = testing::crc32Of(content);
    // The local headers' CRC-32 fields 0, as a streaming writer leaves them; the directory
    // keeps the real ones.
    Bytes archive = testing::buildArchive({unrecorded, recordedWrong, changed});
    const size_t second = testing::localRecord(unrecorded).size();
    const size_t third = second + testing::localRecord(recordedWrong).size();
    for (size_t offset : {size_t{0}, third}) std::fill_n(archive.begin() + offset + 14, 4, 0);
    {
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_TRUE(bench.logHas("    unrecorded.txt: size = 700:  OK"));
        EXPECT_TRUE(bench.logHas(crcLine("recorded.txt", testing::crc32Of(content), 0x12345678)));
        EXPECT_TRUE(bench.logHas(
            crcLine("changed.txt", testing::crc32Of(changed.data), testing::crc32Of(content))));
    }
    {
        // No directory: nothing records the first entry's CRC-32.
        RunBench bench;
        ASSERT_TRUE(bench.salvage(
            Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(second))));
        EXPECT_TRUE(
            bench.logHas("WARNING: No CRC-32 is recorded for unrecorded.txt: its 700 bytes could "
                         "not be checked"));
        EXPECT_FALSE(bench.logHas("    unrecorded.txt: size = 700:  OK"));
        EXPECT_TRUE(bench.logHas("  1 partially recoverable files"));
    }
}

// Changed bytes that also change the size: the CRC-32 line, not only the size warning; a size
// that alone is wrong (the bytes match their CRC-32) is the warning.
TEST(CrcVerdict, ASizeMismatchIsOnlyAWarningWhenTheCrcMatches) {
    Bytes content = testing::makeRandom(3000, 5);
    TestEntry longer{"longer.bin", storedBlockStream(content)};
    longer.method = 8;
    longer.uncompressedSize = 2990;
    longer.crc32 = testing::crc32Of(Bytes(content.begin(), content.begin() + 2990));
    TestEntry sizeOnly{"size.bin", storedBlockStream(content)};
    sizeOnly.method = 8;
    sizeOnly.uncompressedSize = 2990;
    sizeOnly.crc32 = testing::crc32Of(content);
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({longer, sizeOnly})));
    EXPECT_TRUE(bench.logHas(
        crcLine("longer.bin", testing::crc32Of(content), static_cast<uint32_t>(longer.crc32))));
    EXPECT_FALSE(bench.logHas("WARNING: Size of longer.bin is 3000, should be 2990"));
    EXPECT_TRUE(bench.logHas("WARNING: Size of size.bin is 3000, should be 2990"));
    EXPECT_TRUE(bench.logHas("  2 partially recoverable files"));
}

}  // namespace
}  // namespace zipsalvage
