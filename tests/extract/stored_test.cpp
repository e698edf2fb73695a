// The stored method: 1000-byte pieces, truncation, the flags, and the buffer pool.
#include <gtest/gtest.h>

#include "extract/methods.h"
#include "tests/support/memory_source.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::DecoderBench;

TEST(Stored, CopiesTheDataExactly) {
    for (size_t size : {0u, 1u, 999u, 1000u, 1001u, 2500u, 70000u}) {
        Bytes data = testing::makeRandom(size, static_cast<uint32_t>(size));
        DecoderBench bench(data, static_cast<uint32_t>(size));
        EXPECT_TRUE(ranToEnd(extractStored(bench.context))) << size;
        EXPECT_EQ(bench.output(), data) << size;
    }
}

TEST(Stored, TruncatedArchiveKeepsEveryBytePresent) {
    // 2500 recorded, 2300 in the archive, 2001 and 999 as well: the archive's last, short
    // block arrives too, so no byte present is lost to the 1000-byte pieces or the blocks.
    Bytes data = testing::makeRandom(2500, 7);
    for (size_t available : {size_t{2300}, size_t{2001}, size_t{999}, size_t{0}}) {
        DecoderBench bench(data, 2500);
        bench.input.available = available;
        DecodeResult result = extractStored(bench.context);
        EXPECT_EQ(result.end, DecodeEnd::kInputEnded) << available;
        EXPECT_EQ(result.produced, available) << available;
        Bytes written = bench.output();
        ASSERT_EQ(written.size(), available);
        EXPECT_TRUE(std::equal(written.begin(), written.end(), data.begin())) << available;
    }
}

TEST(Stored, CancelStopsTheCopy) {
    Bytes data = testing::makeRandom(5000, 8);
    DecoderBench bench(data, 5000);
    requestCancel(bench.flags);
    EXPECT_FALSE(ranToEnd(extractStored(bench.context)));
    EXPECT_TRUE(bench.output().empty());
}

TEST(Stored, AnEarlierWriteFailureFailsLaterEntries) {
    Bytes data = testing::makeRandom(3000, 9);
    DecoderBench bench(data, 3000);
    markWriteFailed(bench.flags);
    EXPECT_FALSE(ranToEnd(extractStored(bench.context)));
    EXPECT_LE(bench.output().size(), 1000u) << "the loop stops after the first piece";
}

TEST(Stored, NoMemoryForTheStagingAreaIsNoMemoryNotDamage) {
    Bytes data = testing::makeRandom(10, 10);
    DecoderBench bench(data, 10);
    failAllocationAfter(1);
    DecodeResult result = extractStored(bench.context);
    failAllocationAfter(0);
    EXPECT_EQ(result.end, DecodeEnd::kNoMemory);
}

}  // namespace
}  // namespace zipsalvage
