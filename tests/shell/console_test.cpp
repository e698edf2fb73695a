// The console program end to end, against archives made by the machine's zip and Python, with
// unzip and Python's zipfile as judges of the output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/password/encrypted_archives.h"
#include "tests/shell/console_run.h"
#include "tests/support/test_files.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::contains;
using testing::Outcome;
using testing::runCommand;
using testing::salvage;
using testing::shellQuote;
using testing::TempDir;

const std::string kProgram = ZIPSALVAGE_BINARY;

// A folder of files of every kind the salvage must keep whole.
void makeSourceTree(const TempDir& dir) {
    runCommand("mkdir -p " + shellQuote(dir.file("src/sub/empty-folder")));
    testing::writeWholeFile(dir.file("src/hello.txt"), std::string("hello, world\n"));
    testing::writeWholeFile(dir.file("src/empty.txt"), Bytes{});
    testing::writeWholeFile(dir.file("src/sub/random.bin"), testing::makeRandom(70000, 1));
    testing::writeWholeFile(dir.file("src/sub/text.txt"), testing::makeText(150000, 2));
    testing::writeWholeFile(dir.file("src/picture.JPG"), testing::makeRandom(5000, 3));
}

// Python's zipfile lists name, size and CRC-32 of every entry, and tests the archive.
std::string pythonListing(const std::string& archive) {
    std::string output;
    int status = runCommand(
        "python3 -c \"import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "bad = z.testzip()\n"
        "assert bad is None, bad\n"
        "for i in z.infolist(): print(i.filename, i.file_size, '%08x' % i.CRC)\" " +
            shellQuote(archive),
        &output);
    return status == 0 ? output : "python3 failed: " + output;
}

class ConsoleEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::haveCommand("zip") || !testing::haveCommand("unzip") ||
            !testing::haveCommand("python3")) {
            GTEST_SKIP() << "zip, unzip and python3 are needed";
        }
        makeSourceTree(dir);
    }
    TempDir dir;
};

TEST_F(ConsoleEndToEnd, IntactStoredArchiveFromZipComesThroughWhole) {
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.file("src")) + " && zip -q -0 -r ../stored.zip ."),
              0);
    Outcome run = salvage(dir, "stored.zip");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "    hello.txt: size = 13:  OK")) << run.output;
    EXPECT_TRUE(contains(run.output, "Salvaged data stored in " + dir.file("Salvaged.zip")));
    std::string test;
    EXPECT_EQ(runCommand("unzip -t " + shellQuote(dir.file("Salvaged.zip")), &test), 0) << test;
    EXPECT_EQ(pythonListing(dir.file("Salvaged.zip")), pythonListing(dir.file("stored.zip")));
}

TEST_F(ConsoleEndToEnd, PythonArchiveWithExtraFieldsAndFolders) {
    std::string script =
        "import zipfile\n"
        "z = zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_STORED)\n"
        "i = zipfile.ZipInfo('with-extra.txt', (2020, 5, 17, 12, 30, 10))\n"
        "i.extra = b'\\x99\\x99\\x04\\x00abcd'\n"
        "z.writestr(i, 'extra field data ' * 20)\n"
        "z.writestr('folder/', '')\n"
        "z.writestr('folder/inside.txt', 'inside')\n"
        "z.close()\n";
    testing::writeWholeFile(dir.file("make.py"), script);
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.path) + " && python3 make.py"), 0);
    Outcome run = salvage(dir, "py.zip");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(pythonListing(dir.file("Salvaged.zip")), pythonListing(dir.file("py.zip")));
    std::string dates;
    runCommand("unzip -Z -T " + shellQuote(dir.file("Salvaged.zip")) + " with-extra.txt", &dates);
    EXPECT_TRUE(contains(dates, "20200517.123010")) << dates;
}

