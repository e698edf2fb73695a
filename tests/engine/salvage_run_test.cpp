// The scan, the rules for headers and names, the outcome of each entry, and the output shape.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "extract/text_transfer.h"
#include "tests/engine/run_bench.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

// A CRC-32 as the log prints it.
std::string crcText(const Bytes& bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", testing::crc32Of(bytes));
    return text;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(SalvageRun, InputsWithoutEntriesWriteNothingAndSaySo) {
    // Random bytes, an empty file, and bytes with a signature whose header is cut short.
    for (const Bytes& archive :
         {testing::makeRandom(5000, 1), Bytes{}, Bytes{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00}}) {
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_EQ(bench.result, RunResult::kNoEntries);
        EXPECT_TRUE(bench.logHas("No files found in archive."));
        EXPECT_FALSE(bench.logHas("Salvage attempt complete"));
        struct stat info {};
        EXPECT_NE(::stat(bench.outputPath().c_str(), &info), 0) << "no output is left";
    }
}

TEST(SalvageRun, IntactStoredEntriesComeOutInOrder) {
    std::vector<TestEntry> entries{{"one.txt", text("first entry")},
                                   {"two.bin", testing::makeRandom(3000, 2)},
                                   {"three.txt", testing::makeText(20000, 3)}};
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(entries)));
    EXPECT_TRUE(bench.logHas("    one.txt: size = 11:  OK"));
    EXPECT_TRUE(bench.logHas("    three.txt: size = 20000:  OK"));
    EXPECT_EQ(bench.log.back(), "  3 files found");
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 3u);
    for (size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(listed[index].name, entries[index].name);
        EXPECT_EQ(listed[index].content, entries[index].data);
        EXPECT_EQ(listed[index].crc32, testing::crc32Of(entries[index].data));
        EXPECT_EQ(listed[index].modTime, entries[index].modTime);
        EXPECT_EQ(listed[index].modDate, entries[index].modDate);
    }
}

TEST(SalvageRun, EveryEntryGetsANameOfItsOwn) {
    // No name at all; names that differ only behind a zero byte, which readers end names at.
    std::vector<TestEntry> entries{{"", text("nameless")},
                                   {std::string("same/a\0one", 10), text("first")},
                                   {std::string("same/a\0two", 10), text("second")}};
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(entries)));
    EXPECT_TRUE(bench.logHas("    unnamed-at-0: size = 8:  OK"));
    EXPECT_TRUE(bench.logHas("    same/a%00one: size = 5:  OK"));
    EXPECT_TRUE(bench.logHas("    same/a%00two: size = 6:  OK"));
    EXPECT_EQ(bench.reports.size(), 3u);
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].name, "unnamed-at-0");
    EXPECT_EQ(listed[1].name, "same/a%00one");
    EXPECT_EQ(listed[2].name, "same/a%00two");
    EXPECT_EQ(listed[2].content, text("second"));
}

