// Failing disks and reads: the output is either a valid archive or reported as failed, and a
// failed write is never taken for a complete salvage.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/memory_blocks.h"
#include "tests/engine/fault_bench.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::callsOfACleanRun;
using testing::RunBench;
using testing::ScopedFaultPlan;
using testing::ScopedMemoryBound;
using testing::TestEntry;

std::vector<TestEntry> someEntries() {
    std::vector<TestEntry> entries;
    for (int index = 0; index < 6; ++index) {
        size_t size = index == 3 ? 9000 : 300u + 500u * static_cast<size_t>(index);
        entries.push_back({"entry" + std::to_string(index),
                           testing::makeText(size, static_cast<uint32_t>(index))});
    }
    return entries;
}

// Every write to the output archive in turn comes up short (a full disk from then on).
TEST(Faults, FullDiskOnTheOutputNeverPassesForSuccess) {
    Bytes archive = testing::buildArchive(someEntries());
    int64_t writes = callsOfACleanRun(archive, "Salvaged.zip").writes;
    ASSERT_GT(writes, 10);
    for (int64_t failing = 1; failing <= writes; ++failing) {
        ScopedFaultPlan guard(
            FaultPlan{.failWriteNumber = failing, .pathContains = "Salvaged.zip"});
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        bool reported = bench.result == RunResult::kOutputFailed || hasWriteFailed(bench.run.flags);
        EXPECT_TRUE(reported) << "write " << failing << " failed silently";
        if (bench.result == RunResult::kOutputFailed) {
            ASSERT_FALSE(bench.messages.empty());
            EXPECT_EQ(bench.messages.back(), "Output Error: Unable to write to output file");
        }
    }
}

// The first write the output disk refuses ends the run: the new archive is removed, an earlier
// one of the same name stays, and no entry is blamed for the disk.
TEST(Faults, AFailedOutputWriteEndsTheRunAndKeepsTheEarlierOutput) {
    Bytes archive = testing::buildArchive(someEntries());
    int64_t writes = callsOfACleanRun(archive, "Salvaged.zip").writes;
    for (int64_t failing : {int64_t{1}, writes / 2, writes}) {
        ScopedFaultPlan guard(FaultPlan{
            .failWriteNumber = failing, .stickyWrites = false, .pathContains = "Salvaged.zip"});
        RunBench bench;
        bench.answerYes = true;
        testing::writeWholeFile(bench.outputPath(), std::string("earlier"));
        ASSERT_TRUE(bench.salvage(archive));
        std::string where = "write " + std::to_string(failing);
        EXPECT_EQ(bench.result, RunResult::kOutputFailed) << where;
        EXPECT_EQ(bench.output(), Bytes({'e', 'a', 'r', 'l', 'i', 'e', 'r'})) << where;
        EXPECT_EQ(testing::folderNames(bench.dir.path),
                  (std::vector<std::string>{"Salvaged.zip", "damaged.zip"}))
            << where << ": the partial output is removed";
        for (const std::string& line : bench.log) {
            EXPECT_EQ(line.find("corrupt"), std::string::npos) << where << ": " << line;
            EXPECT_EQ(line.find("Unable to re-compress"), std::string::npos)
                << where << ": " << line;
        }
    }
}

std::string tempFolderFullLine(const std::string& name) {
    return "ERROR (SKIPPING FILE): Unable to write " + name + " to the temporary folder " +
           tempFolderParent() + ": No space left on device";
}

// The temporary file holds only entries that outgrow memory: with no memory for any, every
// entry meets the failing folder.
TEST(Faults, FullDiskOnTheTempFileFailsTheEntriesFromThenOn) {
    ScopedMemoryBound noMemory(0);
    ScopedFaultPlan guard(FaultPlan{.failWriteNumber = 3, .pathContains = "klv.tmp"});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(someEntries())));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_TRUE(bench.logHas("  6 files found"));
    // A disk that will not take the decoded bytes is the system's failure, not the entry's:
    // the log names the folder and the system's reason.
    EXPECT_TRUE(bench.logHas(tempFolderFullLine("entry2")));
    EXPECT_FALSE(bench.logHas("ERROR: File entry2 is corrupt.  Salvaged 0 of 1300"));
    EXPECT_EQ(bench.run.systemErrorCount, 4u) << "entries 2 to 5 meet the full disk";
    // The entries before the failure are whole; the output is a valid archive either way.
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].uncompressedSize, 300u);
}

// One entry the temporary folder cannot hold loses that entry only: the write-failed flag it
// raised does not stop the entries after it, which fit.
TEST(Faults, AFailedTempFileWriteLosesOnlyThatEntry) {
    ScopedMemoryBound noMemory(0);
    ScopedFaultPlan guard(
        FaultPlan{.failWriteNumber = 3, .stickyWrites = false, .pathContains = "klv.tmp"});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(someEntries())));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_FALSE(hasWriteFailed(bench.run.flags));
    EXPECT_TRUE(bench.logHas(tempFolderFullLine("entry2")));
    EXPECT_EQ(bench.run.systemErrorCount, 1u);
    std::vector<std::string> names;
    for (const auto& entry : bench.entries()) {
        names.push_back(entry.name);
        EXPECT_TRUE(bench.logHas("    " + entry.name +
                                 ": size = " + std::to_string(entry.uncompressedSize) + ":  OK"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"entry0", "entry1", "entry3", "entry4", "entry5"}));
}