// Damage of several kinds: every entry whose bytes are untouched comes out byte-identical.
TEST_F(ConsoleEndToEnd, DamagedCopiesKeepEveryUntouchedEntry) {
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.file("src")) + " && zip -q -0 -r ../stored.zip ."),
              0);
    Bytes archive = testing::readWholeFile(dir.file("stored.zip"));
    std::vector<testing::ListedEntry> originals;
    std::string problem;
    ASSERT_TRUE(testing::readArchive(archive, originals, problem)) << problem;

    struct Damage {
        std::string name;
        Bytes bytes;
    };
    std::vector<Damage> damages;
    size_t centralStart = 0;
    for (size_t at = 0; at + 4 <= archive.size(); ++at) {
        if (archive[at] == 0x50 && archive[at + 1] == 0x4B && archive[at + 2] == 1 &&
            archive[at + 3] == 2) {
            centralStart = at;
            break;
        }
    }
    ASSERT_GT(centralStart, 0u);
    damages.push_back({"directory cut off",
                       Bytes(archive.begin(), archive.begin() + static_cast<long>(centralStart))});
    Bytes junk = testing::makeRandom(3333, 9);
    junk.insert(junk.end(), archive.begin(), archive.end());
    damages.push_back({"junk prepended", junk});
    Bytes wiped = archive;
    size_t second = 0;
    for (size_t at = 4, seen = 0; at + 4 <= archive.size(); ++at) {
        if (archive[at] == 0x50 && archive[at + 1] == 0x4B && archive[at + 2] == 3 &&
            archive[at + 3] == 4 && ++seen == 2) {
            second = at;
            break;
        }
    }
    ASSERT_GT(second, 0u);
    wiped[second + 1] = 0;
    damages.push_back({"one local header overwritten", wiped});
    for (size_t cut : {archive.size() / 3, archive.size() / 2, archive.size() - 100}) {
        damages.push_back({"truncated at " + std::to_string(cut),
                           Bytes(archive.begin(), archive.begin() + static_cast<long>(cut))});
    }

    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        testing::writeWholeFile(dir.file("damaged.zip"), damage.bytes);
        Outcome run = salvage(dir, "-y damaged.zip");
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.output;
        EXPECT_TRUE(contains(run.output, "Salvage attempt complete")) << run.output;
        std::string test;
        EXPECT_EQ(runCommand("unzip -tq " + shellQuote(dir.file("Salvaged.zip")), &test), 0)
            << test;
        std::vector<testing::ListedEntry> salvaged;
        ASSERT_TRUE(testing::readArchive(testing::readWholeFile(dir.file("Salvaged.zip")), salvaged,
                                         problem))
            << problem;
        // Every original entry whose local record survives untouched must come out whole.
        for (const auto& original : originals) {
            bool untouched =
                std::search(damage.bytes.begin(), damage.bytes.end(), original.localRecord.begin(),
                            original.localRecord.end()) != damage.bytes.end();
            if (!untouched) continue;
            auto found = std::find_if(salvaged.begin(), salvaged.end(), [&](const auto& entry) {
                return entry.name == original.name;
            });
            ASSERT_NE(found, salvaged.end()) << original.name << "\n" << run.output;
            EXPECT_EQ(found->content, original.content) << original.name;
            EXPECT_EQ(found->crc32, original.crc32) << original.name;
        }
        // One thread or several (the default is one per processor): the same log and bytes.
        Bytes onThreads = testing::readWholeFile(dir.file("Salvaged.zip"));
        Outcome single = salvage(dir, "-y --threads 1 damaged.zip");
        EXPECT_EQ(single.status, run.status);
        EXPECT_EQ(single.output, run.output);
        EXPECT_TRUE(testing::readWholeFile(dir.file("Salvaged.zip")) == onThreads);
    }
}