TEST(SalvageRun, AnEntryWhoseLocalHeaderIsDestroyedComesFromTheDirectory) {
    Bytes book = testing::makeText(5000, 7);
    TestEntry deflated{"book.txt", testing::zlibDeflate(book, 6)};
    deflated.method = 8;
    deflated.uncompressedSize = static_cast<int64_t>(book.size());
    deflated.crc32 = testing::crc32Of(book);
    std::vector<TestEntry> entries{{"first.txt", text("first")},
                                   deflated,
                                   {"gone.txt", testing::makeText(800, 8)},
                                   {"last.txt", text("last")}};
    Bytes archive = testing::buildArchive(entries);
    size_t bookAt = testing::localRecord(entries[0]).size();
    size_t goneAt = bookAt + testing::localRecord(entries[1]).size();
    // Both local headers zeroed, and the second entry's data overwritten as well.
    std::fill(archive.begin() + static_cast<long>(bookAt),
              archive.begin() + static_cast<long>(bookAt) + 30, uint8_t{0});
    std::fill(archive.begin() + static_cast<long>(goneAt),
              archive.begin() + static_cast<long>(goneAt) + 30 + 8 + 100, uint8_t{0});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(bench.logHas(
        "WARNING: The local header of book.txt was damaged: recovered from the central directory"));
    EXPECT_TRUE(bench.logHas("    book.txt: size = 5000:  OK"));
    EXPECT_TRUE(
        bench.logHas("ERROR (SKIPPING FILE): The local header of gone.txt is destroyed, "
                     "and the data the central directory gives for it is not whole"));
    EXPECT_TRUE(bench.logHas("  4 files found"));
    EXPECT_TRUE(bench.logHas("  1 unrecoverable files"));
    ASSERT_EQ(bench.reports.size(), 4u);
    EXPECT_EQ(bench.reports[3].rfind("gone.txt method 0 size 800 ", 0), 0u) << bench.reports[3];
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].name, "book.txt");
    EXPECT_EQ(listed[2].content, book);
    EXPECT_EQ(listed[2].modTime, deflated.modTime);
}

TEST(SalvageRun, EntriesListedOutOfOrderAreEachRecoveredOnceFromTheDirectory) {
    // The directory lists the entries last first. An intact entry copied is not judged, so the
    // records are first sorted by offset when the first recovered entry is: each one lost header
    // still gives one entry.
    std::vector<TestEntry> entries{{"first.txt", text("first")},
                                   {"two.txt", testing::makeText(600, 2)},
                                   {"three.txt", testing::makeText(700, 3)},
                                   {"four.txt", testing::makeText(800, 4)}};
    Bytes archive = testing::buildArchive(entries);
    size_t at = 0;
    std::vector<size_t> headers;
    for (const TestEntry& entry : entries) {
        headers.push_back(at);
        at += testing::localRecord(entry).size();
    }
    // Each central record is 46 bytes and the name (no extra field, no comment).
    std::vector<Bytes> records;
    for (size_t record = at; const TestEntry& entry : entries) {
        auto start = archive.begin() + static_cast<long>(record);
        records.emplace_back(start, start + 46 + static_cast<long>(entry.name.size()));
        record += records.back().size();
    }
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        std::copy(record->begin(), record->end(), archive.begin() + static_cast<long>(at));
        at += record->size();
    }
    for (size_t lost = 1; lost < headers.size(); ++lost)
        std::fill_n(archive.begin() + static_cast<long>(headers[lost]), 4, uint8_t{0});
    for (int threads : {0, 1, 3}) {
        RunBench bench;
        bench.run.copyIntact = threads > 0;
        bench.run.threads = threads > 0 ? threads : 1;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_TRUE(bench.logHas("  4 files found")) << threads;
        EXPECT_EQ(bench.reports.size(), 4u) << threads;
        auto listed = bench.entries();
        ASSERT_EQ(listed.size(), 4u) << threads;
        for (size_t entry = 0; entry < entries.size(); ++entry) {
            EXPECT_EQ(listed[entry].name, entries[entry].name);
            EXPECT_EQ(listed[entry].content, entries[entry].data);
        }
    }
}

TEST(SalvageRun, SignatureStateMachineRestartsOnEveryP) {
    TestEntry entry{"a.txt", text("payload")};
    Bytes record = testing::localRecord(entry);
    Bytes afterDoubleP = concat({Bytes{0x50}, record});
    Bytes afterBrokenSignature = concat({Bytes{0x50, 0x4B, 0x03}, record});
    for (const Bytes& archive : {afterDoubleP, afterBrokenSignature}) {
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_TRUE(bench.logHas("    a.txt: size = 7:  OK"));
    }
}

