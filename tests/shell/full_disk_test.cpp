// Full disks, on small tmpfs mounts (root only; skipped otherwise): a full output folder ends
// the run with a message naming the output and the system's reason, and leaves nothing behind, and
// a full or too small temporary folder is a system error, never damage in the archive, that costs
// only the entries it cannot hold.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include "tests/shell/console_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::contains;
using testing::folderNames;
using testing::Outcome;
using testing::salvage;
using testing::TempDir;

constexpr const char* kSmallMount = "size=256k,mode=0700";
// Larger than the mount and than what an entry may hold in memory (32 MiB), so that it goes
// to the temporary folder.
constexpr size_t kLargerThanTheMount = 33 * 1024 * 1024;

class FullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
        if (::mount("zipsalvage-test", small.path.c_str(), "tmpfs", 0, kSmallMount) != 0)
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        mounted = true;
        // Random data does not shrink: stored or deflated, the big entry overflows the mount.
        testing::writeWholeFile(
            dir.file("a.zip"),
            testing::buildArchive({{"small.txt", testing::makeText(3000, 1)},
                                   {"big.bin", testing::makeRandom(kLargerThanTheMount, 2)},
                                   {"after.txt", testing::makeText(3000, 3)}}));
    }
    void TearDown() override {
        if (mounted) ::umount(small.path.c_str());
    }
    void expectNoEntryBlamed(const Outcome& run) {
        EXPECT_FALSE(contains(run.output, "corrupt")) << run.output;
        EXPECT_FALSE(contains(run.output, "Unable to re-compress")) << run.output;
    }
    TempDir dir;
    TempDir small;
    bool mounted = false;
};

TEST_F(FullDisk, AFullReportDiskEndsTheRunBeforeAnythingIsReplaced) {
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("earlier"));
    testing::writeWholeFile(small.file("r.json"), std::string("earlier report\n"));
    // The mount full to its last byte: the report's first lines do not fit.
    testing::runCommand("dd if=/dev/zero bs=4096 of=" + testing::shellQuote(small.file("filler")) +
                        " 2>/dev/null");
    Outcome run =
        salvage(dir, "-y --report " + testing::shellQuote(small.file("r.json")) + " a.zip");
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(contains(run.output, "No space left on device")) << run.output;
    EXPECT_FALSE(contains(run.output, "No such file or directory")) << run.output;
    EXPECT_EQ(testing::readText(dir.file("Salvaged.zip")), "earlier");
    EXPECT_EQ(testing::readText(small.file("r.json")), "earlier report\n");
}

TEST_F(FullDisk, AFullOutputFolderEndsTheRunAndKeepsTheEarlierOutput) {
    testing::writeWholeFile(small.file("Salvaged.zip"), std::string("earlier"));
    Outcome run =
        salvage(dir, "-y -o " + testing::shellQuote(small.file("Salvaged.zip")) + " a.zip");
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(contains(run.output, "Output Error: Unable to write " + small.file("Salvaged.zip") +
                                         ": No space left on device\n"))
        << run.output;
    expectNoEntryBlamed(run);
    EXPECT_FALSE(contains(run.output, "Salvage attempt complete")) << run.output;
    EXPECT_EQ(folderNames(small.path), std::vector<std::string>{"Salvaged.zip"});
    EXPECT_EQ(testing::readText(small.file("Salvaged.zip")), "earlier");
}

TEST_F(FullDisk, AFullTemporaryFolderIsReportedOnceBeforeTheRun) {
    // Fill the mount to the last block.
    testing::runCommand("dd if=/dev/zero of=" + testing::shellQuote(small.file("filler")) +
                        " bs=4k 2>/dev/null");
    Outcome run = salvage(dir, "a.zip", "TMPDIR=" + testing::shellQuote(small.path));
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(contains(run.output, "Unable to use the temporary folder " + small.path))
        << run.output;
    EXPECT_FALSE(contains(run.output, "Beginning salvage")) << run.output;
    EXPECT_EQ(folderNames(dir.path), std::vector<std::string>{"a.zip"});
    EXPECT_EQ(folderNames(small.path), std::vector<std::string>{"filler"});
}

// An entry the temporary folder cannot hold is a system error that names the folder and the
// system's reason; the entries after it, which fit, are salvaged, and nothing is left behind.
TEST_F(FullDisk, AnEntryTooBigForTheTemporaryFolderIsLostAloneAndNotCalledCorrupt) {
    Outcome run = salvage(dir, "a.zip", "TMPDIR=" + testing::shellQuote(small.path));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.output,
                         "ERROR (SKIPPING FILE): Unable to write big.bin to the "
                         "temporary folder " +
                             small.path + ": No space left on device\n"))
        << run.output;
    expectNoEntryBlamed(run);
    EXPECT_TRUE(contains(run.output, "    small.txt: size = 3000:  OK\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "    after.txt: size = 3000:  OK\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "  1 system errors\n")) << run.output;
    if (testing::haveCommand("unzip")) {
        std::string listing;
        std::string test = "unzip -t " + testing::shellQuote(dir.file("Salvaged.zip"));
        EXPECT_EQ(testing::runCommand(test, &listing), 0) << listing;
        EXPECT_TRUE(contains(listing, "testing: after.txt")) << listing;
        EXPECT_FALSE(contains(listing, "big.bin")) << listing;
    }
    EXPECT_TRUE(folderNames(small.path).empty()) << "the private temporary folder is removed";
}

}  // namespace
}  // namespace zipsalvage
