// Several archives in one call: an output of its own for each, none of them replacing an
// archive or another's output, the worst status, and one report whose summary lines close
// each archive's records.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/shell/console_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::contains;
using testing::folderNames;
using testing::Outcome;
using testing::runCommand;
using testing::salvage;
using testing::shellQuote;
using testing::TempDir;

class SeveralArchives : public ::testing::Test {
  protected:
    void SetUp() override {
        whole = testing::buildArchive({{"a.txt", testing::makeText(2000, 1)}});
        Bytes cut = testing::buildArchive({{"b.txt", testing::makeText(3000, 2)}});
        cut.resize(1500);  // the archive ends inside the entry's data
        damaged = cut;
        testing::writeWholeFile(dir.file("a.zip"), whole);
        testing::writeWholeFile(dir.file("b.ZIP"), damaged);
    }
    bool holdsEntry(const std::string& path, const std::string& name) {
        std::vector<testing::ListedEntry> listed;
        std::string problem;
        return testing::readArchive(testing::readWholeFile(path), listed, problem) &&
               listed.size() == 1 && listed[0].name == name;
    }
    TempDir dir;
    Bytes whole;
    Bytes damaged;
};

TEST_F(SeveralArchives, EachGetsAnOutputNamedAfterItAndTheCallTheWorstStatus) {
    Outcome run = salvage(dir, "-q a.zip b.ZIP missing.zip");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(holdsEntry(dir.file("a.salvaged.zip"), "a.txt"));
    EXPECT_TRUE(holdsEntry(dir.file("b.salvaged.ZIP"), "b.txt"));
    EXPECT_TRUE(contains(run.output, "Archive: b.ZIP\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "3 archives: 1 whole, 1 damaged, 1 not salvaged, 0 failed"))
        << run.output;
    EXPECT_EQ(salvage(dir, "-y a.zip b.ZIP").status, 1);

    // -o names a folder, made when missing.
    Outcome intoFolder = salvage(dir, "-o rescued a.zip b.ZIP");
    EXPECT_EQ(intoFolder.status, 1) << intoFolder.output;
    EXPECT_EQ(folderNames(dir.file("rescued")),
              (std::vector<std::string>{"a.salvaged.zip", "b.salvaged.ZIP"}));
    Outcome notAFolder = salvage(dir, "-o a.zip a.zip b.ZIP");
    EXPECT_EQ(notAFolder.status, 2);
    EXPECT_TRUE(contains(notAFolder.output,
                         "Unable to use the folder a.zip for the outputs: it "
                         "exists and is not a folder"))
        << notAFolder.output;
}

// The second `zipsalvage -y *.zip` in a folder finds the first one's outputs among its
// archives; and the same name in two folders would meet in one -o folder. Neither replaces
// anything: the archives are only ever read, and each salvage keeps its output.
TEST_F(SeveralArchives, NoOutputReplacesAnArchiveOrAnotherArchivesOutput) {
    ASSERT_EQ(salvage(dir, "a.zip b.ZIP").status, 1);
    Bytes firstOutput = testing::readWholeFile(dir.file("a.salvaged.zip"));
    Outcome again = salvage(dir, "-y a.salvaged.zip a.zip");
    EXPECT_EQ(again.status, 2) << again.output;
    EXPECT_TRUE(contains(again.output,
                         "Unable to create a.salvaged.zip: it is one of the "
                         "archives to salvage"))
        << again.output;
    EXPECT_EQ(testing::readWholeFile(dir.file("a.salvaged.zip")), firstOutput);
    EXPECT_TRUE(holdsEntry(dir.file("a.salvaged.salvaged.zip"), "a.txt"));

    ASSERT_EQ(::mkdir(dir.file("other").c_str(), 0700), 0);
    testing::writeWholeFile(dir.file("other/a.zip"), damaged);
    Outcome meeting = salvage(dir, "-y -o out a.zip other/a.zip a.zip");
    EXPECT_EQ(meeting.status, 2) << meeting.output;
    EXPECT_TRUE(contains(meeting.output,
                         "Unable to create out/a.salvaged.zip: the salvage of "
                         "a.zip was written there in this run"))
        << meeting.output;
    EXPECT_TRUE(holdsEntry(dir.file("out/a.salvaged.zip"), "a.txt"));
    EXPECT_EQ(testing::readWholeFile(dir.file("out/a.salvaged.zip")), firstOutput);
}

// --report -: the records alone on standard output, the log on standard error; a summary
// line closes each archive's records and counts them as the log does.
TEST_F(SeveralArchives, TheReportOnStandardOutputEndsEachArchiveWithItsSummary) {
    if (!testing::haveCommand("python3")) GTEST_SKIP() << "python3 is needed";
    Outcome run;
    run.status = runCommand("cd " + shellQuote(dir.path) + " && " + shellQuote(ZIPSALVAGE_BINARY) +
                                " --report - a.zip b.ZIP 2>log.txt </dev/null",
                            &run.output, false);
    EXPECT_EQ(run.status, 1);
    testing::writeWholeFile(dir.file("report.json"), run.output);
    std::string summaries;
    ASSERT_EQ(runCommand("python3 -c \"import json, sys\n"
                         "for line in open(sys.argv[1]):\n"
                         "  s = json.loads(line).get('summary')\n"
                         "  if s: print(s['archive'], s['output'], s['found'], s['whole'], "
                         "s['partial'] + s['lost'], s['undecryptable'], s['exitStatus'])\" " +
                             shellQuote(dir.file("report.json")),
                         &summaries),
              0)
        << summaries << run.output;
    // How much of a cut stored entry is kept is the stored method's business: partial or
    // lost, never whole.
    EXPECT_EQ(summaries, "a.zip " + dir.file("a.salvaged.zip") + " 1 1 0 0 0\nb.ZIP " +
                             dir.file("b.salvaged.ZIP") + " 1 0 1 0 1\n")
        << run.output;
    std::string log = testing::readText(dir.file("log.txt"));
    EXPECT_TRUE(contains(log, "    a.txt: size = 2000:  OK\n")) << log;
    EXPECT_TRUE(contains(log, "Salvaged data stored in")) << log;
    EXPECT_FALSE(contains(run.output, "Salvage")) << "no log line among the records";
}

}  // namespace
}  // namespace zipsalvage
