// Every entry that decoded to its end is checked against its recorded CRC-32: changed bytes
// are reported and kept, never passed as whole; a CRC-32 a streaming writer left out is no
// verdict.
#include <gtest/gtest.h>

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
    deflated.data[100] ^= 0x01;
    Bytes decoded = content;
    decoded[95] ^= 0x01;  // 5 bytes of block header before the content
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({deflated})));
    EXPECT_TRUE(
        bench.logHas(crcLine("block.bin", testing::crc32Of(decoded), testing::crc32Of(content))));
    EXPECT_TRUE(bench.logHas("  1 partially recoverable files"));
}

TEST(CrcVerdict, AZeroCrcUnderFlagBitThreeIsNotRecordedButAnyOtherIs) {
    Bytes content = testing::makeText(700, 4);
    TestEntry unrecorded{"unrecorded.txt", content};
    unrecorded.flags = 0x0008;
    unrecorded.crc32 = 0;
    TestEntry recordedWrong{"recorded.txt", content};
    recordedWrong.flags = 0x0008;
    recordedWrong.crc32 = 0x12345678;
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({unrecorded, recordedWrong})));
    EXPECT_TRUE(bench.logHas("    unrecorded.txt: size = 700:  OK"));
    EXPECT_TRUE(bench.logHas(crcLine("recorded.txt", testing::crc32Of(content), 0x12345678)));
}

}  // namespace
}  // namespace zipsalvage
