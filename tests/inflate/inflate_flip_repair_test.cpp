// The repair of one flipped bit in a deflate stream: a repair is the original byte for byte,
// proven by the recorded size and CRC-32, for flips that change the size and flips that keep it,
// in streams of writers that make every match the longest and of one that does not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>

#include "extract/inflate_repair_crc.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/inflate/resync_test_support.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

// Flips the bit `at % 8` of each byte `at` in [from, to) in steps of `step`, until `wanted` of
// them leave zlib decoding the stream to the recorded size with other bytes; each of those must
// be repaired to the original at its own bit. Gives how many were found.
int repairFlipsThatKeepTheSize(const Bytes& original, const Bytes& stream, size_t from, size_t to,
                               size_t step, int wanted) {
    int sameSize = 0;
    for (size_t at = from; at < to && sameSize < wanted; at += step) {
        Bytes damaged = stream;
        damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
        const Bytes streamed = zlibInflatePrefix(damaged);
        if (streamed.size() != original.size() || streamed == original) continue;
        ++sameSize;
        Recovered recovered = recover(damaged, original);
        EXPECT_TRUE(recovered.repair.made) << at;
        if (!recovered.repair.made) continue;
        EXPECT_TRUE(recovered.output == original) << at;
        EXPECT_TRUE(recovered.unknown.ranges.empty()) << at;
        EXPECT_EQ(recovered.repair.byteOffset * 8 + recovered.repair.bitInByte, at * 8 + at % 8)
            << at;
    }
    return sameSize;
}

// A flip is kept only when the whole entry then decodes to its size and CRC-32: what is
// repaired is the original, byte for byte, and many flips are.
TEST(InflateResync, FlippedBitsAreRepairedOnlyToTheRecordedCrc) {
    const Bytes original = makeText(120000, 54);
    const Bytes stream = zlibDeflate(original, 6);
    int repaired = 0;
    int tried = 0;
    for (size_t at = 200; at < stream.size(); at += stream.size() / 23, ++tried) {
        Bytes damaged = stream;
        damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
        Recovered recovered = recover(damaged, original);
        if (!recovered.repair.made) continue;
        ++repaired;
        EXPECT_EQ(recovered.result.end, DecodeEnd::kDone) << at;
        EXPECT_TRUE(recovered.output == original) << at;
        EXPECT_TRUE(recovered.unknown.ranges.empty()) << at;
        EXPECT_EQ(recovered.repair.byteOffset, at) << at;
        EXPECT_EQ(recovered.repair.bitInByte, at % 8) << at;
    }
    EXPECT_GE(repaired * 10, tried * 9) << repaired << " of " << tried;
}

// Flips that leave the stream decoding to its recorded size with only the CRC-32 wrong (a
// distance's extra bit, one literal for another) show no sign where they lie, here far from the
// stream's end: they are found over the whole stream and repaired to the original.
TEST(InflateResync, FlipsThatKeepTheSizeAreRepairedAnywhere) {
    const Bytes original = makeText(150000, 58);
    const Bytes stream = zlibDeflate(original, 9);
    EXPECT_EQ(repairFlipsThatKeepTheSize(original, stream, 100, stream.size() / 2, 37, 6), 6);
}

// Over fixed-size binary records the search's trials cost much, and its work is mostly spent by
// the time it reaches a flip early in the stream. The right flip's trial, decoded on from there
// to the end, must not be cut short by what is left of it.
TEST(InflateResync, AFlipEarlyInALongStreamIsRepairedWhenTheSearchIsAlmostSpent) {
    std::mt19937 random(26);
    Bytes original;
    for (uint32_t record = 0; original.size() < 204800; ++record) {
        const auto kind = static_cast<uint32_t>(random() % 5);
        const auto flags = static_cast<uint32_t>(random() & 0x11);
        const float value = static_cast<float>(random() % 1000) / 8.0f;
        uint32_t fields[4] = {record, kind | flags << 16, 0, 1700000000u + record * 7};
        std::memcpy(&fields[2], &value, sizeof value);
        const auto* raw = reinterpret_cast<const uint8_t*>(fields);
        original.insert(original.end(), raw, raw + sizeof fields);
    }
    const Bytes stream = zlibDeflate(original, 6);
    // The search, from the stream's end backwards, runs out of work here at about 17% of the
    // stream: the flips tried lie just after that point, where the trials before them have left
    // too little for the right one's decoding to the end.
    EXPECT_EQ(repairFlipsThatKeepTheSize(original, stream, stream.size() * 176 / 1000,
                                         stream.size() / 5, 53, 3),
              3);
}

