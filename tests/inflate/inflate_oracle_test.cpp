// inflate against zlib's encoder: every level and strategy over a varied corpus must come back
// exactly, including stored blocks, sync flushes and matches across the 32 KiB window.
#include <gtest/gtest.h>

#include <string>

#include "tests/inflate/inflate_test_support.h"

namespace zipsalvage::testing {
namespace {

struct Sample {
    std::string name;
    Bytes bytes;
};

// Looks like machine code or tables: small integers, repeated records, a few odd bytes.
Bytes makeBinaryLike(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = seed;
    for (size_t index = 0; index < size; ++index) {
        state = state * 1103515245u + 12345u;
        uint32_t roll = (state >> 16) & 0xFF;
        bytes[index] = static_cast<uint8_t>(index % 16 < 4 ? index / 16 % 7
                                            : roll < 200   ? roll % 9
                                                           : roll);
    }
    return bytes;
}

// Random data repeated at exactly the window's distance and just inside it, so that matches
// reach 32768 back and cross the window's end.
Bytes makeFarRepeats() {
    Bytes unit = makeRandom(32768, 7);
    Bytes bytes = unit;
    bytes.insert(bytes.end(), unit.begin(), unit.end());
    Bytes tail(unit.begin() + 5, unit.end());
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

std::vector<Sample> corpus() {
    std::vector<Sample> samples;
    samples.push_back({"empty", {}});
    samples.push_back({"one byte", {'x'}});
    samples.push_back({"short text", makeText(300, 1)});
    samples.push_back({"text 200K", makeText(200000, 2)});
    samples.push_back({"binary-like 150K", makeBinaryLike(150000, 3)});
    samples.push_back({"random 100K", makeRandom(100000, 4)});
    samples.push_back({"zeros 300K", Bytes(300000, 0)});
    Bytes pattern;
    for (int index = 0; index < 100000; ++index)
        pattern.push_back(static_cast<uint8_t>("abc"[index % 3]));
    samples.push_back({"period 3", pattern});
    samples.push_back({"far repeats", makeFarRepeats()});
    Bytes mixed = makeText(40000, 5);
    Bytes noise = makeRandom(30000, 6);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), 70000, 0xFF);
    Bytes more = makeText(40000, 5);
    mixed.insert(mixed.end(), more.begin(), more.end());
    samples.push_back({"mixed", mixed});
    return samples;
}

void expectRoundTrip(const Bytes& original, const Bytes& stream, const std::string& what) {
    InflateRun run = runInflate(stream);
    ASSERT_EQ(run.result, 1) << what;
    ASSERT_EQ(run.output.size(), original.size()) << what;
    ASSERT_TRUE(run.output == original) << what;
}

TEST(InflateOracle, EveryLevelAndStrategyReproducesTheCorpus) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE};
    const char* strategyNames[] = {"default", "fixed", "huffman-only", "rle"};
    for (const Sample& sample : corpus()) {
        for (int level : {0, 1, 6, 9}) {
            for (int strategy = 0; strategy < 4; ++strategy) {
                if (level == 0 && strategy > 0) continue;  // level 0 stores whatever the strategy
                std::string what =
                    sample.name + " level " + std::to_string(level) + " " + strategyNames[strategy];
                expectRoundTrip(sample.bytes,
                                zlibDeflate(sample.bytes, level, strategies[strategy]), what);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

TEST(InflateOracle, SeveralMegabytesInManyBlocks) {
    Bytes big = makeText(3 << 20, 11);
    Bytes noise = makeRandom(1 << 20, 12);
    big.insert(big.begin() + (1 << 20), noise.begin(), noise.end());
    expectRoundTrip(big, zlibDeflate(big, 6), "4 MB level 6");
    expectRoundTrip(big, zlibDeflate(big, 1, Z_FIXED), "4 MB fixed");
}

// Sync flushes end blocks mid-byte and put empty stored blocks in between: stored blocks must
// align, and bits left after a block's end belong to the next header.
TEST(InflateOracle, SyncFlushesAndStoredBlocksBetweenHuffmanBlocks) {
    Bytes text = makeText(120000, 13);
    for (size_t every : {1u, 7u, 1000u, 40000u}) {
        Bytes input(text.begin(), text.begin() + (every == 1 ? 3000 : text.size()));
        expectRoundTrip(input, zlibDeflate(input, 6, Z_DEFAULT_STRATEGY, every),
                        "flush every " + std::to_string(every));
        expectRoundTrip(input, zlibDeflate(input, 0, Z_DEFAULT_STRATEGY, every),
                        "stored, flush every " + std::to_string(every));
    }
}

// The entry's recorded size ends with the stream; bytes after it in the archive (the next
// header, here) are not touched beyond the reader's allowance and do not change the result.
TEST(InflateOracle, BytesAfterTheFinalBlockAreIgnored) {
    Bytes text = makeText(50000, 14);
    Bytes stream = zlibDeflate(text, 9);
    size_t streamSize = stream.size();
    const char header[] = "PK\3\4 the next entry follows";
    stream.insert(stream.end(), header, header + sizeof header);
    InflateRun run = runInflate(stream, static_cast<int64_t>(streamSize));
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.output == text);
    // Recorded longer than the stream: the rest is never decoded.
    run = runInflate(stream);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.output == text);
}

}  // namespace
}  // namespace zipsalvage::testing