TEST(SalvageRun, RejectedHeaderIsRescannedFromBehindItsSignature) {
    // A false signature 10 bytes before a real header: the false header's name length falls
    // on bytes 2..3 of the real header's CRC-32 field, which are 0 here, so it is rejected and
    // the scan must find the real signature inside the 26 bytes it had taken for a header.
    // (That CRC-32 is not the data's, so the entry is found, kept and reported.)
    TestEntry real{"real.txt", text("found after all")};
    real.crc32 = 0x0000ABCD;
    Bytes archive =
        concat({Bytes{0x50, 0x4B, 0x03, 0x04, 1, 2, 3, 4, 5, 6}, testing::localRecord(real)});
    ASSERT_EQ(archive[26] | (archive[27] << 8), 0);
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(bench.logHas("ERROR: CRC-32 of real.txt is " + crcText(real.data) +
                             ", should be 0000ABCD"));
    EXPECT_TRUE(bench.logHas("  1 files found"));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].content, real.data);
}

TEST(SalvageRun, DataEndingInsideAHeaderOrANameEndsTheRunCleanly) {
    Bytes record = testing::localRecord({"truncated-name.txt", text("abc")});
    Bytes insideHeader(record.begin(), record.begin() + 20);
    Bytes insideName(record.begin(), record.begin() + 35);
    RunBench header;
    ASSERT_TRUE(header.salvage(insideHeader));
    EXPECT_EQ(header.result, RunResult::kNoEntries);
    EXPECT_FALSE(header.logHas("Premature end-of-file found"));
    RunBench name;
    ASSERT_TRUE(name.salvage(insideName));
    EXPECT_TRUE(name.logHas("Premature end-of-file found"));
    EXPECT_EQ(name.result, RunResult::kNoEntries);
}

TEST(SalvageRun, DataDescriptorBetweenEntriesIsPassedOver) {
    Bytes first = testing::localRecord({"first", testing::makeText(500, 4)});
    Bytes descriptor{0x50, 0x4B, 0x07, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Bytes second = testing::localRecord({"second", testing::makeText(700, 5)});
    RunBench bench;
    ASSERT_TRUE(bench.salvage(concat({first, descriptor, second})));
    EXPECT_EQ(bench.entries().size(), 2u);
}

TEST(SalvageRun, HeadersAreRewrittenCleanly) {
    TestEntry withExtra{"extra.txt", text("data with an extra field")};
    withExtra.extra = Bytes{0x34, 0x12, 5, 0, 1, 2, 3, 4, 5};  // a field this program does not read
    withExtra.flags = 0x0002;
    TestEntry folder{"folder/", {}};
    TestEntry notFolder{"empty-file", {}};
    TestEntry folderWithData{"odd/", text("data")};
    RunBench bench;
    ASSERT_TRUE(
        bench.salvage(testing::buildArchive({withExtra, folder, notFolder, folderWithData})));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].centralExtra, withExtra.extra) << "kept as it was";
    EXPECT_EQ(listed[0].flags, 0);
    EXPECT_EQ(listed[0].content, withExtra.data);
    EXPECT_EQ(listed[1].externalAttributes, 0x10u);
    EXPECT_EQ(listed[2].externalAttributes, 0u);
    EXPECT_EQ(listed[3].externalAttributes, 0u);
}

