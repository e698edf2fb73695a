// Recovery behind damage inside deflate streams: every byte handed back that is not listed as
// unknown is the original's at its own offset, whatever the damage, and the data behind a
// zeroed span comes back in stored, fixed and dynamic blocks and across a block boundary.
#include "extract/inflate_resync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "extract/inflate_nearest.h"
#include "extract/inflate_resync_start.h"
#include "extract/inflate_span.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/inflate/resync_test_support.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

// Text whose matches do not all copy from a few words (as makeText's do, where one lost span
// leaves every later byte unknown): words of a large made-up vocabulary, the common ones often,
// in lines of varied length, fixed by the seed.
Bytes variedText(size_t size, uint32_t seed) {
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 11;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 20);
    };
    std::vector<std::string> words(4000);
    for (std::string& word : words) {
        const uint32_t length = 1 + next() % 11;
        for (uint32_t index = 0; index < length; ++index) {
            word += static_cast<char>('a' + next() % 26);
        }
    }
    Bytes text;
    while (text.size() < size) {
        // A cube of a uniform draw: low indices (common words) come up far more often.
        const double draw = static_cast<double>(next() % 1000000) / 1000000.0;
        const std::string& word = words[static_cast<size_t>(draw * draw * draw * 4000.0)];
        text.insert(text.end(), word.begin(), word.end());
        text.push_back(next() % 9 == 0 ? '\n' : ' ');
    }
    text.resize(size);
    return text;
}

Bytes zeroed(const Bytes& stream, size_t at, size_t count) {
    Bytes damaged = stream;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(at),
              damaged.begin() + static_cast<std::ptrdiff_t>(std::min(at + count, stream.size())),
              uint8_t{0});
    return damaged;
}

// The data behind the zeros is placed by the recorded size: the output has it, and most of
// what followed the damage is known (matches that copy from the lost span stay unknown).
bool placedBehind(const Bytes& original, const Recovered& recovered, const std::string& what,
                  bool mostKnown = true) {
    expectNothingInvented(original, recovered, what);
    EXPECT_EQ(recovered.result.end, DecodeEnd::kCorruptData) << what;
    if (recovered.output.size() != original.size()) return false;
    EXPECT_FALSE(recovered.unknown.ranges.empty()) << what;
    if (recovered.unknown.ranges.empty()) return false;
    const uint64_t after = original.size() - recovered.unknown.ranges.front().start;
    if (mostKnown) {
        EXPECT_LT(unknownByteCount(recovered.unknown) * 2, after) << what;
    }
    return true;
}

// Binary records of 24 bytes: a counter, zeros, a type and a name from short lists, a small
// value. Many of their matches start with a zero byte.
Bytes binaryRecords(size_t size, uint32_t seed) {
    static const char* const kNames[] = {"alpha", "bravo", "delta", "echo", "kilo", "lima"};
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 5;
    Bytes records;
    for (uint32_t counter = 0; records.size() < size; ++counter) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        uint8_t record[24] = {};
        for (int index = 0; index < 4; ++index) {
            record[index] = static_cast<uint8_t>(counter >> (8 * index));
        }
        record[8] = static_cast<uint8_t>(state % 8);
        const char* name = kNames[(state >> 8) % 6];
        std::copy(name, name + std::char_traits<char>::length(name), record + 10);
        record[20] = static_cast<uint8_t>(state >> 16);
        record[21] = static_cast<uint8_t>((state >> 24) % 4);
        records.insert(records.end(), record, record + 24);
    }
    records.resize(size);
    return records;
}

TEST(InflateResync, ZeroedSpansInsideHuffmanBlocksAreRecoveredPast) {
    for (bool binary : {false, true}) {
        const Bytes original = binary ? binaryRecords(300000, 65) : variedText(300000, 61);
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
            for (int level : {1, 6, 9}) {
                const Bytes stream = zlibDeflate(original, level, strategy);
                for (double place : {0.3, 0.7}) {
                    for (size_t count : {size_t{40}, size_t{700}}) {
                        std::string what = std::string(binary ? "records" : "text") + " strategy " +
                                           std::to_string(strategy) + " level " +
                                           std::to_string(level) + " at " + std::to_string(place) +
                                           " zeros " + std::to_string(count);
                        auto at = static_cast<size_t>(place * static_cast<double>(stream.size()));
                        // Records copy so much from each other that 700 lost bytes leave
                        // most of what follows unknown; 40 must not (a byte after a match
                        // compared with an unknown one once counted as damage there).
                        bool placed =
                            placedBehind(original, recover(zeroed(stream, at, count), original),
                                         what, !binary || count == 40);
                        // Fixed blocks carry no header check of their own: behind a lost block end
                        // the next one is not looked for, and only the prefix is kept.
                        if (strategy != Z_FIXED) {
                            EXPECT_TRUE(placed) << what;
                        }
                    }
                }
            }
        }
    }
}

