// Entries re-encoded on encoder threads: whatever the number of threads, a run writes the same
// bytes, logs the same lines and reports the same verdicts in the same order as on one thread,
// and a cancel in the middle leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/engine/run_bench.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

const char* const kPassword = "threads";

TestEntry deflatedEntry(const std::string& name, const Bytes& content) {
    TestEntry entry{name, testing::zlibDeflate(content, 6)};
    entry.method = 8;
    entry.uncompressedSize = static_cast<int64_t>(content.size());
    entry.crc32 = testing::crc32Of(content);
    return entry;
}

TestEntry encryptedEntry(const std::string& name, const Bytes& content) {
    TestEntry entry{name, content};
    entry.flags = 1;
    entry.crc32 = testing::crc32Of(content);
    entry.uncompressedSize = static_cast<int64_t>(content.size());
    entry.data =
        testing::encryptTraditional(content, kPassword, static_cast<uint16_t>(entry.crc32 >> 16));
    return entry;
}

// Every kind of entry a run meets, many times over so that entries wait in the queue: intact
// stored and deflated ones of many sizes, a damaged one the scan looks into again, a CRC-32
// mismatch, a method kept as it was, encrypted ones, one left out, and a tail cut short.
Bytes mixedArchive() {
    std::vector<TestEntry> entries;
    for (uint32_t round = 0; round < 6; ++round) {
        std::string tag = std::to_string(round);
        entries.push_back({"text" + tag + ".txt", testing::makeText(500 + round * 7000, round)});
        entries.push_back({"tiny" + tag, testing::makeText(40, round + 50)});
        entries.push_back(deflatedEntry("book" + tag + ".txt", testing::makeText(90000, round)));
        entries.push_back({"noise" + tag + ".bin", testing::makeRandom(30000, round)});
        TestEntry wrongCrc{"wrong-crc" + tag, testing::makeText(3000, round + 9)};
        wrongCrc.crc32 = 0x12345678;
        entries.push_back(wrongCrc);
        TestEntry kept{"kept" + tag + ".wv", testing::makeRandom(700, round + 20)};
        kept.method = 97;  // WavPack: not decoded
        entries.push_back(kept);
        entries.push_back(encryptedEntry("secret" + tag, testing::makeText(5000, round + 30)));
        // Names flagged UTF-8 (bit 11) beside names in the old code page: each report names
        // its own entry's encoding, whichever entry the scan is at when it goes out.
        TestEntry flagged{
            "Pr\xC3\xBC"
            "fung" +
                tag,
            testing::makeText(6000, round + 40)};
        flagged.flags = 0x0800;
        entries.push_back(flagged);
        entries.push_back(
            {"Pr\x81"
             "fung" +
                 tag,
             testing::makeText(6000, round + 60)});
        if (round == 2) {
            TestEntry lying{"lying-size", testing::makeText(4000, 77)};
            lying.compressedSize = 9000;  // claims the next entries' bytes as its own
            entries.push_back(lying);
        }
    }
    Bytes archive = testing::buildArchive(entries);
    Bytes cutShort = testing::localRecord({"cut.txt", testing::makeText(20000, 99)});
    cutShort.resize(cutShort.size() / 2);
    archive.insert(archive.end(), cutShort.begin(), cutShort.end());
    return archive;
}

struct RunRecord {
    RunResult result = RunResult::kCompleted;
    Bytes output;
    std::vector<std::string> log;
    std::vector<std::string> reports;
    uint64_t counts[5] = {};
    uint64_t encodedOnThreads = 0;
    std::vector<size_t> logLinesAtPrompts;
};

// Answers every prompt with the password, noting how many log lines were out when it asked.
struct PromptRecord {
    RunBench* bench;
    std::vector<size_t> logLinesAtPrompts;
};

bool answerPrompt(void* context, const PasswordRequest&, char* accepted) {
    auto& record = *static_cast<PromptRecord*>(context);
    record.logLinesAtPrompts.push_back(record.bench->log.size());
    std::snprintf(accepted, kPasswordBufferBytes, "%s", kPassword);
    return true;
}

RunRecord salvageWith(const Bytes& archive, int threads, bool prompt, bool copyIntact = false) {
    RunBench bench;
    bench.run.threads = threads;
    bench.run.copyIntact = copyIntact;
    PromptRecord prompts{&bench, {}};
    if (prompt) {
        bench.run.passwords.dialog = answerPrompt;
        bench.run.passwords.dialogContext = &prompts;
    } else {
        bench.run.passwords.given = {kPassword};
    }
    RunRecord record;
    EXPECT_TRUE(bench.salvage(archive));
    record.result = bench.result;
    record.output = bench.output();
    record.log = bench.log;
    record.reports = bench.reports;
    const SalvageRun& run = bench.run;
    uint64_t counts[5] = {run.filesFound, run.unrecoverableCount, run.partialCount,
                          run.undecryptableCount, run.systemErrorCount};
    std::memcpy(record.counts, counts, sizeof counts);
    record.encodedOnThreads = run.encodedOnThreads;
    record.logLinesAtPrompts = prompts.logLinesAtPrompts;
    return record;
}

