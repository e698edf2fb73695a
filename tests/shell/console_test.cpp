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

#include "tests/support/test_files.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::runCommand;
using testing::shellQuote;
using testing::TempDir;

const std::string kProgram = ZIPSALVAGE_BINARY;

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs zipsalvage with `arguments` in `dir`, no terminal on stdin.
Outcome salvage(const TempDir& dir, const std::string& arguments) {
    Outcome outcome;
    outcome.status = runCommand("cd " + shellQuote(dir.path) + " && " + shellQuote(kProgram) + " " +
                                    arguments + " </dev/null",
                                &outcome.output);
    return outcome;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

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

    Outcome missing = salvage(dir, "missing.zip");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(contains(missing.output, "File Error: Unable to open missing.zip"))
        << missing.output;

    Bytes archive = testing::buildArchive({{"a.txt", Bytes{'a'}}});
    testing::writeWholeFile(dir.file("a.zip"), archive);
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    Outcome declined = salvage(dir, "a.zip");
    EXPECT_EQ(declined.status, 2) << "without a terminal the overwrite question is answered No";
    EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(salvage(dir, "--yes a.zip").status, 0);

    // The archive itself, by another name: refused before anything is touched.
    ASSERT_EQ(::symlink(dir.file("a.zip").c_str(), dir.file("link.zip").c_str()), 0);
    Outcome same = salvage(dir, "-y -o link.zip a.zip");
    EXPECT_EQ(same.status, 2);
    EXPECT_TRUE(contains(same.output, "File Error: Unable to create link.zip")) << same.output;
    EXPECT_EQ(testing::readWholeFile(dir.file("a.zip")), archive);

    Outcome garbage = [&] {
        testing::writeWholeFile(dir.file("garbage.zip"), testing::makeRandom(1000, 4));
        return salvage(dir, "-y -o g.zip garbage.zip");
    }();
    EXPECT_EQ(garbage.status, 1) << "nothing found is not a whole salvage";
    EXPECT_TRUE(contains(garbage.output, "No files found in archive."));
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

TEST(Console, InterruptCancelsAndRemovesTheOutput) {
    TempDir dir;
    std::string fifo = dir.file("slow.zip");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::chdir(dir.path.c_str());
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(kProgram.c_str(), kProgram.c_str(), "slow.zip", static_cast<char*>(nullptr));
        ::_exit(99);
    }
    // Feed an entry that never ends: the worker is inside it when the interrupt arrives.
    int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    Bytes record = testing::localRecord(
        {"endless.bin", testing::makeRandom(100, 5), 0, 0, 0, 0, {}, 50000000});
    record.resize(record.size() - 100);
    ASSERT_EQ(::write(writer, record.data(), record.size()), static_cast<ssize_t>(record.size()));
    Bytes chunk = testing::makeRandom(65536, 6);
    for (int round = 0; round < 20; ++round) {
        ASSERT_GT(::write(writer, chunk.data(), chunk.size()), 0);
    }
    for (int tries = 0; tries < 100 && !testing::pathExists(dir.file("Salvaged.zip")); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGINT);
    // Keep the pipe flowing so that the stopped worker is not stuck in a read.
    ::signal(SIGPIPE, SIG_IGN);
    for (int round = 0; round < 50 && ::write(writer, chunk.data(), chunk.size()) > 0; ++round) {
    }
    ::close(writer);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_FALSE(testing::pathExists(dir.file("Salvaged.zip")));
}

}  // namespace
}  // namespace zipsalvage