// A trial that meets the decoding has its CRC-32 told from the bytes it wrote, the size change
// and the decoding's copies: the same as that of the whole trial decoded, whether it wrote
// more bytes than the decoding, fewer, or as many, and whether copies behind the meeting point
// reach back over it or behind the trial's first byte.
TEST(InflateResync, RejoinedTrialsCrcIsToldWithoutDecodingTheRest) {
    // The decoding: random literals and copies, each symbol's start and (for a copy) distance.
    std::mt19937 random(61);
    Bytes decoded;
    std::vector<DecodedCopy> copies;
    std::vector<std::pair<uint64_t, uint64_t>> symbols;  // start, distance (0: a literal)
    while (decoded.size() < 6000) {
        const uint64_t start = decoded.size();
        if (start < 3 || random() % 2 == 0) {
            decoded.push_back(static_cast<uint8_t>(random() % 4 + 'a'));
            symbols.push_back({start, 0});
            continue;
        }
        const uint64_t length = 3 + random() % 30;
        const uint64_t distance = 1 + random() % std::min<uint64_t>(start, 2000);
        for (uint64_t index = 0; index < length; ++index) {
            decoded.push_back(decoded[decoded.size() - distance]);
        }
        copies.push_back({start, length, distance});
        symbols.push_back({start, distance});
    }
    for (const auto& [from, symbol, change] : {std::tuple<uint64_t, size_t, int64_t>{3000, 0, 0},
                                               {3000, 0, 7},
                                               {3000, 0, -5},
                                               {40, 0, 200},
                                               {1500, 0, 0},
                                               {5000, 0, 3}}) {
        // The first symbol at least 20 bytes after `from` is where the trial meets the decoding.
        size_t meet = symbol;
        while (symbols[meet].first < from + 20) ++meet;
        const uint64_t rejoined = symbols[meet].first;
        Bytes trial(decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(from));
        const auto own = static_cast<int64_t>(rejoined - from) + change;
        for (int64_t index = 0; index < own; ++index) {
            trial.push_back(static_cast<uint8_t>(random() % 4 + 'a'));
        }
        for (size_t index = meet; index < symbols.size(); ++index) {
            const uint64_t end =
                index + 1 < symbols.size() ? symbols[index + 1].first : decoded.size();
            for (uint64_t at = symbols[index].first; at < end; ++at) {
                trial.push_back(symbols[index].second == 0
                                    ? decoded[at]
                                    : trial[trial.size() - symbols[index].second]);
            }
        }
        RejoinCrc crc;
        prepareRejoinCrc(decoded, decoded.size(), copies, change, crc);
        EXPECT_EQ(rejoinedTrialCrc(crc, trial, from, rejoined), crcOf(trial))
            << from << " " << change;
    }
}

// In a stream whose matches are not always the longest, a broken longest match says nothing
// of where a flip lies: the flips are found over the whole stream, those that change the
// entry's size too, and every repair is the original.
TEST(InflateResync, FlipsInAStreamOfAnOptimalParseAreRepaired) {
    const Bytes original = makeText(150000, 59);
    const Bytes stream = sevenZipDeflate(original);
    if (stream.empty()) GTEST_SKIP() << "7z is missing: no optimal-parse stream to damage";
    int tried = 0;
    int repaired = 0;
    int resized = 0;
    for (size_t at = 300; at < stream.size(); at += stream.size() / 13, ++tried) {
        Bytes damaged = stream;
        damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
        Recovered recovered = recover(damaged, original);
        if (!recovered.repair.made) continue;
        ++repaired;
        EXPECT_TRUE(recovered.output == original) << at;
        EXPECT_EQ(recovered.repair.byteOffset, at) << at;
        if (zlibInflatePrefix(damaged).size() != original.size()) ++resized;
    }
    EXPECT_GE(repaired * 10, tried * 9) << repaired << " of " << tried;
    EXPECT_GE(resized, 1);
}

// Where the output is still shorter than the window, a flip in such a stream mostly gives a copy
// from before the first byte or an invalid code within a few symbols, and the stream has no end
// to search from: the flip is looked for just before that first sign.
TEST(InflateResync, FlipsThatStopAnOptimalParseEarlyAreRepaired) {
    const Bytes original = makeText(150000, 60);
    const Bytes stream = sevenZipDeflate(original);
    if (stream.empty()) GTEST_SKIP() << "7z is missing: no optimal-parse stream to damage";
    int stopped = 0;
    for (size_t at = 500; at < stream.size() / 4 && stopped < 4; at += 41) {
        Bytes damaged = stream;
        damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
        const ZlibInflated streamed = zlibInflateRaw(damaged);
        if (streamed.complete || streamed.content.size() >= 32768) continue;
        ++stopped;
        Recovered recovered = recover(damaged, original);
        ASSERT_TRUE(recovered.repair.made) << at;
        EXPECT_TRUE(recovered.output == original) << at;
        EXPECT_EQ(recovered.repair.byteOffset, at) << at;
    }
    EXPECT_EQ(stopped, 4);
}

}  // namespace
}  // namespace zipsalvage::testing