// A start behind the zeros whose last block ends before the data does is no reading of the
// bits there: once taken for a second chain, it kept the true one from being believed, and only
// the prefix came back.
TEST(InflateResync, AChainEndingBeforeTheDataIsNoSecondReading) {
    const std::pair<Bytes, int> cases[] = {{binaryRecords(66513, 61), 1},
                                           {variedText(79214, 74), 6}};
    for (const auto& [original, tenths] : cases) {
        const Bytes stream = zlibDeflate(original, 6, Z_DEFAULT_STRATEGY);
        const auto at = static_cast<size_t>(tenths / 10.0 * static_cast<double>(stream.size()));
        const size_t count = tenths == 1 ? 128 : 16;
        const std::string what = "zeros at tenth " + std::to_string(tenths);
        EXPECT_TRUE(
            placedBehind(original, recover(zeroed(stream, at, count), original), what, false))
            << what;
    }
}

// 7z's streams keep only the nearest-match rule: the chains behind zeros are checked by it, and
// the bytes right behind a join are believed as in zlib's streams.
TEST(InflateResync, ZeroedSpansInA7zStreamAreRecoveredPast) {
    for (bool binary : {false, true}) {
        const Bytes original = binary ? binaryRecords(300000, 66) : variedText(300000, 63);
        const Bytes stream = sevenZipDeflate(original);
        if (stream.empty()) GTEST_SKIP() << "7z is missing: no optimal-parse stream to damage";
        for (double place : {0.3, 0.7}) {
            for (size_t count : {size_t{40}, size_t{700}}) {
                const std::string what = std::string(binary ? "records" : "text") + " at " +
                                         std::to_string(place) + " zeros " + std::to_string(count);
                auto at = static_cast<size_t>(place * static_cast<double>(stream.size()));
                EXPECT_TRUE(placedBehind(original, recover(zeroed(stream, at, count), original),
                                         what, !binary || count == 40))
                    << what;
            }
        }
    }
}

// Stored blocks hold the text as it is; behind the zeros the next block's LEN and NLEN are
// found.
TEST(InflateResync, ZeroedSpanInAStoredBlockIsRecoveredPast) {
    const Bytes original = variedText(250000, 62);
    const Bytes stream = zlibDeflate(original, 0);
    for (size_t at : {size_t{1000}, size_t{100000}}) {
        EXPECT_TRUE(placedBehind(original, recover(zeroed(stream, at, 300), original),
                                 "stored at " + std::to_string(at)));
    }
}

// Zeros over the end of one block and the header of the next: decoding is picked up at a
// later block header (the block between is lost whole, and with it much that copies from it).
TEST(InflateResync, ZeroedSpanAcrossABlockBoundaryIsRecoveredPast) {
    const Bytes original = variedText(300000, 61);
    const Bytes stream = zlibDeflate(original, 6, Z_DEFAULT_STRATEGY, 8000);
    // The empty stored block of a sync flush: 00 00 FF FF after the block it closes.
    const uint8_t marker[] = {0, 0, 0xFF, 0xFF};
    auto boundary = std::search(stream.begin() + 100, stream.end(), marker, marker + 4);
    ASSERT_NE(boundary, stream.end());
    const auto at = static_cast<size_t>(boundary - stream.begin());
    EXPECT_TRUE(
        placedBehind(original, recover(zeroed(stream, at - 30, 80), original), "boundary", false));
}

