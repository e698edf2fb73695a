// Failing reads, disks, folders and allocations during a whole run: never a crash, the log and
// counters tell what happened, and the output is either a valid archive or reported as failed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "core/memory_blocks.h"
#include "engine/scan/archive_reader.h"
#include "fuzz/archive_check.h"
#include "fuzz/fuzz_bench.h"
#include "tests/engine/fault_bench.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::callsOfACleanRun;
using testing::RunBench;
using testing::ScopedFaultPlan;
using testing::TestEntry;

// Entries of every method the decoders know, each small but whole, and two of 100 bytes or more
// so that the re-encoding has work to do.
std::vector<TestEntry> everyMethod() {
    std::vector<TestEntry> entries;
    entries.push_back({"stored.txt", testing::makeText(3000, 1)});
    TestEntry shrunk{"shrunk.txt", Bytes{'A', 0x84, 0x00}, 1};  // codes 65, 66 in 9 bits
    shrunk.uncompressedSize = 2;
    shrunk.crc32 = testing::crc32Of(Bytes{'A', 'B'});
    entries.push_back(shrunk);
    Bytes reducedData(192, 0);  // 256 empty follower sets
    reducedData.push_back('A');
    TestEntry reduced{"reduced.txt", reducedData, 3};
    reduced.uncompressedSize = 1;
    reduced.crc32 = testing::crc32Of(Bytes{'A'});
    entries.push_back(reduced);
    // Two trees of 64 six-bit codes, then one raw literal 'A'.
    TestEntry imploded{"imploded.txt",
                       Bytes{3, 0xF5, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF5, 0x83, 0}, 6};
    imploded.uncompressedSize = 1;
    imploded.crc32 = testing::crc32Of(Bytes{'A'});
    entries.push_back(imploded);
    Bytes text = testing::makeText(5000, 2);
    TestEntry deflated{"deflated.txt", fuzz::zlibDeflate(text.data(), text.size()), 8};
    deflated.uncompressedSize = static_cast<int64_t>(text.size());
    deflated.crc32 = testing::crc32Of(text);
    entries.push_back(deflated);
    entries.push_back({"last.txt", testing::makeText(700, 3)});
    return entries;
}

std::vector<TestEntry> storedEntries() {
    std::vector<TestEntry> entries;
    for (int index = 0; index < 6; ++index) {
        size_t size = index == 3 ? 9000 : 300u + 500u * static_cast<size_t>(index);
        entries.push_back({"entry" + std::to_string(index),
                           testing::makeText(size, static_cast<uint32_t>(index))});
    }
    return entries;
}

int countLinesStarting(const RunBench& bench, const std::string& start) {
    int count = 0;
    for (const std::string& line : bench.log) count += line.rfind(start, 0) == 0 ? 1 : 0;
    return count;
}

// A completed run wrote a valid archive whose entries agree with the log and the counters; a
// failed one says so in a message box. Returns the salvaged entries of a completed run.
std::vector<fuzz::CheckedEntry> checkOutcome(const RunBench& bench, const std::string& where) {
    std::vector<fuzz::CheckedEntry> salvaged;
    if (bench.result == RunResult::kOutputFailed) {
        EXPECT_FALSE(bench.messages.empty()) << where;
        if (!bench.messages.empty()) {
            EXPECT_EQ(bench.messages.back(), "Output Error: Unable to write to output file")
                << where;
        }
        EXPECT_FALSE(bench.logHas("Salvage attempt complete")) << where;
        return salvaged;
    }
    EXPECT_EQ(bench.result, RunResult::kCompleted) << where;
    Bytes output = bench.output();
    EXPECT_EQ(fuzz::checkSalvagedArchive(output.data(), output.size(), &salvaged), "")
        << where << ": a completed run left an invalid archive";
    const SalvageRun& run = bench.run;
    int whole = countLinesStarting(bench, "    ");
    // Entries of the archive's directory the scan could not read are named as lost; one
    // recovered from its record has a WARNING about its header beside its OK line.
    int damaged = countLinesStarting(bench, "ERROR: File ") +
                  countLinesStarting(bench, "ERROR: CRC-32 of ") +
                  countLinesStarting(bench, "WARNING: ") +
                  countLinesStarting(bench, "ERROR (SKIPPING FILE): The local header of ") -
                  countLinesStarting(bench, "WARNING: The local header of ");
    EXPECT_EQ(damaged, run.unrecoverableCount + run.partialCount + run.notCheckedCount) << where;
    // Every entry found ends whole, damaged, or skipped; skipped ones are not in the output.
    EXPECT_LE(salvaged.size(), run.filesFound) << where;
    EXPECT_LE(whole, static_cast<int>(salvaged.size())) << where;
    EXPECT_FALSE(testing::pathExists(runTempFolder() + "klv.tmp")) << where;
    return salvaged;
}

