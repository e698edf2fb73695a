// Encrypted archives through the whole program without a terminal: --password, skipping, and
// what a password that only passes the one-byte check leads to.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/password/encrypted_archives.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::EntrySpec;
using testing::ProgramRun;
using testing::TempDir;

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// Every entry of `expected` is in the salvaged archive, unencrypted and byte-identical, with
// the original CRC-32; nothing else is.
void expectSalvagedExactly(const std::string& zipPath, const std::vector<EntrySpec>& expected) {
    auto files = testing::readSalvaged(zipPath);
    EXPECT_EQ(files.size(), expected.size());
    for (const EntrySpec& entry : expected) {
        auto found = files.find(entry.name);
        ASSERT_NE(found, files.end()) << entry.name;
        EXPECT_EQ(found->second.flags, 0) << entry.name;
        EXPECT_EQ(found->second.recordedCrc, testing::crc32Of(entry.content)) << entry.name;
        EXPECT_TRUE(found->second.data == entry.content) << entry.name;
    }
}

class EncryptedSalvage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::haveCommand("zip") || !testing::haveCommand("python3")) {
            GTEST_SKIP() << "zip and python3 are needed";
        }
    }
    TempDir dir;
};

TEST_F(EncryptedSalvage, GivenPasswordsDecryptEveryStoredEntry) {
    std::vector<EntrySpec> entries = {{"a.bin", testing::makeRandom(3000, 1), "alpha"},
                                      {"b.txt", testing::makeText(5000, 2), "alpha"},
                                      {"c.dat", testing::makeRandom(1500, 3), "beta"}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries, {"wrong"}));
    ProgramRun run = testing::runWithoutTerminal(
        {"-y", "-p", "wrong", "--password", "beta", "-p", "alpha", dir.file("e.zip")});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(has(run.output, "    c.dat: size = 1500:  OK")) << run.output;
    expectSalvagedExactly(dir.file("Salvaged.zip"), entries);
}

// What `unzip -P password -p` extracts of `name`, or "unzip failed".
std::string unzipWith(const std::string& archive, const std::string& password,
                      const std::string& name) {
    std::string output;
    int status =
        testing::runCommand("unzip -P " + testing::shellQuote(password) + " -p " +
                                testing::shellQuote(archive) + " " + testing::shellQuote(name),
                            &output, false);
    return status == 0 ? output : "unzip failed";
}

TEST_F(EncryptedSalvage, EntryNoPasswordOpensIsKeptEncryptedCountedAndTheScanGoesOn) {
    std::vector<EntrySpec> entries = {{"first.bin", testing::makeRandom(2000, 4), "alpha"},
                                      {"locked.bin", testing::makeRandom(2500, 5), "beta"},
                                      {"plain.txt", testing::makeText(400, 6), ""},
                                      {"last.bin", testing::makeRandom(1200, 7), "alpha"}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries));
    ProgramRun run = testing::runWithoutTerminal({"-y", "-p", "alpha", dir.file("e.zip")});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output,
                    "WARNING: No password decrypts locked.bin: kept encrypted as it "
                    "was (compression method 0)"))
        << run.output;
    EXPECT_TRUE(has(run.output, "  4 files found")) << run.output;
    EXPECT_TRUE(has(run.output, "  1 undecryptable files")) << run.output;
    EXPECT_EQ(testing::countOf(run.output, "no password given with -p opens"), 1) << run.output;
    auto files = testing::readSalvaged(dir.file("Salvaged.zip"));
    ASSERT_EQ(files.count("locked.bin"), 1u);
    EXPECT_EQ(files["locked.bin"].flags & 1, 1) << "still encrypted";
    EXPECT_EQ(files["locked.bin"].recordedCrc, testing::crc32Of(entries[1].content));
    files.erase("locked.bin");
    EXPECT_EQ(files.size(), 3u);
    if (testing::haveCommand("unzip")) {
        std::string opened = unzipWith(dir.file("Salvaged.zip"), "beta", "locked.bin");
        EXPECT_TRUE(Bytes(opened.begin(), opened.end()) == entries[1].content);
    }

    // Streamed (zip on a pipe: flag bit 3, the check byte from the mod time, sizes behind the
    // data): the copy keeps bit 3 with a descriptor, and the report the recorded size and CRC.
    if (!testing::haveCommand("unzip")) return;
    Bytes streamedContent = testing::makeText(3000, 40);
    testing::writeWholeFile(dir.file("piped.txt"), streamedContent);
    ASSERT_EQ(testing::runCommand("cd " + testing::shellQuote(dir.path) +
                                  " && zip -q -P beta s.zip - < piped.txt"),
              0);
    ProgramRun streamed = testing::runWithoutTerminal(
        {"-y", "-o", dir.file("s-out.zip"), "--report", dir.file("r.json"), dir.file("s.zip")});
    EXPECT_EQ(streamed.status, 1) << streamed.output;
    std::string opened = unzipWith(dir.file("s-out.zip"), "beta", "-");
    EXPECT_TRUE(Bytes(opened.begin(), opened.end()) == streamedContent) << opened;
    char recorded[96];
    std::snprintf(recorded, sizeof recorded, "\"recordedSize\":3000,\"recordedCrc32\":\"%08x\"",
                  testing::crc32Of(streamedContent));
    Bytes reportBytes = testing::readWholeFile(dir.file("r.json"));
    std::string report(reportBytes.begin(), reportBytes.end());
    EXPECT_TRUE(has(report, recorded)) << report;
    EXPECT_TRUE(has(report, "\"verdict\":\"undecryptable\"")) << report;
}