void expectSameRun(const RunRecord& one, const RunRecord& many, int threads) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    EXPECT_EQ(many.result, one.result);
    EXPECT_TRUE(many.output == one.output) << "the output differs";
    EXPECT_EQ(many.log, one.log);
    EXPECT_EQ(many.reports, one.reports);
    for (int index = 0; index < 5; ++index) EXPECT_EQ(many.counts[index], one.counts[index]);
    // The person asked for a password has seen the same log as on one thread.
    EXPECT_EQ(many.logLinesAtPrompts, one.logLinesAtPrompts);
}

TEST(ThreadedRun, TheOutputLogAndReportsAreThoseOfOneThread) {
    Bytes archive = mixedArchive();
    for (bool prompt : {false, true}) {
        RunRecord one = salvageWith(archive, 1, prompt);
        ASSERT_EQ(one.result, RunResult::kCompleted);
        EXPECT_EQ(one.encodedOnThreads, 0u);
        EXPECT_GT(one.counts[2], 3u) << "the archive has damaged entries";
        EXPECT_NE(std::find(one.reports.begin(), one.reports.end(),
                            "Pr\xC3\xBC"
                            "fung0 utf8 method 0 size 6000 crc " +
                                std::to_string(testing::crc32Of(testing::makeText(6000, 40))) +
                                " recovered 6000 written 1 verdict 0"),
                  one.reports.end());
        for (int threads : {2, 5}) {
            RunRecord many = salvageWith(archive, threads, prompt);
            EXPECT_GT(many.encodedOnThreads, 20u) << "entries were re-encoded on threads";
            expectSameRun(one, many, threads);
        }
    }
}

// Copying intact entries, the threads check each one while the scan goes on behind it: a
// damaged one, an encrypted one (a password asked for) and the archive's own directory send
// the scan back or make it wait, and the run is still the one on one thread.
TEST(ThreadedRun, IntactEntriesCheckedOnThreadsGiveTheOneThreadRun) {
    Bytes archive = mixedArchive();
    for (bool prompt : {false, true}) {
        RunRecord one = salvageWith(archive, 1, prompt, true);
        ASSERT_EQ(one.result, RunResult::kCompleted);
        for (int threads : {2, 5}) {
            RunRecord many = salvageWith(archive, threads, prompt, true);
            EXPECT_GT(many.encodedOnThreads, 20u) << "entries were checked on threads";
            expectSameRun(one, many, threads);
        }
    }
}

// Entries that outgrow memory are re-encoded on the scanning thread, from the temporary file,
// behind those still queued: the order holds across both ways.
TEST(ThreadedRun, EntriesTooBigForMemoryTakeTheirTurn) {
    testing::ScopedMemoryBound bound(20000);
    Bytes archive = mixedArchive();
    RunRecord one = salvageWith(archive, 1, false);
    RunRecord many = salvageWith(archive, 3, false);
    EXPECT_GT(many.encodedOnThreads, 10u);
    EXPECT_LT(many.encodedOnThreads, one.counts[0] - 10);
    expectSameRun(one, many, 3);
}

// A cancel while entries wait in the queue: the workers stop, nothing of the run is left (no
// partial output, no temporary file), and an earlier output of the name stays.
TEST(ThreadedRun, ACancelInTheMiddleLeavesNothingBehind) {
    Bytes archive = mixedArchive();
    // Copying intact entries, the cancel also comes while entries are being checked.
    for (bool copyIntact : {false, true}) {
        for (size_t cancelAfter : {size_t{3}, size_t{20}, size_t{40}}) {
            RunBench bench;
            bench.run.threads = 3;
            bench.run.copyIntact = copyIntact;
            bench.run.passwords.given = {kPassword};
            bench.answerYes = true;
            testing::writeWholeFile(bench.outputPath(), std::string("earlier"));
            struct CancelAt {
                RunBench* bench;
                size_t reports;
            } cancel{&bench, cancelAfter};
            bench.run.ui.entryDoneContext = &cancel;
            bench.run.ui.entryDone = [](void* context, const EntryReport& report) {
                auto& at = *static_cast<CancelAt*>(context);
                at.bench->reports.emplace_back(report.rawName);
                if (at.bench->reports.size() == at.reports) requestCancel(at.bench->run.flags);
            };
            ASSERT_TRUE(bench.salvage(archive));
            SCOPED_TRACE("cancelled after report " + std::to_string(cancelAfter));
            EXPECT_EQ(bench.result, RunResult::kCancelled);
            EXPECT_EQ(bench.reports.size(), cancelAfter) << "no entry reported after the cancel";
            EXPECT_FALSE(bench.logHas(" ")) << "no summary after a cancel";
            EXPECT_EQ(bench.output(), Bytes({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
            EXPECT_EQ(testing::folderNames(bench.dir.path),
                      (std::vector<std::string>{"Salvaged.zip", "damaged.zip"}));
            EXPECT_FALSE(testing::pathExists(runTempFolder() + "klv.tmp"));
        }
    }
}

}  // namespace
}  // namespace zipsalvage
