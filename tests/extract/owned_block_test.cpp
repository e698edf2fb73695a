// The owner of allocBlock memory: what newBlock makes is destroyed and released by its owner,
// and exhausted memory makes nothing.
#include <gtest/gtest.h>

#include <utility>

#include "core/memory_blocks.h"
#include "huffman/huffman_tables.h"

namespace zipsalvage {
namespace {

// Counts live objects; owns a build of tables, as inflate's work area does.
struct Tracked {
    static inline int live = 0;
    DecodingTables tables;
    int marker = 7;
    Tracked() { ++live; }
    ~Tracked() { --live; }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
};

TEST(OwnedBlock, NewBlockConstructsAndTheOwnerDestroysBeforeReleasing) {
    {
        OwnedBlock<Tracked> owned = newBlock<Tracked>();
        ASSERT_TRUE(owned);
        EXPECT_EQ(Tracked::live, 1);
        EXPECT_EQ(owned->marker, 7) << "initialisers run";
        EXPECT_EQ(owned->tables.root, nullptr);
        const uint8_t lengths[4] = {2, 2, 2, 2};
        owned->tables.lookupBits = 2;
        ASSERT_EQ(buildHuffTables(lengths, 4, 4, nullptr, nullptr, 0, owned->tables),
                  kHuffComplete);
        ASSERT_NE(owned->tables.root, nullptr);
    }
    // The tables inside went with it: the leak checker of the sanitizer build says so.
    EXPECT_EQ(Tracked::live, 0);
}

TEST(OwnedBlock, ExhaustedMemoryGivesEmptyOwnersAndConstructsNothing) {
    failAllocationAfter(1);
    OwnedBlock<Tracked> object = newBlock<Tracked>();
    failAllocationAfter(1);
    OwnedBlock<uint8_t[]> bytes = newBlockArray<uint8_t>(1000);
    failAllocationAfter(0);
    EXPECT_FALSE(object);
    EXPECT_FALSE(bytes);
    EXPECT_EQ(Tracked::live, 0);
}

TEST(OwnedBlock, MovingABuildReleasesTheOneItReplaces) {
    const uint8_t lengths[4] = {2, 2, 2, 2};
    DecodingTables kept;
    DecodingTables replaced;
    for (DecodingTables* tables : {&kept, &replaced}) {
        tables->lookupBits = 2;
        ASSERT_EQ(buildHuffTables(lengths, 4, 4, nullptr, nullptr, 0, *tables), kHuffComplete);
    }
    HuffTable* keptRoot = kept.root.get();
    replaced = std::move(kept);
    // The build `replaced` held is gone: the leak checker of the sanitizer build says so.
    EXPECT_EQ(replaced.root.get(), keptRoot);
    EXPECT_EQ(kept.root, nullptr) << "the moved-from owner releases nothing";
}

TEST(OwnedBlock, AFailedTableBuildLeavesTheOwnerEmpty) {
    const uint8_t overSubscribed[3] = {1, 1, 1};
    DecodingTables tables;
    tables.lookupBits = 1;
    EXPECT_EQ(buildHuffTables(overSubscribed, 3, 3, nullptr, nullptr, 0, tables), kHuffBadLengths);
    EXPECT_EQ(tables.root, nullptr);
}

}  // namespace
}  // namespace zipsalvage