// Traditional encryption has no length limit: a long password counts in full (it used to be
// cut to 39 characters, and the entry was lost), up to 1024 bytes.
TEST_F(EncryptedSalvage, LongGivenPasswordsCountInFullAndTheEmptyOneCanPass) {
    std::string given45 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHI";
    std::string given1024(1024, 'p');
    given1024[1023] = 'q';
    Bytes long45 = testing::makeText(800, 8);
    Bytes empty = testing::makeText(900, 9);
    Bytes long1024 = testing::makeText(300, 10);
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", {{"long45.txt", long45, given45}},
                                        {"", given45.substr(0, 39), given1024}));
    Bytes archive = testing::readWholeFile(dir.file("e.zip"));
    Bytes handMade = testing::handMadeEncryptedEntry("empty.txt", empty, "");
    archive.insert(archive.begin(), handMade.begin(), handMade.end());
    handMade = testing::handMadeEncryptedEntry("long1024.txt", long1024, given1024);
    archive.insert(archive.end(), handMade.begin(), handMade.end());
    testing::writeWholeFile(dir.file("all.zip"), archive);

    ProgramRun run = testing::runWithoutTerminal(
        {"-y", "-p", "", "-p", given45, "-p", given1024, dir.file("all.zip")});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(has(run.output, "only the first")) << run.output;
    expectSalvagedExactly(
        dir.file("Salvaged.zip"),
        {{"empty.txt", empty, ""}, {"long45.txt", long45, ""}, {"long1024.txt", long1024, ""}});

    ProgramRun tooLong =
        testing::runWithoutTerminal({"-y", "-p", given1024 + "x", dir.file("all.zip")});
    EXPECT_TRUE(has(tooLong.output, "only the first 1024 bytes")) << tooLong.output;
}

// One wrong password in 256 passes the one-byte check. The entry's CRC-32 disproves it, and
// the next candidate decrypts the entry again from its first data byte: also for an entry far
// larger than any buffer, stored (where the wrong bytes decode without complaint) or deflated.
TEST_F(EncryptedSalvage, APasswordPassingOnlyTheCheckByteIsDisprovenAndTheNextOneTried) {
    std::vector<EntrySpec> entries = {{"s.bin", testing::makeRandom(3000000, 10), "right"},
                                      {"d.txt", testing::makeText(200000, 13), "right", true}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries));
    Bytes archive = testing::readWholeFile(dir.file("e.zip"));
    for (const EntrySpec& entry : entries) {
        auto check = testing::readEntryCheck(archive, entry.name);
        std::string wrong = testing::findFalsePassword(check, "right");
        ASSERT_FALSE(wrong.empty());
        ProgramRun run = testing::runWithoutTerminal(
            {"-y", "-p", wrong, "-p", "right", "-o", dir.file("out.zip"), dir.file("e.zip")});
        EXPECT_EQ(run.status, 0) << entry.name << run.output;
        EXPECT_FALSE(has(run.output, "ERROR")) << run.output;
        expectSalvagedExactly(dir.file("out.zip"), entries);
    }
}

