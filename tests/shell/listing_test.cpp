// zipsalvage -l: every entry's header as Python's zipfile reads the same archive's directory,
// entries found past damage the directory no longer describes, and nothing written.
#include <gtest/gtest.h>

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

// The listing's lines as zipfile gives the same facts from the central directory.
std::string pythonListing(const std::string& archive) {
    std::string output;
    int status = runCommand(
        "python3 -c \"import sys, zipfile\n"
        "names = {0: 'stored', 8: 'deflated'}\n"
        "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
        "  print('%12d  %-10s %12d   %12d  %-8s  %s' % (i.header_offset, names[i.compress_type],"
        " i.compress_size, i.file_size, '%08x' % i.CRC, i.filename))\" " +
            shellQuote(archive),
        &output);
    return status == 0 ? output : "python3 failed: " + output;
}

// The entry lines of a listing: what lies between its heading and its count.
std::string entryLines(const std::string& listing) {
    size_t start = listing.find("Name\n");
    size_t end = listing.rfind("  ");
    if (start == std::string::npos || end == std::string::npos || end < start) return listing;
    end = listing.rfind('\n', end);
    return listing.substr(start + 5, end + 1 - (start + 5));
}

TEST(Listing, EveryWritersEntriesAsTheirDirectoryRecordsThemAndNothingIsWritten) {
    if (!testing::haveCommand("zip") || !testing::haveCommand("python3")) {
        GTEST_SKIP() << "zip and python3 are needed";
    }
    TempDir dir;
    runCommand("mkdir -p " + shellQuote(dir.file("src/sub")));
    testing::writeWholeFile(dir.file("src/text.txt"), testing::makeText(20000, 1));
    testing::writeWholeFile(dir.file("src/sub/random.bin"), testing::makeRandom(9000, 2));
    testing::writeWholeFile(dir.file("src/empty.txt"), Bytes{});
    std::string inSource = "cd " + shellQuote(dir.file("src")) + " && ";
    // Deflated with folders; streamed (sizes in data descriptors); stored with an archive
    // inside, whose own entries are data of the outer one.
    ASSERT_EQ(runCommand(inSource + "zip -q -r ../deflated.zip ."), 0);
    ASSERT_EQ(runCommand(inSource + "zip -q - text.txt sub/random.bin | cat > ../streamed.zip"), 0);
    ASSERT_EQ(runCommand(inSource + "zip -q -0 ../nested.zip ../deflated.zip text.txt"), 0);
    for (const char* archive : {"deflated.zip", "streamed.zip", "nested.zip"}) {
        SCOPED_TRACE(archive);
        std::vector<std::string> before = folderNames(dir.path);
        Outcome listed = salvage(dir, std::string("-l ") + archive);
        EXPECT_EQ(listed.status, 0) << listed.output;
        EXPECT_EQ(entryLines(listed.output), pythonListing(dir.file(archive))) << listed.output;
        EXPECT_EQ(folderNames(dir.path), before) << "a listing writes nothing";
    }
}

// A size destroyed in the first header and junk in front: the walk cannot pass over that
// entry's data, and still finds every header behind it.
TEST(Listing, HeadersBehindDamageAreFoundAndAnArchiveWithoutAnyIsNotAListing) {
    TempDir dir;
    Bytes archive = testing::buildArchive({{"first.txt", testing::makeText(3000, 1)},
                                           {"second.txt", testing::makeText(4000, 2)},
                                           {"third.txt", testing::makeText(500, 3)}});
    archive[18] = 0xF0;  // the first entry's compressed size, low byte
    archive[21] = 0x7F;  // and high byte: far past the archive's end
    Bytes junk = testing::makeRandom(1000, 4);
    archive.insert(archive.begin(), junk.begin(), junk.end());
    testing::writeWholeFile(dir.file("damaged.zip"), archive);
    testing::writeWholeFile(dir.file("noise.bin"), testing::makeRandom(5000, 5));

    Outcome damaged = salvage(dir, "--list damaged.zip");
    EXPECT_EQ(damaged.status, 0) << damaged.output;
    EXPECT_TRUE(contains(damaged.output, "        1000  ")) << damaged.output;
    for (const char* name : {"  first.txt\n", "  second.txt\n", "  third.txt\n"}) {
        EXPECT_TRUE(contains(damaged.output, name)) << damaged.output;
    }
    EXPECT_TRUE(contains(damaged.output, "  3 files found\n")) << damaged.output;

    // Several archives: each under its name, the worst status, a closing count.
    Outcome both = salvage(dir, "-l damaged.zip noise.bin missing.zip");
    EXPECT_EQ(both.status, 2) << both.output;
    EXPECT_TRUE(contains(both.output, "Archive: noise.bin\n      Offset")) << both.output;
    EXPECT_TRUE(contains(both.output, "No files found in archive.")) << both.output;
    EXPECT_TRUE(contains(both.output, "3 archives: 1 with entries, 1 without, 1 not opened"))
        << both.output;
    EXPECT_EQ(salvage(dir, "-l noise.bin").status, 1);
    EXPECT_EQ(folderNames(dir.path), (std::vector<std::string>{"damaged.zip", "noise.bin"}));
}

}  // namespace
}  // namespace zipsalvage
