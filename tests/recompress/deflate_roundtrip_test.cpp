// zlib's inflate as the outside oracle: every input comes back exactly, the CRC-32 agrees with
// zlib's, and every block is well formed.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "tests/recompress/block_reader.h"
#include "tests/recompress/deflate_harness.h"

namespace zipsalvage::testing {
namespace {

uint32_t zlibCrc(const Bytes& bytes) {
    return static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// Bytes drawn so that value k is twice as likely as k + 1: optimal codes far deeper than 15.
Bytes makeSkewed(size_t size, uint32_t seed) {
    Bytes random = makeRandom(size * 4, seed);
    Bytes bytes(size);
    for (size_t index = 0; index < size; ++index) {
        uint32_t word = static_cast<uint32_t>(random[4 * index]) |
                        static_cast<uint32_t>(random[4 * index + 1]) << 8 |
                        static_cast<uint32_t>(random[4 * index + 2]) << 16 |
                        static_cast<uint32_t>(random[4 * index + 3]) << 24;
        int value = 0;
        while (value < 31 && (word & 1)) {
            ++value;
            word >>= 1;
        }
        bytes[index] = static_cast<uint8_t>('A' + value);
    }
    return bytes;
}

// Runs of one byte, of lengths from 1 to several thousand.
Bytes makeRuns(size_t size, uint32_t seed) {
    Bytes random = makeRandom(size, seed);
    Bytes bytes;
    for (size_t index = 0; bytes.size() < size; index += 2) {
        size_t run =
            1 + (static_cast<size_t>(random[index % size]) * random[(index + 1) % size]) % 5000;
        bytes.insert(bytes.end(), std::min(run, size - bytes.size()), random[(index + 7) % size]);
    }
    return bytes;
}

// Records of counters and small fields, like the tables of a binary file.
Bytes makeBinary(size_t size, uint32_t seed) {
    Bytes random = makeRandom(size / 8 + 1, seed);
    Bytes bytes;
    for (uint32_t record = 0; bytes.size() < size; ++record) {
        uint32_t fields[2] = {record * 16 + 0x400000, random[record % random.size()] * 3u};
        for (uint32_t field : fields) {
            for (int shift = 0; shift < 32 && bytes.size() < size; shift += 8) {
                bytes.push_back(static_cast<uint8_t>(field >> shift));
            }
        }
    }
    return bytes;
}

// Real files: headers and a binary of this system, as far as they go.
Bytes makeSystemFiles(size_t size) {
    Bytes bytes;
    std::error_code ignored;
    for (const char* folder : {"/usr/include", "/usr/lib/x86_64-linux-gnu"}) {
        std::filesystem::recursive_directory_iterator walk(folder, ignored), end;
        for (; walk != end && bytes.size() < size; walk.increment(ignored)) {
            if (!walk->is_regular_file(ignored) || walk->file_size(ignored) > size / 4) continue;
            Bytes file = readWholeFile(walk->path().string());
            bytes.insert(
                bytes.end(), file.begin(),
                file.begin() + static_cast<long>(std::min(file.size(), size - bytes.size())));
        }
        if (bytes.size() >= size / 2) break;
    }
    Bytes self = readWholeFile("/proc/self/exe");
    bytes.insert(bytes.end(), self.begin(),
                 self.begin() + static_cast<long>(std::min(self.size(), size / 2)));
    return bytes;
}

void expectRoundTrip(const Bytes& input, const std::string& what) {
    SCOPED_TRACE(what + ", " + std::to_string(input.size()) + " bytes");
    DeflateRun run = deflateBytes(input);
    ASSERT_TRUE(run.completed);
    EXPECT_EQ(run.bytesWritten, run.output.size());
    EXPECT_EQ(run.crc, zlibCrc(input));

    bool complete = false;
    Bytes inflated = zlibInflate(run.output, &complete);
    EXPECT_TRUE(complete) << "zlib did not find the last block at the end of the data";
    ASSERT_EQ(inflated.size(), input.size());
    EXPECT_TRUE(inflated == input);

    DeflateStructure structure = readDeflateStructure(run.output);
    ASSERT_TRUE(structure.ok) << structure.error;
    EXPECT_EQ(structure.bytesUsed, run.output.size());
    for (size_t index = 0; index < structure.blocks.size(); ++index) {
        const BlockInfo& block = structure.blocks[index];
        EXPECT_EQ(block.final, index + 1 == structure.blocks.size());
        EXPECT_TRUE(block.codesComplete) << "block " << index;
        if (block.type != 0) {
            EXPECT_LE(block.items(), 32767);
        }
    }
}

TEST(DeflateRoundTrip, SmallInputs) {
    expectRoundTrip({}, "empty");
    expectRoundTrip({0x00}, "one byte");
    expectRoundTrip(makeText(99, 1), "text");
    expectRoundTrip(makeText(100, 1), "text");
    expectRoundTrip(makeRandom(100, 1), "random");
    expectRoundTrip(Bytes(300, 0xFF), "one run");
}

TEST(DeflateRoundTrip, KindsOfData) {
    expectRoundTrip(makeText(1 << 20, 2), "text");
    expectRoundTrip(makeBinary(1 << 20, 3), "binary records");
    expectRoundTrip(makeRandom(1 << 20, 4), "random");
    expectRoundTrip(makeRuns(1 << 20, 5), "runs");
    expectRoundTrip(makeSkewed(200000, 6), "skewed frequencies");
}

TEST(DeflateRoundTrip, SizesAroundTheWindow) {
    for (size_t size : {65535u, 65536u, 65537u, 65534u + 262u, 98303u, 200000u}) {
        expectRoundTrip(makeText(size, 7), "text");
        expectRoundTrip(makeRandom(size, 8), "random");
        expectRoundTrip(makeRuns(size, 9), "runs");
    }
}

TEST(DeflateRoundTrip, SeveralMegabytesOfRealFiles) {
    expectRoundTrip(makeSystemFiles(6 << 20), "system files");
}

TEST(DeflateRoundTrip, BytesBeyondTheInputNeverComeFromAnEarlierEntry) {
    // At the end of "_QWERTYxyzQWERTYabcQWERTY" the nearer "QWERTYabc" and the farther
    // "QWERTYxyz" both match all six remaining bytes. With zeros beyond the input the nearer one
    // wins; an earlier entry's window full of 'x' left there would pick the farther one.
    std::string text = "_QWERTYxyzQWERTYabcQWERTY";
    Bytes input(text.begin(), text.end());
    DeflateRun fresh = deflateBytes(input);
    ASSERT_TRUE(deflateBytes(Bytes(100000, 'x')).completed);  // its window goes back to the cache
    DeflateRun after = deflateBytes(input);
    EXPECT_EQ(after.output, fresh.output);
    DeflateStructure structure = readDeflateStructure(after.output);
    ASSERT_TRUE(structure.ok);
    ASSERT_FALSE(structure.blocks[0].matchList.empty());
    EXPECT_EQ(structure.blocks[0].matchList.back().distance, 9u);
}

}  // namespace
}  // namespace zipsalvage::testing
