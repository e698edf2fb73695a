// inflate over valid streams from the structured generator, which reaches what zlib's encoder
// never emits: distances up to the window's full size, every length and distance code, long
// matches at distance 1, and stored, fixed and dynamic blocks in any order. zlib decodes the
// same streams, which proves the generator's streams valid.
#include <gtest/gtest.h>

#include "fuzz/deflate_stream_generator.h"
#include "tests/huffman/inflate_test_support.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {
namespace {

using fuzz::ChoiceSource;
using fuzz::DeflateVariant;
using fuzz::GeneratedStream;

constexpr uint32_t kAllLengthSymbols = (1u << 29) - 1;    // 257..285
constexpr uint32_t kAllDistanceSymbols = (1u << 30) - 1;  // 0..29
constexpr uint32_t kAllBlockTypes = 0x7;

TEST(GeneratedDeflate, EveryStreamDecodesToWhatItEncodes) {
    uint32_t lengthSymbols = 0;
    uint32_t distanceSymbols = 0;
    uint32_t blockTypes = 0;
    uint32_t longestDistance = 0;
    uint32_t longestMatch = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        ChoiceSource choices(seed);
        GeneratedStream generated =
            generateDeflateStream(choices, DeflateVariant::kDeflate, 150000);
        ZlibInflated reference = zlibInflateRaw(generated.stream);
        ASSERT_TRUE(reference.complete && reference.content == generated.content)
            << "the generator's stream " << seed << " is not valid deflate";
        InflateRun run = runInflate(generated.stream);
        EXPECT_EQ(run.result, 1) << "stream " << seed;
        ASSERT_EQ(run.output.size(), generated.content.size()) << "stream " << seed;
        EXPECT_TRUE(run.output == generated.content) << "stream " << seed << " decoded wrongly";
        lengthSymbols |= generated.lengthSymbolsUsed;
        distanceSymbols |= generated.distanceSymbolsUsed;
        blockTypes |= generated.blockTypesUsed;
        longestDistance = std::max(longestDistance, generated.longestDistance);
        longestMatch = std::max(longestMatch, generated.longestMatch);
    }
    // What the streams above must have reached for their passing to mean something.
    EXPECT_EQ(lengthSymbols, kAllLengthSymbols);
    EXPECT_EQ(distanceSymbols, kAllDistanceSymbols);
    EXPECT_EQ(blockTypes, kAllBlockTypes);
    EXPECT_EQ(longestDistance, 32768u);
    EXPECT_EQ(longestMatch, 258u);
}

}  // namespace
}  // namespace zipsalvage::testing