// Chains meet only where they read the same bit in the same state: a decoder at a block
// header on a bit where the other chain read a symbol decodes those bits otherwise, and taking
// it for joined handed back a wrong byte.
TEST(InflateResync, ChainsMeetOnlyInTheSameState) {
    const Bytes original = variedText(100000, 63);
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
        const Bytes stream = zlibDeflate(original, 6, strategy);
        std::vector<SpanVisit> chain;
        SpanDecoder whole;
        whole.data = stream.data();
        whole.dataBytes = stream.size();
        whole.visits = &chain;
        ASSERT_EQ(runSpan(whole), SpanStop::kStreamEnd) << strategy;
        const size_t middle = chain.size() / 2;
        ASSERT_NE(chain[middle].blockBit, kSpanAtHeader) << strategy;
        SpanDecoder before;
        before.data = stream.data();
        before.dataBytes = stream.size();
        before.stopBit = chain[middle].bit;
        ASSERT_EQ(runSpan(before), SpanStop::kLimit) << strategy;
        before.stopBit = UINT64_MAX;
        before.mergeWith = &chain;
        SpanDecoder atHeader = before;
        // The look-up goes on from where the last one ended: a cursor left far behind, ahead
        // of the bit (by a decoder copied from a later one) or past the list still finds it.
        for (uint64_t cursor : {uint64_t{0}, uint64_t{middle - 1}, uint64_t{middle + 40},
                                uint64_t{chain.size() + 5}}) {
            SpanDecoder stale = before;
            stale.mergeCursor = cursor;
            ASSERT_EQ(runSpan(stale), SpanStop::kMerged) << strategy << " " << cursor;
            EXPECT_EQ(stale.mergedAt, middle) << strategy << " " << cursor;
        }
        ASSERT_EQ(runSpan(before), SpanStop::kMerged) << strategy;
        EXPECT_EQ(before.mergedAt, middle) << strategy;
        atHeader.atHeader = true;
        const SpanStop stop = runSpan(atHeader);
        EXPECT_TRUE(stop != SpanStop::kMerged || atHeader.mergedAt != middle) << strategy;
    }
}

// Random bytes over a block's end and the next header, with a long block behind: every start
// inside the damaged block decodes the next block with the wrong codes until it fails, and all
// fail at the same bit. The search must keep enough of its work to find a header after that.
TEST(InflateResync, RandomBytesOverABlockHeaderAreRecoveredPast) {
    const Bytes original = variedText(300000, 62);
    for (const auto& [writer, stream] :
         {std::pair<std::string, Bytes>{"level 9", zlibDeflate(original, 9)},
          std::pair<std::string, Bytes>{"7z", sevenZipDeflate(original)}}) {
        if (stream.empty()) continue;
        std::vector<SpanVisit> visits;
        SpanDecoder decoder = decoderOver(stream.data(), stream.size(), false);
        decoder.visits = &visits;
        ASSERT_EQ(runSpan(decoder), SpanStop::kStreamEnd) << writer;
        std::vector<uint64_t> headers;
        for (const SpanVisit& visit : visits) {
            if (visit.blockBit == kSpanAtHeader && visit.bit > 0) headers.push_back(visit.bit);
        }
        if (headers.size() < 2) continue;
        const auto at = static_cast<size_t>(headers[headers.size() / 2] / 8);
        Bytes damaged = stream;
        const Bytes noise = makeRandom(16, 63);
        std::copy(noise.begin(), noise.end(),
                  damaged.begin() + static_cast<std::ptrdiff_t>(at - 8));
        EXPECT_TRUE(placedBehind(original, recover(damaged, original), writer, false)) << writer;
    }
}

// Random bytes over the data: zlib never ends a match the next byte would extend, and decoding
// them breaks that within a few hundred bits. The damage is put there (before the run of zeros
// inside the noise, where there is one), the data is found again behind it, and nothing handed
// back is invented.
TEST(InflateResync, RandomBytesAreFoundBySignsAndInventNothing) {
    const Bytes original = variedText(200000, 55);
    std::vector<std::pair<std::string, Bytes>> streams;
    for (int level : {1, 6, 9}) {
        streams.emplace_back("level " + std::to_string(level), zlibDeflate(original, level));
    }
    // 7z's optimal parse keeps only the nearest-match rule.
    streams.emplace_back("7z", sevenZipDeflate(original));
    if (streams.back().second.empty()) streams.pop_back();
    for (const auto& [writer, stream] : streams) {
        for (bool zerosInside : {false, true}) {
            for (size_t count : {size_t{16}, size_t{400}, size_t{3000}}) {
                const std::string what =
                    writer + " noise " + std::to_string(count) + (zerosInside ? " zeros" : "");
                Bytes damaged = stream;
                Bytes noise = makeRandom(count, static_cast<uint32_t>(56 + count));
                // Zeros inside the noise, after 4 or 750 random bytes: the run is found, and the
                // noise before it does not pass as data.
                if (zerosInside && count == 400) continue;
                if (zerosInside) std::fill(noise.begin() + count / 4, noise.end() - count / 4, 0);
                const size_t at = stream.size() / 2;
                std::copy(noise.begin(), noise.end(),
                          damaged.begin() + static_cast<std::ptrdiff_t>(at));
                Recovered recovered = recover(damaged, original);
                expectNothingInvented(original, recovered, what);
                // The data before the noise is kept but for a margin of compressed data: 1 KiB
                // where the nearest-match rule tells it, 2 KiB where zeros end the noise.
                const size_t margin = zerosInside ? 2048 : 1024;
                const size_t sure =
                    zlibInflatePrefix(
                        Bytes(stream.begin(),
                              stream.begin() + static_cast<std::ptrdiff_t>(at - margin)))
                        .size();
                const uint64_t kept = recovered.unknown.ranges.empty()
                                          ? recovered.output.size()
                                          : recovered.unknown.ranges.front().start;
                EXPECT_GE(kept, sure) << what;
                EXPECT_EQ(recovered.output.size(), original.size()) << what;
            }
        }
    }
}