TEST(Console, UsageAndRefusals) {
    TempDir dir;
    EXPECT_EQ(salvage(dir, "").status, 2);
    Outcome unknown = salvage(dir, "--frobnicate x.zip");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.output, "usage: zipsalvage")) << unknown.output;
    EXPECT_EQ(salvage(dir, "--help").status, 0);
    EXPECT_TRUE(contains(salvage(dir, "--version").output, "zipsalvage"));
    for (const char* count : {"0", "257", "-1", "2x", "", "1000"}) {
        Outcome badThreads = salvage(dir, std::string("--threads=") + count + " x.zip");
        EXPECT_EQ(badThreads.status, 2) << count;
        EXPECT_TRUE(contains(badThreads.output, "--threads needs a number from 1 to 256"))
            << badThreads.output;
    }

    Outcome missing = salvage(dir, "missing.zip");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(contains(missing.output, "File Error: Unable to open missing.zip"))
        << missing.output;

    // A folder says it is one; a FIFO with no writer is refused at once, never waited on.
    runCommand("mkdir " + shellQuote(dir.file("folder.zip")) + " && mkfifo " +
               shellQuote(dir.file("fifo.zip")));
    Outcome folder = salvage(dir, "folder.zip");
    EXPECT_EQ(folder.status, 2);
    EXPECT_TRUE(contains(folder.output, "Unable to open folder.zip: Is a directory"))
        << folder.output;
    Outcome fifo = salvage(dir, "fifo.zip", "timeout 20");
    EXPECT_EQ(fifo.status, 2) << fifo.output;
    EXPECT_TRUE(contains(fifo.output, "Unable to open fifo.zip: it cannot be read twice"))
        << fifo.output;
    runCommand("rmdir " + shellQuote(dir.file("folder.zip")) + " && rm " +
               shellQuote(dir.file("fifo.zip")));

    Bytes archive = testing::buildArchive({{"a.txt", Bytes{'a'}}});
    testing::writeWholeFile(dir.file("a.zip"), archive);
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    testing::writeWholeFile(dir.file("r.json"), std::string("earlier report\n"));
    Outcome declined = salvage(dir, "--report=r.json a.zip");
    EXPECT_EQ(declined.status, 2) << "without a terminal the overwrite question is answered No";
    EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(testing::readText(dir.file("r.json")), "earlier report\n") << "no run, no report";
    EXPECT_EQ(testing::folderNames(dir.path).size(), 3u) << "no partial report is left";
    EXPECT_EQ(salvage(dir, "--yes a.zip").status, 0);

    // The archive itself, by another name: refused before anything is touched.
    ASSERT_EQ(::symlink(dir.file("a.zip").c_str(), dir.file("link.zip").c_str()), 0);
    Outcome same = salvage(dir, "-y -o link.zip a.zip");
    EXPECT_EQ(same.status, 2);
    EXPECT_TRUE(contains(same.output, "File Error: Unable to create link.zip")) << same.output;
    EXPECT_EQ(testing::readWholeFile(dir.file("a.zip")), archive);

    // No Zip entry at all (a picture, a program, an empty file): nothing is written, an
    // earlier output stays even under -y, and the report's summary names no output.
    testing::writeWholeFile(dir.file("picture.png"), testing::makeRandom(1000, 4));
    testing::writeWholeFile(dir.file("empty.zip"), Bytes{});
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    // (A system program: this program's own code holds the signature's bytes as constants.)
    for (const char* input : {"picture.png", "empty.zip", "/bin/true"}) {
        Outcome nothing = salvage(dir, std::string("-y --report=r.json ") + shellQuote(input));
        EXPECT_EQ(nothing.status, 1) << "nothing found is not a whole salvage";
        EXPECT_TRUE(contains(nothing.output, "No files found in archive.")) << nothing.output;
        EXPECT_TRUE(contains(nothing.output, "No Zip entries were found in")) << nothing.output;
        EXPECT_FALSE(contains(nothing.output, "Salvaged data stored in")) << nothing.output;
        EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")), Bytes({'o', 'l', 'd'}));
        EXPECT_TRUE(contains(testing::readText(dir.file("r.json")), "\"output\":null,\"found\":0"))
            << testing::readText(dir.file("r.json"));
    }
}

