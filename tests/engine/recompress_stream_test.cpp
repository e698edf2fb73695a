// The re-encoding stream: the stored copy, the deferred write of a full buffer, the name test.
#include "recompress/recompress_stream.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace zipsalvage {
namespace {

using testing::Bytes;

struct StreamBench {
    testing::TempDir dir;
    RunFlags flags;
    RecompressStream stream{};
    FileHandle input = kInvalidFile;
    FileHandle output = kInvalidFile;

    explicit StreamBench(const Bytes& data) {
        testing::writeWholeFile(dir.file("in"), data);
        input = openExistingForRead(dir.file("in").c_str());
        output = createReadWrite(dir.file("out").c_str());
        EXPECT_TRUE(initRecompressStream(stream, input, output, flags));
    }
    ~StreamBench() {
        freeRecompressStream(stream);
        closeFile(input);
        closeFile(output);
    }
    int64_t writtenSoFar() { return fileSize(output); }
};

TEST(RecompressStream, StoredCopyLeavesAFullBufferForTheCaller) {
    for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 5000u}) {
        Bytes data = testing::makeRandom(size, static_cast<uint32_t>(size) + 1);
        StreamBench bench(data);
        ASSERT_TRUE(storeFile(bench.stream));
        EXPECT_EQ(bench.stream.bytesWritten, size);
        EXPECT_EQ(bench.stream.crc, size == 0 ? 0u : testing::crc32Of(data));
        // 1024 bytes: nothing written yet, all pending; 1025: one write of 1024, one pending.
        int64_t pending = size == 0 ? 0 : (size - 1) % 1024 + 1;
        EXPECT_EQ(bench.stream.outFill, pending) << size;
        EXPECT_EQ(bench.writtenSoFar(), static_cast<int64_t>(size) - pending) << size;
    }
}

TEST(RecompressStream, ByteInterfaceMatchesTheStoredCopy) {
    Bytes data = testing::makeText(3000, 5);
    StreamBench bench(data);
    bench.stream.crcRegister = 0xFFFFFFFFu;
    uint8_t byte = 0;
    int32_t count = 0;
    while (streamReadByte(bench.stream, byte)) {
        streamWriteByte(bench.stream, byte);
        ++count;
    }
    EXPECT_EQ(count, 3000);
    EXPECT_EQ(bench.stream.crc, testing::crc32Of(data));
    EXPECT_EQ(bench.stream.outFill, 3000 - 2048);
}

TEST(RecompressStream, StopsOnTheRunFlags) {
    StreamBench cancelled(testing::makeRandom(5000, 6));
    requestCancel(cancelled.flags);
    EXPECT_FALSE(storeFile(cancelled.stream));
    StreamBench failed(testing::makeRandom(5000, 7));
    markWriteFailed(failed.flags);
    EXPECT_FALSE(storeFile(failed.stream));
}

TEST(PrecompressedNames, OnlyTheLastFourCharactersCount) {
    for (const char* name : {"a.zip", "PHOTO.JPG", "x.Gif", "setup.cab", ".zip", "dir/a.Zip"}) {
        EXPECT_TRUE(isPrecompressedName(name)) << name;
    }
    for (const char* name : {"zip", "a.zipx", "a.txt", "a.jpeg", "", "jpg"}) {
        EXPECT_FALSE(isPrecompressedName(name)) << name;
    }
    EXPECT_FALSE(isPrecompressedName(nullptr));
}

}  // namespace
}  // namespace zipsalvage