TEST(SalvageRun, MethodsNotDecodedAreKeptAsTheyWere) {
    TestEntry tokenized{"tokenized", testing::makeRandom(300, 6)};
    tokenized.method = 7;
    tokenized.uncompressedSize = 1000;
    TestEntry ppmd{"ppmd", testing::makeRandom(300, 7)};
    ppmd.method = 98;
    ppmd.uncompressedSize = 500;
    ppmd.crc32 = 0x12345678;
    TestEntry futureEmpty{"future-empty", {}};
    futureEmpty.method = 200;
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive({tokenized, ppmd, futureEmpty})));
    EXPECT_TRUE(
        bench.logHas("WARNING: tokenized was kept as it was (compression method 7): its data could "
                     "not be checked"));
    // A method other writers decode says that this build could not.
    EXPECT_TRUE(
        bench.logHas("WARNING: ppmd: kept as it was, not checked (compression method 98 is "
                     "not decoded by this build)"));
    EXPECT_TRUE(
        bench.logHas("WARNING: future-empty was kept as it was (compression method 200): its data "
                     "could not be checked"));
    // Kept, but never called whole: nothing checked them.
    EXPECT_EQ(bench.log.back(), "  3 files kept as they were, not checked");
    EXPECT_TRUE(bench.logHas("  3 files found"));
    ASSERT_EQ(bench.reports.size(), 3u);
    for (const std::string& report : bench.reports)
        EXPECT_NE(report.find("verdict 6"), std::string::npos) << report;  // kNotChecked
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[1].method, 98);
    EXPECT_EQ(listed[1].data, ppmd.data);
    EXPECT_EQ(listed[1].crc32, 0x12345678u);
    EXPECT_EQ(listed[1].uncompressedSize, 500u);
    EXPECT_EQ(listed[2].method, 200);
    EXPECT_EQ(listed[2].compressedSize, 0u);
}

// A streamed copy (flag bit 3, local sizes and CRC-32 left 0) takes its sizes from the
// directory, or else from its data descriptor.
TEST(SalvageRun, AStreamedCopyTakesItsSizesFromTheDirectory) {
    TestEntry wavpack{"streamed.wv", testing::makeRandom(700, 14)};
    wavpack.method = 97;  // WavPack: copied as it is
    wavpack.flags = 0x0008;
    wavpack.uncompressedSize = 2000;
    wavpack.crc32 = 0x0BADF00D;
    TestEntry after{"after.txt", testing::makeText(900, 15)};
    Bytes archive = testing::buildArchive({wavpack, after});
    std::fill_n(archive.begin() + 14, 12, 0);  // the local CRC-32 and sizes
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(
        bench.logHas("WARNING: streamed.wv was kept as it was (compression method 97): "
                     "its data could not be checked"));
    EXPECT_TRUE(bench.logHas("    after.txt: size = 900:  OK"));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].data, wavpack.data);
    EXPECT_EQ(listed[0].crc32, 0x0BADF00Du);
    EXPECT_EQ(listed[0].uncompressedSize, 2000u);
    EXPECT_EQ(listed[0].flags & 0x0008, 0) << "the sizes stand in the local header";

    // No directory: the descriptor behind the data gives them.
    Bytes descriptor{0x50, 0x4B, 0x07, 0x08, 0x0D, 0xF0, 0xAD, 0x0B,
                     0xBC, 0x02, 0,    0,    0xD0, 0x07, 0,    0};
    TestEntry unsized = wavpack;
    unsized.compressedSize = 0;
    unsized.uncompressedSize = 0;
    unsized.crc32 = 0;
    RunBench alone;
    ASSERT_TRUE(alone.salvage(
        concat({testing::localRecord(unsized), descriptor, testing::localRecord(after)})));
    EXPECT_TRUE(
        alone.logHas("WARNING: streamed.wv was kept as it was (compression method 97): "
                     "its data could not be checked"));
    EXPECT_TRUE(alone.logHas("    after.txt: size = 900:  OK"));
    listed = alone.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].data, wavpack.data);
    EXPECT_EQ(listed[0].crc32, 0x0BADF00Du);
    EXPECT_EQ(listed[0].uncompressedSize, 2000u);
}