// Sixteen random bytes after which decoding falls back in step with the stream: the garbage
// shows a sign at once and the next only where a match copies from it, thousands of bits on
// (zlib's level 1 at 50% and 20%, level 6 at 20%), or never a second within a window, the stream
// decoding to the recorded size with the wrong CRC-32 (level 6 at 80% and 50%). The damage lies
// before the first sign; the output from there on is given back only where a start behind it
// vouches for it.
TEST(InflateResync, GarbageBackInStepSoonIsPlacedByItsFirstSign) {
    struct Case {
        uint32_t seed;
        int level;
        size_t percent;
    };
    for (const Case& c :
         {Case{18, 1, 50}, Case{25, 1, 20}, Case{31, 6, 20}, Case{22, 6, 80}, Case{35, 6, 50}}) {
        const Bytes original = variedText(65536, c.seed);
        const Bytes stream = zlibDeflate(original, c.level);
        Bytes damaged = stream;
        const Bytes noise = makeRandom(16, c.seed * 100 + static_cast<uint32_t>(c.percent / 10));
        std::copy(noise.begin(), noise.end(),
                  damaged.begin() + static_cast<std::ptrdiff_t>(stream.size() * c.percent / 100));
        const std::string what = "seed " + std::to_string(c.seed) + " level " +
                                 std::to_string(c.level) + " at " + std::to_string(c.percent);
        const Recovered recovered = recover(damaged, original);
        expectNothingInvented(original, recovered, what);
        EXPECT_FALSE(recovered.unknown.ranges.empty()) << what;
        EXPECT_EQ(recovered.output.size(), original.size()) << what;
    }
    // Here the stream decodes to its recorded size, and the first sign comes 81,000 bits behind
    // the noise, where a match copies one of the 70 wrong bytes it decoded to: the copies lead
    // back to them.
    const Bytes original = variedText(110478, 106);
    const Bytes stream = zlibDeflate(original, 9);
    Bytes damaged = stream;
    std::mt19937 random(364574);
    for (size_t index = 0; index < 16; ++index) {
        damaged[stream.size() / 2 + index] = static_cast<uint8_t>(random());
    }
    const Recovered recovered = recover(damaged, original);
    expectNothingInvented(original, recovered, "far first sign");
    EXPECT_EQ(recovered.output.size(), original.size());
}

// Noise in a 7z stream's first 32 KiB of output decodes to a copy from before the first byte
// 37 bytes on, and breaks the nearest-match rule only 10,900 bits on, past the margin kept before
// a sign: the copy is the first sign.
TEST(InflateResync, ACopyFromBeforeTheFirstByteIsASignWhateverTheRule) {
    const Bytes original = variedText(77260, 72);
    const Bytes stream = sevenZipDeflate(original);
    if (stream.empty()) GTEST_SKIP() << "7z is missing: no optimal-parse stream to damage";
    Bytes damaged = stream;
    std::mt19937 random(95325);
    const auto at = static_cast<size_t>(0.2 * static_cast<double>(stream.size()));
    for (size_t index = 0; index < 16; ++index)
        damaged[at + index] = static_cast<uint8_t>(random());
    const Recovered recovered = recover(damaged, original);
    expectNothingInvented(original, recovered, "7z");
    EXPECT_EQ(recovered.output.size(), original.size());
}