// With no other candidate, the bytes the false password gave are kept, but never called whole.
TEST_F(EncryptedSalvage, AFalsePasswordAloneLeavesTheEntryReportedAsNotMatchingItsCrc) {
    Bytes content = testing::makeRandom(2000, 10);
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", {{"s.bin", content, "right"}}));
    auto check = testing::readEntryCheck(testing::readWholeFile(dir.file("e.zip")), "s.bin");
    std::string wrong = testing::findFalsePassword(check, "right");
    ASSERT_FALSE(wrong.empty());

    ProgramRun run = testing::runWithoutTerminal({"-y", "-p", wrong, dir.file("e.zip")});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_FALSE(has(run.output, "Cannot decrypt")) << run.output;
    EXPECT_FALSE(has(run.output, "s.bin: size = 2000:  OK")) << run.output;
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08X", testing::crc32Of(content));
    EXPECT_TRUE(has(run.output, "ERROR: CRC-32 of s.bin is ")) << run.output;
    EXPECT_TRUE(has(run.output, std::string(", should be ") + expected)) << run.output;
    EXPECT_TRUE(has(run.output, "  1 partially recoverable files")) << run.output;
    auto files = testing::readSalvaged(dir.file("Salvaged.zip"));
    ASSERT_EQ(files.count("s.bin"), 1u);
    EXPECT_EQ(files["s.bin"].data.size(), content.size());
}

TEST_F(EncryptedSalvage, DeflatedEntriesWithTheRightPasswordAndWithAFalseOne) {
    if (!testing::inflateAvailable()) GTEST_SKIP() << "method 8 is not extracted yet";
    std::vector<EntrySpec> entries = {{"d1.txt", testing::makeText(6000, 11), "alpha", true},
                                      {"d2.txt", testing::makeText(9000, 12), "beta", true}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries));
    ProgramRun run =
        testing::runWithoutTerminal({"-y", "-p", "alpha", "-p", "beta", dir.file("e.zip")});
    EXPECT_EQ(run.status, 0) << run.output;
    expectSalvagedExactly(dir.file("Salvaged.zip"), entries);

    auto check = testing::readEntryCheck(testing::readWholeFile(dir.file("e.zip")), "d1.txt");
    std::string wrong = testing::findFalsePassword(check, "alpha");
    ASSERT_FALSE(wrong.empty());
    run = testing::runWithoutTerminal({"-y", "-p", wrong, dir.file("e.zip")});
    EXPECT_FALSE(has(run.output, "Cannot decrypt d1.txt")) << run.output;
    EXPECT_FALSE(has(run.output, "d1.txt: size = 6000:  OK")) << run.output;
}

TEST(EncryptedSalvageRealArchive, DescriptorArchiveTakesItsPasswordWithoutHarm) {
    std::string shared = testing::sharedTestdataDir();
    std::string path = shared + "/encrypted/trad-deflate-descriptor.zip";
    if (shared.empty() || !testing::pathExists(path)) GTEST_SKIP() << "no shared test archives";
    TempDir dir;
    ProgramRun run =
        testing::runWithoutTerminal({"-y", "-o", dir.file("out.zip"), "-p", "12345678", path});
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.output;
    EXPECT_FALSE(has(run.output, "Cannot decrypt")) << run.output;
    EXPECT_TRUE(has(run.output, "  2 files found")) << run.output;
}

}  // namespace
}  // namespace zipsalvage
