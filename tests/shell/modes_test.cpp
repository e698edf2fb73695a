// The console's other outputs: a test run that writes nothing (-t) and the recovered files
// written into a folder (-d).
#include <gtest/gtest.h>

#include <string>

#include "tests/shell/console_run.h"
#include "tests/support/test_files.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::contains;
using testing::Outcome;
using testing::readText;
using testing::salvage;
using testing::TempDir;

// One whole entry, then one whose data the archive's end cuts short.
Bytes wholeThenCut() {
    Bytes archive = testing::buildArchive({{"whole.txt", testing::makeText(500, 1)}});
    Bytes cut = testing::localRecord({"cut.txt", testing::makeText(900, 2)});
    cut.resize(cut.size() - 400);
    archive.insert(archive.end(), cut.begin(), cut.end());
    return archive;
}

// The report without the summary's output path, which a test run has none of.
std::string reportWithoutOutput(const std::string& path) {
    std::string report = readText(path);
    size_t at = report.find("\"output\":");
    if (at == std::string::npos) return report;
    size_t end = report.find(',', at);
    return report.erase(at, end - at);
}

TEST(TestRun, JudgesLikeARealRunAndWritesNothing) {
    TempDir dir;
    testing::writeWholeFile(dir.file("d.zip"), wholeThenCut());
    Outcome real = salvage(dir, "-q --report=real.json -o real.zip d.zip");
    ASSERT_EQ(real.status, 1) << real.output;

    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("earlier"));
    for (const char* threads : {"1", "3"}) {
        Outcome test =
            salvage(dir, std::string("-qt --threads ") + threads + " --report=test.json d.zip");
        EXPECT_EQ(test.status, real.status) << test.output;
        EXPECT_TRUE(contains(test.output, "cut.txt")) << test.output;
        EXPECT_TRUE(contains(test.output, "  2 files found")) << test.output;
        EXPECT_TRUE(contains(test.output, "nothing was written")) << test.output;
        EXPECT_EQ(reportWithoutOutput(dir.file("test.json")),
                  reportWithoutOutput(dir.file("real.json")));
        // The earlier output is untouched, and no partial file was made beside it.
        EXPECT_EQ(readText(dir.file("Salvaged.zip")), "earlier");
        std::string listing;
        testing::runCommand("ls -A " + testing::shellQuote(dir.path), &listing);
        EXPECT_EQ(listing, "Salvaged.zip\nd.zip\nreal.json\nreal.zip\ntest.json\n");
    }
    // A test run has no output to name.
    EXPECT_EQ(salvage(dir, "-t -o x.zip d.zip").status, 2);
    EXPECT_EQ(salvage(dir, "-t -d out d.zip").status, 2);
}

// An archive of zip's, with links, modes and times, and Python's entries of unsafe names.
TEST(FolderRun, NamesStayInsideModesTimesAndLinksAreRestored) {
    if (!testing::haveCommand("zip") || !testing::haveCommand("python3")) {
        GTEST_SKIP() << "zip and python3 are needed";
    }
    TempDir dir;
    ASSERT_EQ(testing::runCommand("cd " + testing::shellQuote(dir.path) +
                                  " && mkdir -p src/sub && echo hi > src/sub/f.txt && chmod 750 "
                                  "src/sub/f.txt && touch -d 2001-02-03T04:05:06Z src/sub/f.txt && "
                                  "ln -s f.txt src/sub/in && ln -s ../../etc/passwd src/out && "
                                  "cd src && zip -qry ../x.zip ."),
              0);
    ASSERT_EQ(testing::runCommand(
                  "cd " + testing::shellQuote(dir.path) +
                  " && python3 -c \"import zipfile\n"
                  "z = zipfile.ZipFile('x.zip', 'a')\n"
                  "for n in ['../up.txt', '/abs.txt', 'C:\\\\win\\\\d.txt', 'a/../../b.txt']: "
                  "z.writestr(n, 'x')\""),
              0);
    Outcome run = salvage(dir, "-d out/new x.zip");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* inside : {"up.txt", "abs.txt", "win/d.txt", "a/b.txt"}) {
        EXPECT_EQ(readText(dir.file(std::string("out/new/") + inside)), "x") << inside;
    }
    EXPECT_TRUE(contains(run.output, "WARNING: ../up.txt is written as up.txt")) << run.output;
    EXPECT_TRUE(contains(run.output, "C:\\win\\d.txt is written as win/d.txt")) << run.output;
    std::string facts;
    testing::runCommand("cd " + testing::shellQuote(dir.file("out/new")) +
                            " && stat -c '%n %a %Y %F' sub/f.txt && readlink sub/in && "
                            "stat -c '%F' out && cat out",
                        &facts);
    EXPECT_EQ(facts,
              "sub/f.txt 750 981173106 regular file\nf.txt\nregular file\n"
              "../../etc/passwd")
        << facts;
    EXPECT_TRUE(contains(run.output, "out is a symbolic link to ../../etc/passwd, outside"))
        << run.output;
}

// Partly recovered files are written; an existing file is not replaced without -y.
TEST(FolderRun, PartialFilesAreWrittenAndExistingOnesKeptWithoutYes) {
    TempDir dir;
    testing::writeWholeFile(dir.file("d.zip"), wholeThenCut());
    testing::runCommand("mkdir " + testing::shellQuote(dir.file("out")));
    testing::writeWholeFile(dir.file("out/whole.txt"), std::string("mine"));
    Outcome run = salvage(dir, "-d out d.zip");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(readText(dir.file("out/whole.txt")), "mine");
    EXPECT_TRUE(contains(run.output, "out/whole.txt exists and was not replaced")) << run.output;
    EXPECT_TRUE(contains(run.output, "ERROR: File cut.txt is corrupt")) << run.output;
    std::string cut = readText(dir.file("out/cut.txt"));
    EXPECT_FALSE(cut.empty());
    Bytes text = testing::makeText(900, 2);
    EXPECT_EQ(cut, std::string(text.begin(), text.begin() + static_cast<long>(cut.size())));

    Outcome replaced = salvage(dir, "-y -d out d.zip");
    EXPECT_EQ(replaced.status, 1) << replaced.output;
    Bytes whole = testing::makeText(500, 1);
    EXPECT_EQ(readText(dir.file("out/whole.txt")), std::string(whole.begin(), whole.end()));
}

}  // namespace
}  // namespace zipsalvage
