// --copy-intact: entries that decode whole keep their original compressed bytes; every other
// entry is re-encoded as without it.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/run_bench.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

TestEntry deflatedEntry(const std::string& name, const Bytes& content, int level) {
    TestEntry entry{name, testing::zlibDeflate(content, level)};
    entry.method = 8;
    entry.uncompressedSize = static_cast<int64_t>(content.size());
    entry.crc32 = testing::crc32Of(content);
    return entry;
}

// Intact entries of both methods (one streamed, its sizes in a data descriptor), one whose
// CRC-32 does not match, one cut short by the archive's end.
struct MixedArchive {
    Bytes text = testing::makeText(300000, 7);
    Bytes stored = testing::makeRandom(400000, 8);  // more than the reader buffers
    Bytes changed = testing::makeText(20000, 9);
    Bytes cut = testing::makeText(90000, 10);
    std::vector<TestEntry> entries;
    Bytes archive;

    MixedArchive() {
        // zlib's fastest level: bytes this program's encoder would not write itself.
        entries.push_back(deflatedEntry("text.txt", text, 1));
        entries.push_back(TestEntry{"stored.bin", stored});
        TestEntry streamed = deflatedEntry("streamed.txt", text, 1);
        streamed.flags = 0x0008;
        entries.push_back(streamed);
        TestEntry wrongCrc = deflatedEntry("changed.txt", changed, 1);
        wrongCrc.crc32 = testing::crc32Of(changed) ^ 1;
        entries.push_back(wrongCrc);
        for (const TestEntry& entry : entries) {
            Bytes record = testing::localRecord(entry);
            archive.insert(archive.end(), record.begin(), record.end());
        }
        Bytes last = testing::localRecord(deflatedEntry("cut.txt", cut, 1));
        archive.insert(archive.end(), last.begin(), last.end() - 2000);
    }
};

void expectCopiesAndEncodes(RunBench& bench, const MixedArchive& mixed) {
    bench.run.copyIntact = true;
    ASSERT_TRUE(bench.salvage(mixed.archive));
    auto listed = bench.entries();  // valid, each CRC-32 checked against its content
    ASSERT_EQ(listed.size(), 5u);
    for (size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(listed[index].method, mixed.entries[index].method);
        EXPECT_EQ(listed[index].data, mixed.entries[index].data) << listed[index].name;
        EXPECT_EQ(listed[index].flags & 0x0008, 0) << "the sizes stand in the header";
    }
    EXPECT_EQ(listed[3].content, mixed.changed) << "re-encoded, the bytes kept";
    EXPECT_NE(listed[3].data, mixed.entries[3].data);
    EXPECT_EQ(listed[4].name, "cut.txt");
    EXPECT_TRUE(bench.logHas("    text.txt: size = 300000:  OK"));
    EXPECT_TRUE(bench.logHas("  2 partially recoverable files"));
    if (testing::haveCommand("unzip")) {
        std::string said;
        EXPECT_EQ(
            testing::runCommand("unzip -tq " + testing::shellQuote(bench.outputPath()), &said), 0)
            << said;
    }
}

TEST(IntactCopy, IntactEntriesKeepTheirBytesAndTheOthersAreReencoded) {
    MixedArchive mixed;
    RunBench bench;
    expectCopiesAndEncodes(bench, mixed);
}

TEST(IntactCopy, EntriesSpilledToTheTemporaryFileAreCopiedToo) {
    testing::ScopedMemoryBound bound(0);  // judged and written on the scanning thread
    MixedArchive mixed;
    RunBench bench;
    expectCopiesAndEncodes(bench, mixed);
}

TEST(IntactCopy, WithoutTheOptionTheOutputIsTheSameAsBefore) {
    MixedArchive mixed;
    RunBench plain;
    ASSERT_TRUE(plain.salvage(mixed.archive));
    RunBench copying;
    copying.run.copyIntact = true;
    ASSERT_TRUE(copying.salvage(mixed.archive));
    EXPECT_EQ(copying.log, plain.log);
    EXPECT_EQ(copying.reports, plain.reports);
    auto listed = plain.entries();
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_NE(listed[0].data, mixed.entries[0].data) << "re-encoded by this program";
    EXPECT_EQ(listed[0].content, mixed.text);
}