// Garbage decoded behind noise copies pieces of the true text. Long after the garbage's last
// sign, a match of the true stream meets one of them by chance in the output still held back
// behind it; that is no sign that the garbage went on, and all before it is not given up.
TEST(InflateResync, AChanceMatchAgainstHeldBackGarbageIsNoSign) {
    const Bytes original = variedText(200000, 71);
    const Bytes stream = zlibDeflate(original, 9);
    Bytes damaged = stream;
    const Bytes noise = makeRandom(1024, 131);
    std::copy(noise.begin(), noise.end(),
              damaged.begin() + static_cast<std::ptrdiff_t>(stream.size() * 60 / 100));
    const Recovered recovered = recover(damaged, original);
    expectNothingInvented(original, recovered, "level 9");
    uint64_t unknown = 0;
    for (const auto& range : recovered.unknown.ranges) unknown += range.end - range.start;
    EXPECT_LT(unknown, 30000u);  // 33,388 when the chance match counted as a sign
}

// A match is a sign when a nearer position holds its bytes, all known; zlib's and 7z's intact
// streams show none from their first match to their last (zlib's fast level over the positions
// it chains).
TEST(InflateResync, NearerCopiesAreSignsAndIntactStreamsShowNone) {
    const std::string text = "abcXabcYabc";
    const Bytes bytes(text.begin(), text.end());
    std::vector<uint8_t> marks(bytes.size(), 0);
    NearestIndex index;
    resetNearestIndex(index, 0);
    EXPECT_TRUE(nearerMatchExists(index, bytes.data(), marks.data(), 8, 3, 8));
    resetNearestIndex(index, 0);
    EXPECT_FALSE(nearerMatchExists(index, bytes.data(), marks.data(), 8, 3, 4));
    std::fill(marks.begin() + 4, marks.begin() + 7, uint8_t{1});
    resetNearestIndex(index, 0);
    EXPECT_FALSE(nearerMatchExists(index, bytes.data(), marks.data(), 8, 3, 8));

    for (const Bytes& original : {variedText(300000, 61), binaryRecords(300000, 62)}) {
        std::vector<std::pair<std::string, Bytes>> streams = {{"level 1", zlibDeflate(original, 1)},
                                                              {"level 6", zlibDeflate(original, 6)},
                                                              {"level 9", zlibDeflate(original, 9)},
                                                              {"7z", sevenZipDeflate(original)}};
        for (const auto& [writer, stream] : streams) {
            if (stream.empty()) continue;
            Bytes output(original.size());
            std::vector<uint8_t> outputMarks(original.size(), 0);
            SpanDecoder decoder;
            decoder.data = stream.data();
            decoder.dataBytes = stream.size();
            decoder.bytes = &output;
            decoder.marks = &outputMarks;
            decoder.outputLimit = output.size();
            resetNearestIndex(index, 0, writer == "level 1" ? 4 : 0);
            decoder.nearest = &index;
            EXPECT_EQ(runSpan(decoder), SpanStop::kStreamEnd) << writer;
            EXPECT_EQ(decoder.brokenAtBit, UINT64_MAX) << writer;
            EXPECT_TRUE(output == original) << writer;
        }
    }
}

// An intact stream is left as inflate decodes it, with nothing listed or repaired.
TEST(InflateResync, IntactStreamsAreLeftAlone) {
    const Bytes original = makeText(100000, 57);
    for (int level : {0, 1, 9}) {
        Recovered recovered = recover(zlibDeflate(original, level), original);
        EXPECT_EQ(recovered.result.end, DecodeEnd::kDone) << level;
        EXPECT_TRUE(recovered.output == original) << level;
        EXPECT_TRUE(recovered.unknown.ranges.empty()) << level;
        EXPECT_FALSE(recovered.repair.made) << level;
    }
}

// Holes are listed merged and in order whichever order they are marked in: appended, inside,
// touching, bridging several, and before all the others.
TEST(InflateResync, UnknownRangesMergeInAnyOrder) {
    UnknownRanges unknown;
    for (auto [start, end] : {std::pair<uint64_t, uint64_t>{10, 20},
                              {30, 40},
                              {50, 60},
                              {12, 15},
                              {20, 22},
                              {5, 5},
                              {35, 52},
                              {0, 2},
                              {70, 80}}) {
        markUnknown(unknown, start, end);
    }
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {0, 2}, {10, 22}, {30, 60}, {70, 80}};
    ASSERT_EQ(unknown.ranges.size(), expected.size());
    for (size_t index = 0; index < expected.size(); ++index) {
        EXPECT_EQ(unknown.ranges[index].start, expected[index].first) << index;
        EXPECT_EQ(unknown.ranges[index].end, expected[index].second) << index;
    }
    EXPECT_EQ(unknownByteCount(unknown), 2u + 12u + 30u + 10u);
}

}  // namespace
}  // namespace zipsalvage::testing