TEST(Console, NamesAreShownInTheEncodingTheOutputRecords) {
    TempDir dir;
    std::string raw = "caf\x82.txt";  // CP437 0x82 is e-acute; not UTF-8
    // UTF-8, with an escape sequence and the one-character CSI (U+009B) a terminal would obey.
    std::string utf8 = "na\xC3\xAFve\x1B[2J\xC2\x9B.txt";
    testing::writeWholeFile(dir.file("n.zip"),
                            testing::buildArchive({{raw, Bytes{'x'}}, {utf8, Bytes{'y'}}}));
    Outcome run = salvage(dir, "n.zip");
    EXPECT_TRUE(contains(run.output, "    caf\xC3\xA9.txt: size = 1:  OK")) << run.output;
    EXPECT_TRUE(contains(run.output, "    na\xC3\xAFve?[2J?.txt: size = 1:  OK")) << run.output;
    std::vector<testing::ListedEntry> listed;
    std::string problem;
    ASSERT_TRUE(
        testing::readArchive(testing::readWholeFile(dir.file("Salvaged.zip")), listed, problem));
    EXPECT_EQ(listed[0].name, raw) << "names inside the archive stay the raw bytes";
    EXPECT_EQ(listed[1].name, utf8);
}

// Each refusal says why, and what would help.
TEST(ConsoleMessages, RefusalsSayWhyAndWhatHelps) {
    TempDir dir;
    Bytes archive = testing::buildArchive({{"a.txt", Bytes{'a'}}});
    testing::writeWholeFile(dir.file("a.zip"), archive);

    Outcome missing = salvage(dir, "missing.zip");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(contains(missing.output, "Unable to open missing.zip: No such file or directory"))
        << missing.output;

    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    Outcome exists = salvage(dir, "a.zip");
    EXPECT_EQ(exists.status, 2);
    EXPECT_TRUE(contains(exists.output, "give -y to replace it, or -o")) << exists.output;

    Outcome noFolder = salvage(dir, "-o no/such/folder.zip a.zip");
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_TRUE(
        contains(noFolder.output, "Unable to create no/such/folder.zip: No such file or directory"))
        << noFolder.output;

    testing::writeWholeFile(dir.file("Salvaged.zip"), archive);
    Outcome itself = salvage(dir, "Salvaged.zip");
    EXPECT_EQ(itself.status, 2);
    EXPECT_TRUE(contains(itself.output, "it is the damaged archive itself")) << itself.output;
    EXPECT_TRUE(contains(itself.output, "give -o to write the salvage elsewhere")) << itself.output;

    // Stepping back after an entry is impossible in a pipe: the entries after it would be lost.
    Outcome fromPipe = [&] {
        Outcome outcome;
        outcome.status = testing::runCommand("cd " + shellQuote(dir.path) + " && cat a.zip | " +
                                                 shellQuote(kProgram) + " -o p.zip /dev/stdin",
                                             &outcome.output);
        return outcome;
    }();
    EXPECT_EQ(fromPipe.status, 2);
    EXPECT_TRUE(contains(fromPipe.output, "it cannot be read twice")) << fromPipe.output;
    EXPECT_FALSE(testing::pathExists(dir.file("p.zip")));
}