// A local header's method that no writer uses (84: 8 with a flipped bit) is a damaged field:
// the directory's method decodes the entry; without a directory the bytes are kept unchecked.
TEST(SalvageRun, AMethodNoWriterUsesGivesWayToTheDirectorys) {
    Bytes content = testing::makeText(5000, 13);
    TestEntry flipped{"flipped.txt", testing::zlibDeflate(content, 6)};
    flipped.method = 8;
    flipped.uncompressedSize = static_cast<int64_t>(content.size());
    flipped.crc32 = testing::crc32Of(content);
    Bytes archive = testing::buildArchive({flipped});
    archive[8] = 84;  // the local header's method field
    {
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_TRUE(bench.logHas("    flipped.txt: size = 5000:  OK"));
        auto listed = bench.entries();
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].content, content);
    }
    {
        RunBench bench;
        // The local record alone: no directory to ask.
        const auto localSize = static_cast<std::ptrdiff_t>(testing::localRecord(flipped).size());
        ASSERT_TRUE(bench.salvage(Bytes(archive.begin(), archive.begin() + localSize)));
        EXPECT_TRUE(
            bench.logHas("WARNING: flipped.txt was kept as it was (compression method "
                         "84): its data could not be checked"));
    }
}

TEST(SalvageRun, TruncatedStoredEntryKeepsEveryBytePresent) {
    Bytes data = testing::makeText(5000, 9);
    Bytes archive = testing::localRecord({"big.txt", data});
    archive.resize(archive.size() - 1800);  // 3200 data bytes left: not whole blocks or pieces
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(bench.logHas("ERROR: File big.txt is corrupt.  Salvaged 3200 of 5000"));
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].content, Bytes(data.begin(), data.begin() + 3200));
}

// Sizes that claim more data than an entry has never hide the entry behind it: a deflate
// stream ends itself, and an empty encrypted folder may have no encryption header at all.
TEST(SalvageRun, ASizeTooLargeSwallowsNothingThatFollows) {
    Bytes content = testing::makeText(280, 11);
    TestEntry oversized{"oversized.txt", testing::zlibDeflate(content, 9)};
    oversized.method = 8;
    oversized.compressedSize = 100000;
    oversized.uncompressedSize = 280;
    oversized.crc32 = testing::crc32Of(content);
    TestEntry folder{"folder/", {}};
    folder.flags = 1;  // encrypted, sizes 12 and 0, no data (archiver's zip20 writer)
    folder.compressedSize = 12;
    folder.crc32 = 0;
    TestEntry after{"after.txt", testing::makeText(3000, 12)};
    Bytes archive = concat({testing::localRecord(oversized), testing::localRecord(folder),
                            testing::localRecord(after)});
    {
        RunBench bench;
        ASSERT_TRUE(bench.salvage(archive));
        EXPECT_TRUE(bench.logHas("    oversized.txt: size = 280:  OK"));
        EXPECT_TRUE(bench.logHas("    folder/: size = 0:  OK"));
        EXPECT_TRUE(bench.logHas("    after.txt: size = 3000:  OK"));
        EXPECT_EQ(bench.log.back(), "  3 files found");
        auto listed = bench.entries();
        ASSERT_EQ(listed.size(), 3u);
        EXPECT_EQ(listed[0].content, content);
        EXPECT_EQ(listed[2].content, after.data);
    }
    {
        // The last entry's recorded size runs past the archive's end; its stream is complete.
        RunBench bench;
        ASSERT_TRUE(bench.salvage(testing::localRecord(oversized)));
        EXPECT_TRUE(bench.logHas("    oversized.txt: size = 280:  OK"));
        EXPECT_EQ(bench.log.back(), "  1 files found");
    }
}

TEST(SalvageRun, SkippedEncryptedEntryIsKeptEncryptedCountedAndTheScanGoesOn) {
    TestEntry locked{"locked.txt", testing::makeRandom(400, 10)};
    locked.flags = 1;
    locked.crc32 = 0x0BADF00D;
    TestEntry open{"open.txt", text("plain")};
    RunBench bench;  // no password dialog: every new password is a skip
    ASSERT_TRUE(bench.salvage(testing::buildArchive({locked, open})));
    EXPECT_TRUE(
        bench.logHas("WARNING: No password decrypts locked.txt: kept encrypted as it was "
                     "(compression method 0)"));
    EXPECT_TRUE(bench.logHas("  1 undecryptable files"));
    ASSERT_EQ(bench.reports.size(), 2u);
    EXPECT_EQ(bench.reports[0], "locked.txt method 0 size 400 crc " + std::to_string(0x0BADF00Du) +
                                    " recovered 400 written 1 verdict 3");
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].flags, 1);
    EXPECT_EQ(listed[0].crc32, 0x0BADF00Du);
    EXPECT_EQ(listed[0].data, locked.data);
    EXPECT_EQ(listed[1].name, "open.txt");
}

