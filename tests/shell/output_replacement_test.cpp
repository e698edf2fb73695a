// Replacing the output: only a completed run puts its archive in place, by renaming a new file
// over the final name; nothing that is not a regular file or link of that name is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
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

class OutputReplacement : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::writeWholeFile(dir.file("a.zip"),
                                testing::buildArchive({{"a.txt", testing::makeText(2000, 1)}}));
    }
    bool isValidArchive(const std::string& path) {
        std::vector<testing::ListedEntry> listed;
        std::string problem;
        return testing::readArchive(testing::readWholeFile(path), listed, problem) &&
               listed.size() == 1;
    }
    TempDir dir;
};

// A device, FIFO or folder named as the output is refused before anything happens, even with
// -y: a cancelled run used to delete it, and a run wrote into it.
TEST_F(OutputReplacement, OutputsThatAreNotRegularFilesAreRefused) {
    ASSERT_EQ(::mkfifo(dir.file("fifo.zip").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.file("folder.zip").c_str(), 0700), 0);
    for (std::string output :
         {std::string("/dev/null"), dir.file("fifo.zip"), dir.file("folder.zip")}) {
        SCOPED_TRACE(output);
        Outcome run = salvage(dir, "-y -o " + testing::shellQuote(output) + " a.zip");
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(contains(
            run.output, "Unable to create " + output + ": it exists and is not a regular file"))
            << run.output;
        EXPECT_FALSE(contains(run.output, "Beginning salvage")) << "no run took place";
    }
    struct stat info {};
    ASSERT_EQ(::stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    ASSERT_EQ(::lstat(dir.file("fifo.zip").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(folderNames(dir.path), (std::vector<std::string>{"a.zip", "fifo.zip", "folder.zip"}));
}

// A link planted under the output's name is replaced, never written through.
TEST_F(OutputReplacement, ASymbolicLinkIsReplacedAndItsTargetLeftAlone) {
    testing::writeWholeFile(dir.file("victim.txt"), std::string("precious"));
    ASSERT_EQ(::symlink("victim.txt", dir.file("Salvaged.zip").c_str()), 0);

    Outcome asked = salvage(dir, "a.zip");
    EXPECT_EQ(asked.status, 2);
    EXPECT_TRUE(contains(asked.output,
                         "Salvaged.zip is a symbolic link.  Replace the link (not "
                         "its target) with the salvaged archive?"))
        << asked.output;

    Outcome replaced = salvage(dir, "-y a.zip");
    EXPECT_EQ(replaced.status, 0) << replaced.output;
    EXPECT_EQ(testing::readText(dir.file("victim.txt")), "precious");
    struct stat info {};
    ASSERT_EQ(::lstat(dir.file("Salvaged.zip").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_TRUE(isValidArchive(dir.file("Salvaged.zip")));
}

// The new archive is made beside the final name and renamed over it: afterwards there is the
// final file alone, with the permissions any new file of the user gets.
TEST_F(OutputReplacement, ACompletedRunLeavesOnlyTheFinalFileWithOrdinaryPermissions) {
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    Outcome run = salvage(dir, "-y a.zip", "umask 027 &&");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(folderNames(dir.path), (std::vector<std::string>{"Salvaged.zip", "a.zip"}));
    EXPECT_TRUE(isValidArchive(dir.file("Salvaged.zip")));
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("Salvaged.zip").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace zipsalvage
