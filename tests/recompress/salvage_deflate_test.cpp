// End to end: the built program salvages an intact stored archive into Salvaged.zip, deflating
// what the name and size rules send to deflate; unzip and Python's zipfile check the result.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

struct Member {
    std::string name;
    Bytes bytes;
    int method;  // expected in Salvaged.zip
};

TEST(SalvageDeflate, IntactStoredArchiveComesOutDeflatedByTheRules) {
    if (!haveCommand("zip") || !haveCommand("unzip") || !haveCommand("python3")) {
        GTEST_SKIP() << "zip, unzip or python3 missing";
    }
    TempDir folder;
    std::vector<Member> members = {
        {"notes.txt", makeText(5000, 1), 8},    {"hundred.txt", makeText(100, 2), 8},
        {"ninetynine.txt", makeText(99, 3), 0}, {"empty.txt", {}, 0},
        {"photo.JPG", makeText(5000, 4), 0},    {"bundle.Zip", makeText(5000, 5), 0},
        {"bundle.zipx", makeText(3000, 6), 8},  {"noise.bin", makeRandom(200000, 7), 8},
        {"big.log", makeText(700000, 8), 8},
    };
    std::string names;
    for (const Member& member : members) {
        writeWholeFile(folder.file(member.name), member.bytes);
        names += " " + shellQuote(member.name);
    }
    std::string output;
    ASSERT_EQ(runCommand("cd " + shellQuote(folder.path) + " && zip -q -0 -X archive.zip" + names,
                         &output),
              0)
        << output;

    std::string salvaged = folder.file("Salvaged.zip");
    output.clear();
    EXPECT_EQ(runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " + shellQuote(salvaged) + " " +
                             shellQuote(folder.file("archive.zip")),
                         &output),
              0)
        << output;

    output.clear();
    EXPECT_EQ(runCommand("unzip -t " + shellQuote(salvaged), &output), 0) << output;

    // name, method and CRC-32 of every entry, and whether zipfile's own check passes.
    std::string script =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "print('test', z.testzip())\n"
        "for i in z.infolist(): print(i.filename, i.compress_type, i.CRC, len(z.read(i)))\n";
    writeWholeFile(folder.file("list.py"), script);
    output.clear();
    ASSERT_EQ(
        runCommand("python3 " + shellQuote(folder.file("list.py")) + " " + shellQuote(salvaged),
                   &output, false),
        0)
        << output;
    std::istringstream lines(output);
    std::string word, result;
    lines >> word >> result;
    EXPECT_EQ(result, "None") << "zipfile found a bad entry";
    std::map<std::string, std::vector<uint64_t>> found;
    std::string name;
    uint64_t method = 0, crc = 0, size = 0;
    while (lines >> name >> method >> crc >> size) found[name] = {method, crc, size};
    ASSERT_EQ(found.size(), members.size());
    for (const Member& member : members) {
        SCOPED_TRACE(member.name);
        ASSERT_EQ(found.count(member.name), 1u);
        EXPECT_EQ(found[member.name][0], static_cast<uint64_t>(member.method));
        EXPECT_EQ(found[member.name][1], crc32Of(member.bytes));
        EXPECT_EQ(found[member.name][2], member.bytes.size());
    }
}

}  // namespace
}  // namespace zipsalvage::testing