// A flipped bit repaired against the recorded CRC-32 still lies in the archive: the entry is
// written from its repaired bytes, never copied.
TEST(IntactCopy, RepairedEntriesAreReencoded) {
    const Bytes content = testing::makeText(60000, 11);
    const TestEntry intact = deflatedEntry("repaired.txt", content, 6);
    bool seen = false;
    for (size_t at = 300; at < intact.data.size() && !seen; at += intact.data.size() / 17) {
        TestEntry damaged = intact;
        damaged.data[at] ^= static_cast<uint8_t>(1u << (at % 8));
        RunBench bench;
        bench.run.copyIntact = true;
        ASSERT_TRUE(bench.salvage(testing::localRecord(damaged)));
        const std::string mark = "repaired.txt: a flipped bit (byte ";
        if (std::none_of(bench.log.begin(), bench.log.end(), [&](const std::string& line) {
                return line.find(mark) != std::string::npos;
            }))
            continue;
        seen = true;
        EXPECT_TRUE(bench.logHas("WARNING: repaired.txt: a flipped bit (byte " +
                                 std::to_string(at) + ", bit " + std::to_string(at % 8) +
                                 ") was repaired to the recorded size and CRC-32"));
        auto listed = bench.entries();  // each CRC-32 checked against its content
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].content, content);
        EXPECT_NE(listed[0].data, damaged.data) << "the damaged bytes were copied";
    }
    EXPECT_TRUE(seen) << "no flip was repaired";
}

// With encoder threads, entries that may be copied are checked on the workers while the scan
// goes on behind them; a check that fails sends the scan back to the entry's header. Whatever
// the damage, the output, log and reports are those of the run on one thread.
void expectSameOnThreads(const Bytes& archive, const std::string& what) {
    RunBench single;
    single.run.threads = 1;
    single.run.copyIntact = true;
    ASSERT_TRUE(single.salvage(archive));
    RunBench threaded;
    threaded.run.threads = 3;
    threaded.run.copyIntact = true;
    ASSERT_TRUE(threaded.salvage(archive));
    EXPECT_EQ(threaded.result, single.result) << what;
    EXPECT_EQ(threaded.log, single.log) << what;
    EXPECT_EQ(threaded.reports, single.reports) << what;
    EXPECT_TRUE(threaded.output() == single.output()) << what << ": the outputs differ";
}

// Many small intact entries around the damaged one, so that checks are queued behind it and
// in front of it when its own check fails.
Bytes smallEntries(const std::string& prefix, int count, uint32_t seed) {
    Bytes records;
    for (int index = 0; index < count; ++index) {
        Bytes content = testing::makeText(3000 + 500 * static_cast<size_t>(index), seed + index);
        Bytes record = testing::localRecord(
            deflatedEntry(prefix + std::to_string(index) + ".txt", content, 6));
        records.insert(records.end(), record.begin(), record.end());
    }
    return records;
}

TEST(IntactCopy, ChecksOnThreadsGiveTheOneThreadResultWhateverTheDamage) {
    MixedArchive mixed;
    expectSameOnThreads(mixed.archive, "mixed");

    Bytes before = smallEntries("before", 40, 100);
    Bytes after = smallEntries("after", 40, 200);
    const Bytes content = testing::makeText(200000, 12);
    TestEntry middle = deflatedEntry("middle.txt", content, 6);
    TestEntry zeroed = middle;  // damaged in its middle: the scan looks again inside its bytes
    std::fill(zeroed.data.begin() + static_cast<long>(zeroed.data.size() / 2),
              zeroed.data.begin() + static_cast<long>(zeroed.data.size() / 2 + 64), 0);
    TestEntry changed = middle;  // decodes whole, but to another CRC-32
    changed.crc32 = testing::crc32Of(content) ^ 0x100;
    TestEntry shorter = middle;  // a recorded size the data does not give
    shorter.uncompressedSize = static_cast<int64_t>(content.size()) - 1;
    // A stored archive inside a stored entry: its header is found only when the outer entry
    // is damaged and the scan looks again inside it.
    Bytes inner = smallEntries("inner", 3, 300);
    TestEntry holder{"holder.zip", inner};
    TestEntry wrongHolder = holder;
    wrongHolder.crc32 = testing::crc32Of(inner) ^ 1;
    for (const TestEntry* entry : {&middle, &zeroed, &changed, &shorter, &holder, &wrongHolder}) {
        Bytes archive = before;
        Bytes record = testing::localRecord(*entry);
        archive.insert(archive.end(), record.begin(), record.end());
        archive.insert(archive.end(), after.begin(), after.end());
        expectSameOnThreads(archive, entry->name);
        // Cut inside the entry, and inside the entries behind it.
        expectSameOnThreads(
            Bytes(archive.begin(),
                  archive.end() - static_cast<long>(after.size() + record.size() / 2)),
            entry->name + " cut");
        expectSameOnThreads(Bytes(archive.begin(), archive.end() - 1000), entry->name + " end cut");
    }
}

}  // namespace
}  // namespace zipsalvage