TEST(ConsoleMessages, WithoutATerminalTheHintAboutPasswordsFitsWhatWasGiven) {
    TempDir dir;
    Bytes archive = testing::handMadeEncryptedEntry("locked.txt", Bytes{'x', 'y'}, "right");
    testing::writeWholeFile(dir.file("e.zip"), archive);
    Outcome none = salvage(dir, "-y e.zip");
    EXPECT_TRUE(contains(none.output, "give them with -p")) << none.output;
    Outcome wrong = salvage(dir, "-y -p wrong e.zip");
    EXPECT_FALSE(contains(wrong.output, "give them with -p")) << wrong.output;
    EXPECT_TRUE(contains(wrong.output, "no password given with -p opens")) << wrong.output;
    EXPECT_EQ(wrong.status, 1);

    // The right password opens an entry whose data is damaged: the entry is kept with what
    // that password decrypted, so nothing may say that no password opens it.
    Bytes damaged =
        testing::handMadeEncryptedEntry("locked.txt", testing::makeText(900, 3), "right");
    damaged.resize(damaged.size() - 300);
    testing::writeWholeFile(dir.file("d.zip"), damaged);
    Outcome opened = salvage(dir, "-y -p wrong -p right d.zip");
    EXPECT_EQ(opened.status, 1) << opened.output;
    EXPECT_FALSE(contains(opened.output, "no password given with -p opens")) << opened.output;
    EXPECT_FALSE(contains(opened.output, "Cannot decrypt")) << opened.output;
}

// Traditional encryption has no length limit; a long password used to be cut to 39 bytes.
TEST(ConsoleOptions, LongPasswordsAndLongOptionsWithValues) {
    if (!testing::haveCommand("zip")) GTEST_SKIP() << "zip is needed";
    TempDir dir;
    const std::string password(45, 'k');
    testing::writeWholeFile(dir.file("plain.txt"), testing::makeText(4000, 7));
    ASSERT_EQ(testing::runCommand("cd " + shellQuote(dir.path) + " && zip -q -P " + password +
                                  " long.zip plain.txt"),
              0);
    Outcome shortForm = salvage(dir, "-y -p " + password + " long.zip");
    EXPECT_EQ(shortForm.status, 0) << shortForm.output;
    Outcome longForm = salvage(dir, "--password=" + password + " --output=out.zip long.zip");
    EXPECT_EQ(longForm.status, 0) << longForm.output;
    std::vector<testing::ListedEntry> listed;
    std::string problem;
    ASSERT_TRUE(testing::readArchive(testing::readWholeFile(dir.file("out.zip")), listed, problem));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].content, testing::makeText(4000, 7));

    std::string help = salvage(dir, "--help").output;
    for (const char* option : {"--output=PATH", "--password=TEXT", "--report", "--quiet"}) {
        EXPECT_TRUE(contains(help, option)) << option;
    }
}

// GNU conventions: "-qy", "-oOUT.zip", "-pSECRET", "--" before an archive named like an option;
// an empty argument is named as the problem.
TEST(ConsoleOptions, ShortOptionsCombineAndTakeTheirValueAttached) {
    TempDir dir;
    testing::writeWholeFile(dir.file("-x.zip"),
                            testing::handMadeEncryptedEntry("locked.txt", Bytes{'x'}, "secret"));
    testing::writeWholeFile(dir.file("out.zip"), std::string("old"));
    Outcome run = salvage(dir, "-qy -oout.zip -psecret -- -x.zip");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(contains(run.output, "locked.txt: size")) << "-q was taken: " << run.output;
    std::vector<testing::ListedEntry> listed;
    std::string problem;
    ASSERT_TRUE(testing::readArchive(testing::readWholeFile(dir.file("out.zip")), listed, problem))
        << problem;
    EXPECT_EQ(listed[0].content, Bytes{'x'});

    Outcome asOption = salvage(dir, "-y -x.zip");
    EXPECT_EQ(asOption.status, 2);
    EXPECT_TRUE(contains(asOption.output, "unknown option -x")) << asOption.output;
    Outcome empty = salvage(dir, "-y ''");
    EXPECT_EQ(empty.status, 2);
    EXPECT_TRUE(contains(empty.output, "an empty argument")) << empty.output;
    Outcome noValue = salvage(dir, "-yo");
    EXPECT_TRUE(contains(noValue.output, "option -o needs a value")) << noValue.output;
    EXPECT_TRUE(contains(salvage(dir, "-l -o x.zip a.zip").output, "--list writes no output"));
}

