// The built program over intact archives that zip, Python's zipfile and 7z make at test time:
// what their readers show first (names, modes, links, comments, entries in methods zipsalvage
// decodes through outside libraries) must come back as the writer meant it. unzip and Python
// are the judges.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

// Python lists an archive: one line per entry "name|mode|content length|CRC-32 of the content
// read back", then "comment|<archive comment>". Content is read through zipfile, so a stored,
// deflated, bzip2 or LZMA entry must decode.
constexpr const char* kListScript = R"(
import sys, zipfile, zlib
with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        data = archive.read(info)
        print('%s|%o|%d|%08x' % (info.filename, info.external_attr >> 16, len(data),
                                 zlib.crc32(data)))
    print('comment|' + archive.comment.decode('utf-8', 'replace'))
)";

struct Workshop {
    TempDir dir;
    std::string log;

    int run(const std::string& command, std::string* output = nullptr) const {
        return runCommand("cd " + shellQuote(dir.path) + " && " + command, output);
    }
    // Salvages `archive` into out.zip; the program's exit status.
    int salvage(const std::string& archive) {
        log.clear();
        return runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " +
                              shellQuote(dir.file("out.zip")) + " " + shellQuote(dir.file(archive)),
                          &log, false);
    }
    std::string pythonList(const std::string& archive) const {
        writeWholeFile(dir.file("list.py"), std::string(kListScript));
        std::string output;
        EXPECT_EQ(run("python3 list.py " + shellQuote(archive), &output), 0) << output;
        return output;
    }
    std::string unzipNames(const std::string& archive) const {
        std::string output;
        EXPECT_EQ(run("LC_ALL=C.UTF-8 unzip -Z1 " + shellQuote(archive), &output), 0) << output;
        return output;
    }
};

bool haveTools() { return haveCommand("zip") && haveCommand("unzip") && haveCommand("python3"); }

#define REQUIRE_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is missing"

