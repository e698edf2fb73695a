// Names longer than 270 bytes: real entries with them come through, while the bytes after a
// false signature (whose name length is nearly always above 270) are still not taken for one.
#include <gtest/gtest.h>

#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string deepPath() {
    std::string path;
    // 293 bytes, 15 folders deep, as a source checkout has them.
    for (int depth = 0; depth < 15; ++depth) path += "node_modules-" + std::to_string(depth) + "/";
    return path + std::string(293 - path.size() - 4, 'f') + ".txt";
}

TEST(LongNames, EveryLengthFromOneTo65535IsAnOrdinaryName) {
    std::string deep = deepPath();
    ASSERT_EQ(deep.size(), 293u);
    std::vector<TestEntry> entries{{"n", text("shortest")},
                                   {std::string(270, 'a'), text("old limit")},
                                   {std::string(271, 'b'), text("one past it")},
                                   {deep, testing::makeText(3000, 1)},
                                   {std::string(65535, 'c'), text("longest")}};
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(entries)));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), entries.size());
    for (size_t index = 0; index < entries.size(); ++index) {
        EXPECT_EQ(listed[index].name, entries[index].name) << index;
        EXPECT_EQ(listed[index].content, entries[index].data) << index;
    }
    EXPECT_TRUE(bench.logHas("    " + deep + ": size = 3000:  OK"));
}

bool anyWarning(const RunBench& bench) {
    for (const std::string& line : bench.log) {
        if (line.rfind("WARNING", 0) == 0) return true;
    }
    return false;
}

TEST(LongNames, OddBytesInALongNamePassWithAKnownMethodOnly) {
    // A control character in a real name (a file system allows it) is saved by a method that
    // APPNOTE lists; with a method it does not, the header reads like random bytes and is
    // passed over without a line.
    std::string odd = std::string(300, 'x') + "\t.txt";
    TestEntry listed{odd, text("tab in the name")};
    TestEntry unlisted = listed;
    unlisted.method = 0x4242;
    RunBench known;
    ASSERT_TRUE(known.salvage(testing::localRecord(listed)));
    EXPECT_EQ(known.entries().size(), 1u);
    RunBench unknown;
    ASSERT_TRUE(unknown.salvage(testing::localRecord(unlisted)));
    EXPECT_EQ(unknown.result, RunResult::kNoEntries);
    EXPECT_FALSE(anyWarning(unknown));
}

TEST(LongNames, AZeroByteKeepsALongNameEscapedOrPassesItOverWithOneLine) {
    // With a method APPNOTE lists, the entry is real: its name keeps the zero byte as "%00".
    std::string name = std::string(100, 'p') + '\0' + std::string(199, 'q');
    TestEntry kept{name, text("kept")};
    // With one it does not, it reads like random bytes: passed over, with a line.
    TestEntry damaged{name, text("lost")};
    damaged.method = 0x4242;
    TestEntry next{"next.txt", text("found after it")};
    Bytes archive = concat({Bytes{0x11, 0x22}, testing::localRecord(damaged),
                            testing::localRecord(kept), testing::localRecord(next)});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(bench.logHas("WARNING: Passed over the header of " + std::string(100, 'p') + "?" +
                             std::string(199, 'q') + " at offset 2 (a zero byte in its name)"));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, std::string(100, 'p') + "%00" + std::string(199, 'q'));
    EXPECT_EQ(listed[0].content, text("kept"));
    EXPECT_EQ(listed[1].name, "next.txt");
}

TEST(LongNames, AFalseSignatureNearTheEndDoesNotHideTheEntriesAfterIt) {
    // A false header whose name length reaches past the archive's end must not end the scan:
    // the real entry inside those bytes is still found.
    Bytes falseHeader{0x50, 0x4B, 0x03, 0x04};
    falseHeader.resize(30, 0x00);
    falseHeader[26] = 0x00;
    falseHeader[27] = 0xF0;  // name length 61440
    Bytes real = testing::localRecord({"after.txt", text("still here")});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(concat({falseHeader, real})));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "after.txt");
    EXPECT_FALSE(bench.logHas("Premature end-of-file found"));
}

}  // namespace
}  // namespace zipsalvage