TEST(Faults, ReadErrorInTheMiddleOfTheArchive) {
    Bytes archive = testing::buildArchive(someEntries());
    ScopedFaultPlan guard(FaultPlan{.failReadNumber = 6, .pathContains = "damaged.zip"});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    auto listed = bench.entries();
    EXPECT_GE(listed.size(), 3u) << "entries before and after the unreadable block survive";
}

TEST(Faults, NoTemporaryFolder) {
    ScopedMemoryBound noMemory(0);
    ScopedFaultPlan guard(FaultPlan{.noTempFolder = true});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(someEntries())));
    EXPECT_TRUE(bench.logHas("ERROR (SKIPPING FILE): Unable to create temp file "));
    EXPECT_TRUE(bench.logHas("  6 system errors"));
    EXPECT_TRUE(bench.entries().empty());
}

// Entries that fit in memory never touch the temporary folder: a folder that stopped working
// after the run's start costs only the entry that outgrows memory (entry3, 9000 bytes).
TEST(Faults, OnlyAnEntryThatOutgrowsMemoryNeedsTheTemporaryFolder) {
    ScopedMemoryBound bound(5000);
    ScopedFaultPlan guard(FaultPlan{.noTempFolder = true});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(someEntries())));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_TRUE(bench.logHas("ERROR (SKIPPING FILE): Unable to create temp file "));
    EXPECT_TRUE(bench.logHas("  1 system errors"));
    std::vector<std::string> names;
    for (const auto& entry : bench.entries()) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"entry0", "entry1", "entry2", "entry4", "entry5"}));
}

// The temporary file fills up while it takes what memory held: the entry is lost as a
// system error, the others are whole.
TEST(Faults, AFullTemporaryFolderWhileAnEntrySpillsLosesOnlyThatEntry) {
    ScopedMemoryBound bound(5000);
    ScopedFaultPlan guard(FaultPlan{.failWriteNumber = 1, .pathContains = "klv.tmp"});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(someEntries())));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_TRUE(bench.logHas(tempFolderFullLine("entry3")));
    EXPECT_EQ(bench.run.systemErrorCount, 1u);
    EXPECT_EQ(bench.entries().size(), 5u);
}

// Every read of the temporary file in turn fails (an I/O error, not the end of the file): an
// entry whose bytes cannot be read back whole is left out, never written shorter than its
// header says.
bool hasLineStarting(const RunBench& bench, const std::string& start) {
    return std::any_of(bench.log.begin(), bench.log.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// Every read of the temporary file in turn fails (an I/O error, not the end of the file): an
// entry whose bytes cannot be read back whole is left out and named, never written shorter
// than its header says nor blamed on the archive.
TEST(Faults, AFailedReadOfTheTemporaryFileNeverWritesAShortEntry) {
    Bytes archive = testing::buildArchive(someEntries());
    ScopedMemoryBound noMemory(0);
    int64_t reads = callsOfACleanRun(archive, "klv.tmp").reads;
    ASSERT_GT(reads, 6);
    for (int64_t failing = 1; failing <= reads; ++failing) {
        ScopedFaultPlan guard(FaultPlan{.failReadNumber = failing, .pathContains = "klv.tmp"});
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_EQ(bench.result, RunResult::kCompleted) << "read " << failing;
        size_t written = bench.entries().size();
        EXPECT_GE(written, someEntries().size() - 1) << "read " << failing;
        EXPECT_FALSE(hasLineStarting(bench, "ERROR: CRC-32 of ")) << "read " << failing;
        if (written < someEntries().size()) {
            EXPECT_TRUE(hasLineStarting(bench, "Unable to re-compress entry"))
                << "read " << failing;
        }
    }
}

TEST(Faults, NoMemoryForTheReencodingStreamCutsTheEntryAndSaysSo) {
    Bytes archive = testing::buildArchive(someEntries());
    // The first entry's allocations: pool node and buffer, the block its decoded bytes go to
    // (without it they go to the temporary file), then the stream's two buffers. Whichever
    // fails must cut at most that entry, never corrupt the output, and an entry that is not
    // written must be named in the log.
    for (int failing = 1; failing <= 5; ++failing) {
        RunBench bench;
        failAllocationAfter(failing);
        ASSERT_TRUE(bench.salvage(archive));
        failAllocationAfter(0);
        std::string where = "allocation " + std::to_string(failing);
        EXPECT_TRUE(bench.logHas("  6 files found")) << where;
        size_t written = bench.entries().size();
        EXPECT_GE(written, 5u) << where << ": at most the entry that met the failure is lost";
        auto reported = static_cast<size_t>(
            std::count_if(bench.log.begin(), bench.log.end(), [](const std::string& line) {
                return line.rfind("Unable to re-compress entry", 0) == 0;
            }));
        EXPECT_EQ(written + reported, 6u) << where << ": a lost entry is named in the log";
    }
}

}  // namespace
}  // namespace zipsalvage
