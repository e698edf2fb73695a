// inflate over valid streams from the structured generator, which reaches what zlib's encoder
// never emits: distances up to the window's full size, every length and distance code, long
// matches at distance 1, and stored, fixed and dynamic blocks in any order. zlib decodes the
// same streams, which proves the generator's streams valid.
#include <gtest/gtest.h>

#include "extract/huffman_decoders.h"
#include "fuzz/deflate_stream_generator.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {
namespace {

using fuzz::ChoiceSource;
using fuzz::DeflateVariant;
using fuzz::GeneratedStream;

constexpr uint32_t kAllLengthSymbols = (1u << 29) - 1;    // 257..285
constexpr uint32_t kAllDistanceSymbols = (1u << 30) - 1;  // 0..29
constexpr uint32_t kAllBlockTypes = 0x7;

// What a run of generated streams reached between them: symbols, block types, the farthest
// distance and the longest match.
struct StreamsReach {
    uint32_t lengthSymbols = 0;
    uint32_t distanceSymbols = 0;
    uint32_t blockTypes = 0;
    uint32_t longestDistance = 0;
    uint32_t longestMatch = 0;
    void add(const GeneratedStream& generated) {
        lengthSymbols |= generated.lengthSymbolsUsed;
        distanceSymbols |= generated.distanceSymbolsUsed;
        blockTypes |= generated.blockTypesUsed;
        longestDistance = std::max(longestDistance, generated.longestDistance);
        longestMatch = std::max(longestMatch, generated.longestMatch);
    }
};

void expectDecodedWhole(const InflateRun& run, const GeneratedStream& generated, uint64_t seed) {
    EXPECT_EQ(run.result, 1) << "stream " << seed;
    ASSERT_EQ(run.output.size(), generated.content.size()) << "stream " << seed;
    EXPECT_TRUE(run.output == generated.content) << "stream " << seed << " decoded wrongly";
}

TEST(GeneratedDeflate, EveryStreamDecodesToWhatItEncodes) {
    StreamsReach reach;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        ChoiceSource choices(seed);
        GeneratedStream generated =
            generateDeflateStream(choices, DeflateVariant::kDeflate, 150000);
        ZlibInflated reference = zlibInflateRaw(generated.stream);
        ASSERT_TRUE(reference.complete && reference.content == generated.content)
            << "the generator's stream " << seed << " is not valid deflate";
        expectDecodedWhole(runInflate(generated.stream), generated, seed);
        reach.add(generated);
    }
    // What the streams above must have reached for their passing to mean something.
    EXPECT_EQ(reach.lengthSymbols, kAllLengthSymbols);
    EXPECT_EQ(reach.distanceSymbols, kAllDistanceSymbols);
    EXPECT_EQ(reach.blockTypes, kAllBlockTypes);
    EXPECT_EQ(reach.longestDistance, 32768u);
    EXPECT_EQ(reach.longestMatch, 258u);
}

InflateRun runDeflate64(const Bytes& stream, size_t available = SIZE_MAX) {
    DecoderBench bench(stream, 0);
    bench.input.available = available;
    InflateRun run;
    run.result = ranToEnd(inflateDeflate64(bench.context)) ? 1 : 0;
    run.output = bench.output();
    return run;
}

// Deflate64 has no outside decoder here: the generator's own record of what it encoded is the
// reference.
TEST(GeneratedDeflate64, EveryStreamDecodesToWhatItEncodes) {
    StreamsReach reach;
    for (uint64_t seed = 1; seed <= 30; ++seed) {
        ChoiceSource choices(seed);
        GeneratedStream generated =
            generateDeflateStream(choices, DeflateVariant::kDeflate64, 250000);
        expectDecodedWhole(runDeflate64(generated.stream), generated, seed);
        reach.add(generated);
    }
    EXPECT_EQ(reach.lengthSymbols, kAllLengthSymbols);
    EXPECT_EQ(reach.distanceSymbols, 0xFFFFFFFFu);  // 30 and 31 too
    EXPECT_EQ(reach.blockTypes, kAllBlockTypes);
    EXPECT_EQ(reach.longestDistance, 65536u);
    EXPECT_GT(reach.longestMatch, 60000u);  // symbol 285 with most of its 16 extra bits
}

// The two formats differ in symbol 285 and distance codes 30 and 31: a stream that uses them
// means something else to the other decoder, so each must be run with its own.
TEST(GeneratedDeflate64, Deflate64StreamsAreNotReadAsDeflate) {
    ChoiceSource choices(uint64_t{7});
    GeneratedStream generated = generateDeflateStream(choices, DeflateVariant::kDeflate64, 200000);
    ASSERT_NE(generated.distanceSymbolsUsed >> 30, 0u);
    EXPECT_FALSE(runInflate(generated.stream).output == generated.content);
}

// A cut stream keeps what decoded before the cut, in either format.
TEST(GeneratedDeflate64, CutStreamsKeepTheirPrefix) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        ChoiceSource choices(seed + 100);
        DeflateVariant variant = seed % 2 ? DeflateVariant::kDeflate64 : DeflateVariant::kDeflate;
        GeneratedStream generated = generateDeflateStream(choices, variant, 150000);
        size_t cut = generated.stream.size() * seed / 8;
        Bytes shortened(generated.stream.begin(),
                        generated.stream.begin() + static_cast<std::ptrdiff_t>(cut));
        InflateRun run =
            variant == DeflateVariant::kDeflate64 ? runDeflate64(shortened) : runInflate(shortened);
        EXPECT_EQ(run.result, 0) << "stream " << seed;
        EXPECT_TRUE(isPrefixOf(run.output, generated.content)) << "stream " << seed;
        // All but the last few symbols before the cut come out.
        EXPECT_GT(run.output.size(), generated.content.size() * (seed - 1) / 8 / 2)
            << "stream " << seed;
    }
}

}  // namespace
}  // namespace zipsalvage::testing
