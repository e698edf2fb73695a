// The built program over archives written by 7-Zip, deflate and Deflate64, whose encoder reaches
// back the whole window (zlib stops at 32506): text, machine code, already-compressed data and
// long repeats must come out byte-identical. Skips with a message when 7z is not installed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/little_endian.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/inflate/source_folder.h"

namespace zipsalvage::testing {
namespace {

constexpr size_t kLargestBinary = 1u << 20;

std::vector<SourceFile> sourceFiles() {
    std::vector<SourceFile> files;
    files.push_back({"text.txt", makeText(700000, 71)});
    files.push_back({"random.bin", makeRandom(200000, 72)});
    files.push_back({"compressed.deflate", zlibDeflate(makeText(900000, 73), 9)});
    files.push_back({"zeros.bin", Bytes(300000, 0)});
    // The same random block three times: its copies lie exactly one window back.
    Bytes unit = makeRandom(32768, 74);
    Bytes repeats;
    for (int copy = 0; copy < 3; ++copy) repeats.insert(repeats.end(), unit.begin(), unit.end());
    files.push_back({"repeats.bin", repeats});
    // Machine code, cut to a few MiB; the programs here exist on every machine that builds us.
    for (const char* program : {"/usr/bin/bash", "/usr/bin/cmake", "/usr/bin/python3"}) {
        if (!pathExists(program)) continue;
        Bytes bytes = readWholeFile(program);
        if (bytes.size() > kLargestBinary) bytes.resize(kLargestBinary);
        std::string name = program;
        files.push_back({name.substr(name.rfind('/') + 1) + ".bin", bytes});
    }
    return files;
}

struct Fixture : SourceFolder {
    Fixture() : SourceFolder(sourceFiles()) {}
    // Writes an archive with 7z and `switches`; false when 7z failed.
    bool make7z(const std::string& archive, const std::string& switches) const {
        std::string log;
        int status = runCommand("cd " + shellQuote(dir.file("in")) + " && 7z a -tzip " + switches +
                                    " " + shellQuote(archive) + names(),
                                &log);
        if (status != 0) ADD_FAILURE() << log;
        return status == 0;
    }
};

// How many local headers (APPNOTE 4.3.7) name `method`.
int countMethod(const Bytes& archive, uint16_t method) {
    int count = 0;
    for (size_t at = 0; at + 30 <= archive.size(); ++at) {
        if (loadLE32(archive.data() + at) == 0x04034b50u &&
            loadLE16(archive.data() + at + 8) == method)
            ++count;
    }
    return count;
}

bool haveTools() { return haveCommand("7z") && haveCommand("unzip"); }

// Salvages `archive` and expects every file back whole: exit 0, and unzip (which checks each
// CRC-32) extracts the original bytes.
void expectAllWhole(const Fixture& fixture, const std::string& archive) {
    SCOPED_TRACE(archive);
    std::string output = fixture.dir.file("Salvaged.zip");
    std::string extracted = fixture.dir.file("out");
    runCommand("rm -rf " + shellQuote(output) + " " + shellQuote(extracted));
    std::string log;
    int status = runCommand(
        std::string(ZIPSALVAGE_BINARY) + " -y -o " + shellQuote(output) + " " + shellQuote(archive),
        &log, false);
    EXPECT_EQ(status, 0) << log;
    std::string unzipLog;
    ASSERT_EQ(
        runCommand("unzip -qo " + shellQuote(output) + " -d " + shellQuote(extracted), &unzipLog),
        0)
        << unzipLog;
    for (const SourceFile& file : fixture.files) {
        std::string path = extracted + "/" + file.name;
        ASSERT_TRUE(pathExists(path)) << file.name << " is missing\n" << log;
        EXPECT_TRUE(readWholeFile(path) == file.bytes) << file.name << " differs\n" << log;
    }
}

TEST(Salvage7z, DeflatedArchivesComeThroughByteIdentical) {
    if (!haveTools()) GTEST_SKIP() << "7z or unzip is not installed (package p7zip-full)";
    Fixture fixture;
    for (const char* level : {"-mx=5", "-mx=9"}) {
        std::string archive = fixture.dir.file(std::string("7z") + level + ".zip");
        ASSERT_TRUE(fixture.make7z(archive, std::string("-mm=Deflate ") + level));
        expectAllWhole(fixture, archive);
    }
}

// Deflate64 (method 9) entries decode with the 64 KiB window and come out re-encoded as deflate.
TEST(Salvage7z, Deflate64ArchivesComeThroughByteIdentical) {
    if (!haveTools()) GTEST_SKIP() << "7z or unzip is not installed (package p7zip-full)";
    Fixture fixture;
    std::string archive = fixture.dir.file("deflate64.zip");
    ASSERT_TRUE(fixture.make7z(archive, "-mm=Deflate64 -mx=9"));
    EXPECT_GE(countMethod(readWholeFile(archive), 9), 5) << "7z wrote no Deflate64 entries";
    expectAllWhole(fixture, archive);
    // Decoded and re-encoded, not copied as they were.
    Bytes salvaged = readWholeFile(fixture.dir.file("Salvaged.zip"));
    EXPECT_EQ(countMethod(salvaged, 9), 0);
    EXPECT_GE(countMethod(salvaged, 8), 5);
}

}  // namespace
}  // namespace zipsalvage::testing