int wholeEntries(const std::vector<fuzz::CheckedEntry>& salvaged,
                 const std::vector<TestEntry>& originals) {
    int whole = 0;
    for (const fuzz::CheckedEntry& entry : salvaged) {
        for (const TestEntry& original : originals) {
            bool deflated = original.method != 0;
            if (entry.name != original.name) continue;
            if (!deflated && entry.content == original.data) ++whole;
            if (deflated &&
                static_cast<int64_t>(entry.content.size()) == original.uncompressedSize &&
                fuzz::zlibCrc32(entry.content.data(), entry.content.size()) ==
                    static_cast<uint32_t>(original.crc32)) {
                ++whole;
            }
        }
    }
    return whole;
}

// The offsets where the entries' local headers start, and the archive's end.
std::vector<int64_t> entryStarts(const Bytes& archive, size_t entryCount) {
    std::vector<int64_t> starts;
    for (size_t at = 0; at + 4 <= archive.size() && starts.size() < entryCount; ++at) {
        if (archive[at] == 'P' && archive[at + 1] == 'K' && archive[at + 2] == 3 &&
            archive[at + 3] == 4) {
            starts.push_back(static_cast<int64_t>(at));
        }
    }
    starts.push_back(static_cast<int64_t>(archive.size()));
    return starts;
}

TEST(FaultInjection, AReadErrorAnywhereLosesAtMostTheEntryItHits) {
    std::vector<TestEntry> entries = storedEntries();
    Bytes archive = testing::buildArchive(entries);
    // A read that fails once is tried again.
    int64_t reads = callsOfACleanRun(archive, "damaged.zip").reads;
    ASSERT_GT(reads, 1);
    for (int64_t failing = 1; failing <= reads; ++failing) {
        ScopedFaultPlan guard(FaultPlan{.failReadNumber = failing, .pathContains = "damaged.zip"});
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        std::string where = "read " + std::to_string(failing);
        std::vector<fuzz::CheckedEntry> salvaged = checkOutcome(bench, where);
        EXPECT_EQ(bench.result, RunResult::kCompleted) << where;
        EXPECT_GE(wholeEntries(salvaged, entries), static_cast<int>(entries.size()) - 1) << where;
    }
    // A bad sector anywhere: the reads around it keep everything but the piece it lies in.
    std::vector<int64_t> starts = entryStarts(archive, entries.size());
    for (int64_t from = 0; from < static_cast<int64_t>(archive.size()); from += 250) {
        int64_t lostEnd = from + kUnreadableStepBytes;
        int hit = 0;
        for (size_t index = 0; index + 1 < starts.size(); ++index) {
            if (starts[index] < lostEnd && from < starts[index + 1]) ++hit;
        }
        ScopedFaultPlan guard(FaultPlan{
            .unreadableFrom = from, .unreadableTo = from + 16, .pathContains = "damaged.zip"});
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        std::string where = "bad sector at " + std::to_string(from);
        std::vector<fuzz::CheckedEntry> salvaged = checkOutcome(bench, where);
        EXPECT_EQ(bench.result, RunResult::kCompleted) << where;
        EXPECT_GE(wholeEntries(salvaged, entries), static_cast<int>(entries.size()) - hit) << where;
    }
}

TEST(FaultInjection, AnArchiveThatBecomesUnreadableKeepsTheEntriesBefore) {
    std::vector<TestEntry> entries = storedEntries();
    Bytes archive = testing::buildArchive(entries);
    // Unreadable from two thirds of the way in: the entries wholly before that are kept.
    std::vector<int64_t> starts = entryStarts(archive, entries.size());
    int64_t from = static_cast<int64_t>(archive.size()) * 2 / 3;
    int before = 0;
    for (size_t index = 0; index + 1 < starts.size(); ++index) {
        if (starts[index + 1] <= from) ++before;
    }
    ASSERT_GE(before, 2);
    ScopedFaultPlan guard(FaultPlan{.unreadableFrom = from,
                                    .unreadableTo = static_cast<int64_t>(archive.size()),
                                    .pathContains = "damaged.zip"});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    std::vector<fuzz::CheckedEntry> salvaged = checkOutcome(bench, "unreadable tail");
    EXPECT_GE(wholeEntries(salvaged, entries), before);
}

// Every decoded byte goes to the temporary file here: in a run of its own only an entry that
// outgrows memory meets the folder.
TEST(FaultInjection, FullDiskOnTheTempFileAtEveryWrite) {
    testing::ScopedMemoryBound noMemory(0);
    std::vector<TestEntry> entries = everyMethod();
    Bytes archive = testing::buildArchive(entries);
    for (int64_t failing = 1; failing <= 12; ++failing) {
        ScopedFaultPlan guard(FaultPlan{.failWriteNumber = failing, .pathContains = "klv.tmp"});
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        std::string where = "temp write " + std::to_string(failing);
        checkOutcome(bench, where);
        EXPECT_EQ(bench.result, RunResult::kCompleted) << where;
        EXPECT_EQ(bench.run.filesFound, entries.size()) << where;
    }
}