TEST(OtherWriters, PythonUtf8NamesReadBackAsWritten) {
    REQUIRE_TOOLS();
    Workshop shop;
    writeWholeFile(shop.dir.file("make.py"), std::string(R"(
import zipfile
with zipfile.ZipFile('in.zip', 'w', zipfile.ZIP_DEFLATED) as archive:
    archive.writestr('Résumé.txt', 'curriculum vitae ' * 20)
    archive.writestr('日本/データ.txt', 'nihon ' * 30)
    archive.writestr('plain.txt', 'ascii only')
)"));
    ASSERT_EQ(shop.run("python3 make.py"), 0);
    EXPECT_EQ(shop.salvage("in.zip"), 0) << shop.log;
    EXPECT_NE(shop.log.find("    Résumé.txt: size = 340:  OK"), std::string::npos) << shop.log;
    EXPECT_EQ(shop.pythonList("out.zip"), shop.pythonList("in.zip"));
    EXPECT_EQ(shop.unzipNames("out.zip"), "Résumé.txt\n日本/データ.txt\nplain.txt\n");
}

TEST(OtherWriters, ZipInAUtf8LocaleKeepsNamesModesLinksAndComments) {
    REQUIRE_TOOLS();
    Workshop shop;
    ASSERT_EQ(shop.run("mkdir -p tree/señal && printf '#!/bin/sh\\necho hi\\n' > tree/run.sh && "
                       "chmod 755 tree/run.sh && printf 'private' > tree/señal/clé.txt && "
                       "chmod 600 tree/señal/clé.txt && ln -s run.sh tree/latest && "
                       "LC_ALL=C.UTF-8 zip -q -y -r in.zip tree && "
                       "printf 'made for the salvage test\\n' | zip -q -z in.zip"),
              0);
    EXPECT_EQ(shop.salvage("in.zip"), 0) << shop.log;
    // Python reads the input's names as CP437 (zip sets no flag), the output's as UTF-8.
    std::string listed = shop.pythonList("out.zip");
    EXPECT_NE(listed.find("tree/run.sh|100755|"), std::string::npos) << listed;
    EXPECT_NE(listed.find("tree/señal/clé.txt|100600|7|"), std::string::npos) << listed;
    EXPECT_NE(listed.find("tree/latest|120777|6|"), std::string::npos) << listed;  // "run.sh"
    EXPECT_NE(listed.find("comment|made for the salvage test"), std::string::npos) << listed;
    EXPECT_EQ(shop.unzipNames("out.zip"), shop.unzipNames("in.zip"));
    // unzip recreates the link and the modes from what the output records.
    std::string extracted;
    ASSERT_EQ(shop.run("mkdir x && cd x && unzip -q ../out.zip && stat -c '%A %n' tree/run.sh "
                       "tree/señal/clé.txt && readlink tree/latest",
                       &extracted),
              0)
        << extracted;
    EXPECT_EQ(extracted, "-rwxr-xr-x tree/run.sh\n-rw------- tree/señal/clé.txt\nrun.sh\n");
}

TEST(OtherWriters, Bzip2EntriesDecodeAndACutOneIsDamage) {
    REQUIRE_TOOLS();
    Workshop shop;
    writeWholeFile(shop.dir.file("text.txt"), makeText(50000, 70));
    writeWholeFile(shop.dir.file("notes.txt"), makeText(30000, 71));
    std::string output;
    if (shop.run("zip -q -Z bzip2 in.zip text.txt notes.txt", &output) != 0)
        GTEST_SKIP() << "this zip cannot write bzip2: " << output;
    EXPECT_EQ(shop.salvage("in.zip"), 0) << shop.log;
    EXPECT_NE(shop.log.find("    text.txt: size = 50000:  OK"), std::string::npos) << shop.log;
    EXPECT_EQ(shop.log.find("WARNING"), std::string::npos) << shop.log;
    EXPECT_EQ(shop.pythonList("out.zip"), shop.pythonList("in.zip"));
    ASSERT_EQ(shop.run("unzip -tq out.zip", &output), 0) << output;

    // Cut inside the second entry's data, before its first block ends: nothing of it decodes,
    // and it is damage, not a copy; the first is still whole.
    Bytes archive = readWholeFile(shop.dir.file("in.zip"));
    size_t notesAt = 0;
    for (size_t at = archive.size() - 4; at > 0; --at) {
        if (archive[at] == 'P' && archive[at + 1] == 'K' && archive[at + 2] == 3 &&
            archive[at + 3] == 4) {
            notesAt = at;
            break;
        }
    }
    ASSERT_GT(notesAt, 0u);
    archive.resize(notesAt + 30 + 9 + 100);
    writeWholeFile(shop.dir.file("cut.zip"), archive);
    EXPECT_EQ(shop.salvage("cut.zip"), 1) << shop.log;
    EXPECT_NE(shop.log.find("ERROR: File notes.txt is corrupt.  Salvaged 0 of 30000"),
              std::string::npos)
        << shop.log;
    std::string listed = shop.pythonList("out.zip");
    EXPECT_NE(listed.find("text.txt|0|50000|"), std::string::npos) << listed;
}

TEST(OtherWriters, SevenZipLzmaEntriesDecode) {
    if (!haveCommand("7z") || !haveCommand("python3"))
        GTEST_SKIP() << "7z (p7zip-full) or python3 is missing";
    Workshop shop;
    Bytes text = makeText(80000, 72);
    writeWholeFile(shop.dir.file("text.txt"), text);
    std::string output;
    ASSERT_EQ(shop.run("7z a -tzip -mm=LZMA in.zip text.txt", &output), 0) << output;
    EXPECT_EQ(shop.salvage("in.zip"), 0) << shop.log;
    EXPECT_NE(shop.log.find("    text.txt: size = 80000:  OK"), std::string::npos) << shop.log;
    EXPECT_EQ(shop.pythonList("out.zip"), shop.pythonList("in.zip"));
    std::string content;
    ASSERT_EQ(runCommand("7z e -so " + shellQuote(shop.dir.file("out.zip")) + " text.txt", &content,
                         false),
              0);
    EXPECT_TRUE(Bytes(content.begin(), content.end()) == text);
}

// Archives of other writers kept in the shared test data: an encrypted empty folder without
// its encryption header (archiver's zip20) takes nothing of the next entry, streamed bzip2
// entries (IO::Compress::Zip) are decoded whole, and streamed AES entries (archiver, zip.js)
// are decrypted whole, or, in a build without AES, all kept with their sizes from the
// directory, and never called whole.
TEST(OtherWriters, SharedArchivesOfStreamingWritersKeepEveryEntry) {
    std::string data = sharedTestdataDir();
    if (data.empty()) GTEST_SKIP() << "no shared test data (../shared/testdata): nothing to check";
    if (!haveCommand("unzip")) GTEST_SKIP() << "unzip is missing";
    struct Case {
        const char* file;
        int status;
    };
    for (const Case& which : {Case{"archiver-zip20.zip", 0}, Case{"iozip-bzip2.zip", 0},
                              Case{"archiver-aes256.zip", ZIPSALVAGE_HAVE_AES ? 0 : 1},
                              Case{"zipjs-aes.zip", ZIPSALVAGE_HAVE_AES ? 0 : 1}}) {
        Workshop shop;
        std::string archive = data + "/writers/" + which.file;
        if (!pathExists(archive)) GTEST_SKIP() << archive << " is missing";
        EXPECT_EQ(runCommand(std::string(ZIPSALVAGE_BINARY) + " -q -y -p s3cret-pw -o " +
                                 shellQuote(shop.dir.file("out.zip")) + " " + shellQuote(archive),
                             &shop.log, false),
                  which.status)
            << which.file << "\n"
            << shop.log;
        EXPECT_EQ(shop.log.find("ERROR"), std::string::npos) << which.file << "\n" << shop.log;
        EXPECT_EQ(shop.unzipNames("out.zip"), shop.unzipNames(archive)) << which.file;
    }
}

}  // namespace
}  // namespace zipsalvage::testing