TEST(SalvageRun, NoTempFileLeftAndProgressReachesTheEnd) {
    std::vector<TestEntry> entries;
    for (int index = 0; index < 30; ++index) {
        entries.push_back({"file" + std::to_string(index),
                           testing::makeText(4000, static_cast<uint32_t>(index))});
    }
    RunBench bench;
    ASSERT_TRUE(bench.salvage(testing::buildArchive(entries)));
    std::string folder = runTempFolder();
    EXPECT_FALSE(testing::pathExists(folder + "klv.tmp"));
    ASSERT_FALSE(bench.progress.empty());
    EXPECT_TRUE(std::is_sorted(bench.progress.begin(), bench.progress.end()));
}

TEST(SalvageRun, OutputFilesAreGuarded) {
    RunBench existing;
    testing::writeWholeFile(existing.outputPath(), text("keep me"));
    testing::writeWholeFile(existing.archivePath(), testing::makeRandom(100, 11));
    ASSERT_TRUE(openArchive(existing.run, existing.archivePath().c_str()));
    EXPECT_FALSE(createOutput(existing.run, existing.outputPath().c_str()));
    EXPECT_EQ(existing.output(), text("keep me")) << "answering No changes nothing";
    ASSERT_EQ(existing.messages.size(), 1u);
    EXPECT_NE(existing.messages[0].find("File Exists: "), std::string::npos);
    EXPECT_NE(existing.messages[0].find("already exists.  Would you like to overwrite it?"),
              std::string::npos);

    RunBench same;
    Bytes archive = testing::buildArchive({{"a", text("a")}});
    testing::writeWholeFile(same.archivePath(), archive);
    ASSERT_TRUE(openArchive(same.run, same.archivePath().c_str()));
    same.answerYes = true;
    EXPECT_FALSE(createOutput(same.run, same.archivePath().c_str()));
    EXPECT_EQ(testing::readWholeFile(same.archivePath()), archive) << "the archive is only read";
    ASSERT_FALSE(same.messages.empty());
    EXPECT_EQ(same.messages.back(), "File Error: Unable to create " + same.archivePath() +
                                        ": it is the damaged archive itself");

    RunBench missing;
    EXPECT_FALSE(openArchive(missing.run, missing.dir.file("nope.zip").c_str()));
    EXPECT_EQ(missing.messages.back(), "File Error: Unable to open " +
                                           missing.dir.file("nope.zip") +
                                           ": No such file or directory");
}

// A shell that drops a run between createOutput and runSalvage (an error, an early return)
// leaves no partial output behind: the run closes and removes what it holds.
TEST(SalvageRun, ARunDroppedBeforeItsScanLeavesNoPartialOutput) {
    testing::TempDir dir;
    testing::writeWholeFile(dir.file("damaged.zip"), testing::makeRandom(100, 3));
    {
        SalvageRun run;
        ASSERT_TRUE(openArchive(run, dir.file("damaged.zip").c_str()));
        ASSERT_TRUE(createOutput(run, dir.file("Salvaged.zip").c_str()));
        EXPECT_EQ(testing::folderNames(dir.path).size(), 2u) << "the partial output exists";
    }
    EXPECT_EQ(testing::folderNames(dir.path), std::vector<std::string>{"damaged.zip"});
}