// Every write to the output in turn fails, once (a write error) or from then on (a full disk):
// in entry data, in a rewritten header, in the central directory and in the end record.
TEST(FaultInjection, OutputWriteFailuresAreNeverTakenForSuccess) {
    std::vector<TestEntry> entries = everyMethod();
    Bytes archive = testing::buildArchive(entries);
    int64_t writes = callsOfACleanRun(archive, "Salvaged.zip").writes;
    // The last writes are one central header and name per entry, then the end record.
    int64_t directoryStart = writes - 2 * static_cast<int64_t>(entries.size());
    ASSERT_GT(directoryStart, 1);
    for (bool sticky : {true, false}) {
        for (int64_t failing = 1; failing <= writes; ++failing) {
            ScopedFaultPlan guard(FaultPlan{.failWriteNumber = failing,
                                            .stickyWrites = sticky,
                                            .pathContains = "Salvaged.zip"});
            RunBench bench;
            ASSERT_TRUE(bench.salvage(archive));
            std::string where = std::string(sticky ? "full disk" : "write error") + " at write " +
                                std::to_string(failing) + " of " + std::to_string(writes);
            checkOutcome(bench, where);
            if (failing >= directoryStart) {
                EXPECT_EQ(bench.result, RunResult::kOutputFailed)
                    << where << ": the directory or end record was not written";
            }
            if (sticky) {
                EXPECT_EQ(bench.result, RunResult::kOutputFailed)
                    << where << ": a full disk cannot end in a complete archive";
            }
        }
    }
}

TEST(FaultInjection, NoTemporaryFolderSkipsEveryEntryAsASystemError) {
    testing::ScopedMemoryBound noMemory(0);
    std::vector<TestEntry> entries = everyMethod();
    const char* saved = std::getenv("TMPDIR");
    std::string restore = saved != nullptr ? saved : "";
    testing::TempDir dir;
    // A regular file where the folder should be: no private folder can be made under it.
    testing::writeWholeFile(dir.file("not-a-folder"), std::string("x"));
    RunBench bench;  // its own folder is made before TMPDIR changes
    setenv("TMPDIR", dir.file("not-a-folder").c_str(), 1);
    bool ran = bench.salvage(testing::buildArchive(entries));
    if (saved != nullptr) {
        setenv("TMPDIR", restore.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    ASSERT_TRUE(ran);
    std::vector<fuzz::CheckedEntry> salvaged = checkOutcome(bench, "no temporary folder");
    EXPECT_TRUE(salvaged.empty());
    EXPECT_EQ(bench.run.systemErrorCount, static_cast<int32_t>(entries.size()));
    EXPECT_EQ(countLinesStarting(bench, "ERROR (SKIPPING FILE): Unable to create temp file"),
              static_cast<int>(entries.size()));
}

// The n-th allocation of the run fails, for every n up to well past the run's own: in each
// decoder's state and tables, the stored copy's buffers and the re-encoding stream.
TEST(FaultInjection, AnAllocationFailureAnywhereCostsAtMostOneEntry) {
    std::vector<TestEntry> entries = everyMethod();
    Bytes archive = testing::buildArchive(entries);
    int expectedWhole = static_cast<int>(entries.size());
    int failures = 0;
    std::set<std::string> hit;  // entries whose decoder failed, and "encoder"
    for (int countdown = 1; countdown <= 80; ++countdown) {
        releaseCachedBlocks();  // every block is a fresh allocation that can fail
        RunBench bench;
        failAllocationAfter(countdown);
        bool ran = bench.salvage(archive);
        failAllocationAfter(0);
        ASSERT_TRUE(ran);
        std::string where = "allocation " + std::to_string(countdown);
        std::vector<fuzz::CheckedEntry> salvaged = checkOutcome(bench, where);
        EXPECT_EQ(bench.result, RunResult::kCompleted) << where;
        int whole = wholeEntries(salvaged, entries);
        EXPECT_GE(whole, expectedWhole - 1) << where;
        if (whole < expectedWhole) ++failures;
        // No memory is the system's failure, not the data's: never logged as a corrupt entry.
        EXPECT_EQ(countLinesStarting(bench, "ERROR: File "), 0) << where;
        EXPECT_EQ(countLinesStarting(bench, "ERROR: Not enough memory to extract "),
                  bench.run.systemErrorCount)
            << where;
        for (const TestEntry& entry : entries) {
            if (bench.logHas("ERROR: Not enough memory to extract " + entry.name +
                             ".  Salvaged 0 of " +
                             std::to_string(entry.uncompressedSize < 0 ? entry.data.size()
                                                                       : entry.uncompressedSize))) {
                hit.insert(entry.name);
            }
        }
        if (countLinesStarting(bench, "Unable to re-compress ") > 0) hit.insert("encoder");
    }
    releaseCachedBlocks();
    EXPECT_GT(failures, 5) << "the failing allocations reached the entries";
    // The stored copy's buffers come from a pool that outlives runs, so it may never allocate.
    for (const char* reached :
         {"shrunk.txt", "reduced.txt", "imploded.txt", "deflated.txt", "encoder"}) {
        EXPECT_TRUE(hit.count(reached)) << "no allocation failure reached " << reached;
    }
}

}  // namespace
}  // namespace zipsalvage