TEST(ConsoleOptions, QuietKeepsProblemsAndTheSummaryAndTheReportJudgesEachEntry) {
    if (!testing::haveCommand("python3")) GTEST_SKIP() << "python3 is needed";
    TempDir dir;
    Bytes archive = testing::buildArchive({{"whole.txt", testing::makeText(500, 1)}});
    Bytes cut = testing::localRecord({"cut.txt", testing::makeText(900, 2)});
    cut.resize(cut.size() - 400);  // the archive ends inside the entry's data
    archive.insert(archive.end(), cut.begin(), cut.end());
    testing::writeWholeFile(dir.file("d.zip"), archive);

    Outcome run = salvage(dir, "-q --report=r.json d.zip");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(contains(run.output, "whole.txt: size")) << run.output;
    EXPECT_FALSE(contains(run.output, "Beginning salvage")) << run.output;
    EXPECT_TRUE(contains(run.output, "cut.txt")) << run.output;
    EXPECT_TRUE(contains(run.output, "  2 files found")) << run.output;

    std::string fields;
    ASSERT_EQ(testing::runCommand(
                  "python3 -c \"import json, sys\n"
                  "for line in open(sys.argv[1]):\n"
                  "  e = json.loads(line)\n"
                  "  if 'summary' in e: e = e['summary']; print(e['archive'], e['found'], "
                  "e['whole'], e['partial'] + e['lost'], e['exitStatus']); continue\n"
                  "  print(e['name'], e['method'], e['recordedSize'], e['recoveredBytes'], "
                  "e['written'], e['verdict'])\" " +
                      shellQuote(dir.file("r.json")),
                  &fields),
              0)
        << fields;
    // How much of a cut stored entry is kept is the stored method's business; the report
    // must agree with the log either way: damaged, written, and not whole.
    EXPECT_TRUE(contains(fields, "whole.txt 0 500 500 True whole\ncut.txt 0 900 ")) << fields;
    EXPECT_TRUE(contains(fields, " True unrecoverable\n") || contains(fields, " True partial\n"))
        << fields;
    // The last line sums the records up, as the log's summary and the exit status do.
    EXPECT_EQ(fields.rfind("\nd.zip 2 1 1 1\n"), fields.size() - 15) << fields;
}

// Names flagged UTF-8 beside names in the old code page, while entries wait for the encoder
// threads: every report shows each name in its own entry's encoding.
TEST(ConsoleReport, IsByteIdenticalForEveryThreadCount) {
    TempDir dir;
    std::vector<testing::TestEntry> entries;
    for (int round = 0; round < 12; ++round) {
        std::string tag = std::to_string(round);
        testing::TestEntry flagged{
            "Pr\xC3\xBC"
            "fung-utf8-" +
                tag,
            testing::makeText(20000, round)};
        flagged.flags = 0x0800;
        entries.push_back(flagged);
        entries.push_back(
            {"Pr\x81"
             "fung-cp437-" +
                 tag,
             testing::makeText(20000, round + 50)});
    }
    testing::writeWholeFile(dir.file("m.zip"), testing::buildArchive(entries));
    ASSERT_EQ(salvage(dir, "-qy --threads=1 --report=one.json m.zip").status, 0);
    ASSERT_EQ(salvage(dir, "-qy --threads=3 --report=three.json m.zip").status, 0);
    std::string one = testing::readText(dir.file("one.json"));
    EXPECT_EQ(testing::readText(dir.file("three.json")), one);
    EXPECT_TRUE(contains(one,
                         "\"name\":\"Pr\xC3\xBC"
                         "fung-cp437-11\""))
        << one;
    EXPECT_TRUE(contains(one,
                         "\"name\":\"Pr\xC3\xBC"
                         "fung-utf8-11\""))
        << one;
}

}  // namespace
}  // namespace zipsalvage
