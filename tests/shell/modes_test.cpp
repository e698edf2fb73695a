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

}  // namespace
}  // namespace zipsalvage