TEST(SalvageRun, CancelDuringALargeEntryLeavesNoTempFile) {
    RunBench bench;
    bench.run.reader.progress = [](void* context, int) {
        requestCancel(static_cast<RunBench*>(context)->run.flags);
    };
    ASSERT_TRUE(bench.salvage(testing::localRecord({"huge", testing::makeRandom(3000000, 12)})));
    EXPECT_EQ(bench.result, RunResult::kCancelled);
    EXPECT_FALSE(bench.logHas(" ")) << "no summary after a cancel";
    EXPECT_FALSE(testing::pathExists(runTempFolder() + "klv.tmp"));
}

TEST(TempFile, IsPrivateEmptiedForReuseAndNeverFollowsALink) {
    std::string folder = runTempFolder();
    ASSERT_FALSE(folder.empty());
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::string path = folder + "klv.tmp";
    FileHandle first = createTempFileAt(path.c_str());
    ASSERT_NE(first, kInvalidFile);
    EXPECT_EQ(writeFile(first, "leftover", 8), 8u);
    closeFile(first);
    FileHandle again = createTempFileAt(path.c_str());
    EXPECT_EQ(fileSize(again), 0) << "the previous entry's bytes are gone";
    closeFile(again);
    deleteFile(path.c_str());

    testing::TempDir elsewhere;
    testing::writeWholeFile(elsewhere.file("victim"), text("precious"));
    ASSERT_EQ(::symlink(elsewhere.file("victim").c_str(), path.c_str()), 0);
    EXPECT_EQ(createTempFileAt(path.c_str()), kInvalidFile);
    EXPECT_EQ(testing::readWholeFile(elsewhere.file("victim")), text("precious"));
    deleteFile(path.c_str());
}

// An archive sent through a text-mode transfer comes out whole, each way it can be converted,
// with one line saying so; the undone copy is gone after the run. (The undo itself, and that an
// intact archive is never taken for converted, is tested with the undo.)
TEST(SalvageRun, AnArchiveConvertedByATextModeTransferIsUndoneFirst) {
    std::vector<TestEntry> entries;
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        TestEntry entry{"text" + std::to_string(seed) + ".txt", {}};
        Bytes content = testing::makeText(30000, seed);
        entry.method = kMethodDeflated;
        entry.data = testing::zlibDeflate(content, 6);
        entry.uncompressedSize = static_cast<int64_t>(content.size());
        entry.crc32 = testing::crc32Of(content);
        entries.push_back(entry);
    }
    entries.push_back({"binary.bin", testing::makeRandom(20000, 4)});
    Bytes archive = testing::buildArchive(entries);
    const char* changes[] = {"every LF became CR LF", "every CR LF became LF"};
    int index = 0;
    for (LineEndChange change : {LineEndChange::kEveryLfToCrLf, LineEndChange::kCrLfToLf}) {
        Bytes converted = applyLineEndChange(change, archive.data(), archive.size());
        ASSERT_NE(converted, archive);
        RunBench bench;
        ASSERT_TRUE(bench.salvage(converted));
        std::string said = std::string(
                               "WARNING: The archive looks converted by a text-mode "
                               "transfer (") +
                           changes[index++] + "); the conversion was undone";
        EXPECT_EQ(std::count(bench.log.begin(), bench.log.end(), said), 1) << said;
        EXPECT_EQ(bench.log.back(), "  4 files found");
        for (const auto& listed : bench.entries())
            EXPECT_TRUE(bench.logHas("    " + listed.name + ": size = " +
                                     std::to_string(listed.content.size()) + ":  OK"));
        EXPECT_FALSE(fileExists((runTempFolder() + "undone.zip").c_str()));
    }
}

TEST(DefaultOutputPath, IsTheArchiveFolderPlusSalvagedZip) {
    EXPECT_EQ(defaultOutputPath("/data/broken.zip"), "/data/Salvaged.zip");
    EXPECT_EQ(defaultOutputPath("broken.zip"), "Salvaged.zip");
    EXPECT_EQ(defaultOutputPath("C:\\Data\\broken.zip"), "C:\\Data\\Salvaged.zip");
}

}  // namespace
}  // namespace zipsalvage
