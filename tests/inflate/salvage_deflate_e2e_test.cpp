// The built program over deflated archives made at test time by zip and Python's zipfile:
// intact archives come through whole and byte-identical; damaged copies keep every untouched
// entry whole and the decodable prefix of the damaged one.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "extract/huffman_decoders.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/inflate/source_folder.h"

namespace zipsalvage::testing {
namespace {

std::vector<SourceFile> sourceFiles() {
    std::vector<SourceFile> files;
    files.push_back({"empty.txt", {}});
    files.push_back({"one.txt", {'1'}});
    files.push_back({"short.txt", makeText(100, 31)});
    files.push_back({"random.bin", makeRandom(70000, 32)});
    Bytes mixed = makeText(400000, 33);
    Bytes noise = makeRandom(100000, 34);
    mixed.insert(mixed.begin() + 200000, noise.begin(), noise.end());
    files.push_back({"mixed.dat", mixed});
    for (int index = 0; index < 12; ++index) {
        files.push_back({"text" + std::to_string(index) + ".txt",
                         makeText(static_cast<size_t>(1000 + index * 9000), 40 + index)});
    }
    files.push_back({"zeros.bin", Bytes(200000, 0)});
    files.push_back({"big.txt", makeText(3 << 20, 35)});  // last: truncation cuts into it
    return files;
}

struct Fixture : SourceFolder {
    Fixture() : SourceFolder(sourceFiles()) {}
};

bool haveTools() { return haveCommand("zip") && haveCommand("unzip") && haveCommand("python3"); }

struct SalvageResult {
    int status = -1;
    std::string log;
    std::map<std::string, Bytes> entries;  // as unzip extracts them from the output
};

// The salvage of `archive`, its entries as unzip extracts them; with `report`, --report to it.
SalvageResult salvage(const Fixture& fixture, const std::string& archive,
                      const std::string& report = "") {
    SalvageResult result;
    std::string output = fixture.dir.file("Salvaged.zip");
    runCommand("rm -rf " + shellQuote(output) + " " + shellQuote(fixture.dir.file("out")));
    std::string reportOption = report.empty() ? "" : " --report " + shellQuote(report);
    result.status = runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " + shellQuote(output) +
                                   reportOption + " " + shellQuote(archive),
                               &result.log, false);
    std::string unzipLog;
    EXPECT_EQ(
        runCommand("unzip -qo " + shellQuote(output) + " -d " + shellQuote(fixture.dir.file("out")),
                   &unzipLog),
        0)
        << unzipLog;
    for (const SourceFile& file : fixture.files) {
        std::string path = fixture.dir.file("out/" + file.name);
        if (pathExists(path)) result.entries[file.name] = readWholeFile(path);
    }
    return result;
}

bool loggedOk(const std::string& log, const SourceFile& file) {
    std::string line =
        "    " + file.name + ": size = " + std::to_string(file.bytes.size()) + ":  OK";
    return log.find(line + "\n") != std::string::npos;
}

void expectAllWhole(const Fixture& fixture, const std::string& archive) {
    SalvageResult result = salvage(fixture, archive);
    EXPECT_EQ(result.status, 0) << result.log;
    for (const SourceFile& file : fixture.files) {
        EXPECT_TRUE(loggedOk(result.log, file)) << file.name << "\n" << result.log;
        ASSERT_EQ(result.entries.count(file.name), 1u) << file.name;
        EXPECT_TRUE(result.entries[file.name] == file.bytes) << file.name;
    }
}

// Where one entry's compressed data lies in an archive: from its local header (APPNOTE 4.3.7).
struct EntryData {
    size_t offset = 0;
    size_t size = 0;
    uint16_t method = 0;
};

EntryData findEntryData(const Bytes& archive, const std::string& name) {
    for (size_t at = 0; at + 30 <= archive.size(); ++at) {
        if (loadLE32(archive.data() + at) != 0x04034b50u) continue;
        uint16_t nameLength = loadLE16(archive.data() + at + 26);
        uint16_t extraLength = loadLE16(archive.data() + at + 28);
        if (at + 30 + nameLength > archive.size()) continue;
        std::string found(archive.begin() + static_cast<std::ptrdiff_t>(at + 30),
                          archive.begin() + static_cast<std::ptrdiff_t>(at + 30 + nameLength));
        if (found != name) continue;
        return EntryData{at + 30 + nameLength + extraLength, loadLE32(archive.data() + at + 18),
                         loadLE16(archive.data() + at + 8)};
    }
    return {};
}

// How many bytes the "corrupt" line of `file` says were salvaged; -1 when there is none.
long corruptLineCount(const std::string& log, const SourceFile& file) {
    std::regex line("ERROR: File " + file.name + " is corrupt\\.  Salvaged (\\d+) of " +
                    std::to_string(file.bytes.size()) + "\n");
    std::smatch match;
    if (!std::regex_search(log, match, line)) return -1;
    return std::stol(match[1]);
}

TEST(SalvageDeflate, ArchivesFromZipAndPythonComeThroughWhole) {
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is not installed";
    Fixture fixture;
    for (const char* level : {"-1", "-9"}) {
        std::string archive = fixture.dir.file(std::string("zip") + level + ".zip");
        ASSERT_EQ(runCommand("cd " + shellQuote(fixture.dir.file("in")) + " && zip -q -X " + level +
                             " " + shellQuote(archive) + fixture.names()),
                  0);
        SCOPED_TRACE(archive);
        expectAllWhole(fixture, archive);
    }
    std::string archive = fixture.dir.file("python.zip");
    std::string script =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for i, n in enumerate(sys.argv[3:]):\n"
        "        z.write(sys.argv[2] + '/' + n, n, compresslevel=[1, 6, 9][i % 3])\n";
    writeWholeFile(fixture.dir.file("make.py"), script);
    ASSERT_EQ(runCommand("python3 " + shellQuote(fixture.dir.file("make.py")) + " " +
                         shellQuote(archive) + " " + shellQuote(fixture.dir.file("in")) +
                         fixture.names()),
              0);
    SCOPED_TRACE(archive);
    expectAllWhole(fixture, archive);
}

// Traditional encryption over deflate: inflate reads every byte through the cipher of the
// entry's context, the bytes it reads ahead from the block included.
TEST(SalvageDeflate, EncryptedEntriesInflateThroughTheCipher) {
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is not installed";
    Fixture fixture;
    fixture.files.resize(8);
    std::string archivePath = fixture.dir.file("secret.zip");
    ASSERT_EQ(runCommand("cd " + shellQuote(fixture.dir.file("in")) +
                         " && zip -q -X -9 -P 'open sesame' " + shellQuote(archivePath) +
                         fixture.names()),
              0);
    Bytes archive = readWholeFile(archivePath);
    int deflated = 0;
    for (const SourceFile& file : fixture.files) {
        EntryData data = findEntryData(archive, file.name);
        ASSERT_GE(data.size, 12u) << file.name;
        if (data.method != 8) continue;  // zip stores what deflate cannot shrink
        ++deflated;
        const uint8_t* encryptionHeader = archive.data() + data.offset;
        Bytes stream(archive.begin() + static_cast<std::ptrdiff_t>(data.offset + 12),
                     archive.begin() + static_cast<std::ptrdiff_t>(data.offset + data.size));
        DecoderBench bench(stream, static_cast<uint32_t>(file.bytes.size()));
        initExtractContext(bench.context, bench.outputFile, static_cast<uint32_t>(data.size),
                           static_cast<uint32_t>(file.bytes.size()), true, "open sesame",
                           encryptionHeader, bench.input.source(), bench.flags);
        EXPECT_TRUE(ranToEnd(zipsalvage::inflate(bench.context))) << file.name;
        EXPECT_TRUE(bench.output() == file.bytes) << file.name;
    }
    EXPECT_GE(deflated, 5);
}

// A 1 for each byte of `file` the report lists as unknown; false when it lists none.
bool readUnknownBytes(const std::string& report, const SourceFile& file,
                      std::vector<uint8_t>& unknown) {
    Bytes reportBytes = readWholeFile(report);
    std::string reportText(reportBytes.begin(), reportBytes.end());
    unknown.assign(file.bytes.size(), 0);
    std::smatch ranges;
    if (!std::regex_search(reportText, ranges,
                           std::regex("\"name\":\"" + file.name +
                                      "\"[^\n]*\"unknown_ranges\":\\[([^\n]*)\\]\\]"))) {
        return false;
    }
    std::string spans = ranges[1].str() + "]";
    std::regex span("\\[(\\d+),(\\d+)\\]");
    for (auto it = std::sregex_iterator(spans.begin(), spans.end(), span);
         it != std::sregex_iterator(); ++it) {
        size_t start = std::stoul((*it)[1]);
        size_t end = std::min<size_t>(std::stoul((*it)[2]), unknown.size());
        if (start < end) {
            std::fill(unknown.begin() + static_cast<std::ptrdiff_t>(start),
                      unknown.begin() + static_cast<std::ptrdiff_t>(end), uint8_t{1});
        }
    }
    return true;
}

// The fixture's files zipped at level 9 by Info-ZIP, as `archive`.
void zipFixture(Fixture& fixture, Bytes& archive) {
    std::string intact = fixture.dir.file("intact.zip");
    ASSERT_EQ(runCommand("cd " + shellQuote(fixture.dir.file("in")) + " && zip -q -X -9 " +
                         shellQuote(intact) + fixture.names()),
              0);
    archive = readWholeFile(intact);
}

TEST(SalvageDeflate, DamagedEntryKeepsItsPrefixAndTheOthersStayWhole) {
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is not installed";
    Fixture fixture;
    Bytes archive;
    ASSERT_NO_FATAL_FAILURE(zipFixture(fixture, archive));

    // Garbage over the middle of one text entry's data (Huffman-coded there, not stored).
    const SourceFile& victim = fixture.files[16];  // text11.txt
    EntryData data = findEntryData(archive, victim.name);
    ASSERT_GT(data.size, 1000u);
    size_t damageAt = data.offset + data.size / 3;
    Bytes damaged = archive;
    Bytes garbage = makeRandom(400, 36);
    std::copy(garbage.begin(), garbage.end(),
              damaged.begin() + static_cast<std::ptrdiff_t>(damageAt));
    writeWholeFile(fixture.dir.file("damaged.zip"), damaged);
    Bytes stream(archive.begin() + static_cast<std::ptrdiff_t>(data.offset),
                 archive.begin() + static_cast<std::ptrdiff_t>(damageAt));
    size_t before = zlibInflatePrefix(stream).size();

    std::string report = fixture.dir.file("report.json");
    SalvageResult result = salvage(fixture, fixture.dir.file("damaged.zip"), report);
    EXPECT_EQ(result.status, 1);
    for (const SourceFile& file : fixture.files) {
        if (file.name == victim.name) continue;
        EXPECT_TRUE(loggedOk(result.log, file)) << file.name << "\n" << result.log;
        EXPECT_TRUE(result.entries[file.name] == file.bytes) << file.name;
    }
    // Garbage inside a Huffman block may decode as other valid codes (zip's codes are
    // complete), so inflate runs on through it. Decoding shows where (zip never ends a match
    // that the next byte would extend, and garbage does within a few hundred bits): nothing
    // from there on is handed back as decoded unless it was found again behind the garbage, and
    // the data before it is kept, but for a margin of 2 KiB of compressed data before the first
    // sign.
    const Bytes& kept = result.entries[victim.name];
    std::vector<uint8_t> unknown;
    readUnknownBytes(report, victim, unknown);
    ASSERT_LE(kept.size(), victim.bytes.size());
    for (size_t at = 0; at < kept.size(); ++at) {
        ASSERT_EQ(kept[at], unknown[at] ? 0 : victim.bytes[at]) << at << "\n" << result.log;
    }
    const auto firstUnknown = static_cast<size_t>(
        std::find(unknown.begin(), unknown.begin() + static_cast<std::ptrdiff_t>(kept.size()),
                  uint8_t{1}) -
        unknown.begin());
    EXPECT_GE(firstUnknown, before / 3) << result.log;
    EXPECT_FALSE(loggedOk(result.log, victim)) << result.log;
}

// Zeros over the middle of one entry's data: the data behind them comes back at its offsets,
// the entry keeps its recorded size, and the log, the report and the entry's comment in the
// salvaged archive say where the zeros standing for lost bytes are.
TEST(SalvageDeflate, ZeroedSpanIsRecoveredPastAndItsHolesListed) {
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is not installed";
    Fixture fixture;
    Bytes archive;
    ASSERT_NO_FATAL_FAILURE(zipFixture(fixture, archive));
    const SourceFile& victim = fixture.files[16];  // text11.txt
    EntryData data = findEntryData(archive, victim.name);
    ASSERT_GT(data.size, 1000u);
    Bytes damaged = archive;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(data.offset + data.size / 3),
              damaged.begin() + static_cast<std::ptrdiff_t>(data.offset + data.size / 3 + 64),
              uint8_t{0});
    writeWholeFile(fixture.dir.file("zeroed.zip"), damaged);

    std::string output = fixture.dir.file("Salvaged.zip");
    std::string report = fixture.dir.file("report.json");
    std::string log;
    EXPECT_EQ(
        runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " + shellQuote(output) + " --report " +
                       shellQuote(report) + " " + shellQuote(fixture.dir.file("zeroed.zip")),
                   &log, false),
        1);
    EXPECT_NE(log.find("ERROR: " + victim.name + ": "), std::string::npos) << log;
    // The whole line, to its closing offsets: a text cut at the string loader's limit is not.
    EXPECT_TRUE(std::regex_search(log, std::regex("spans are zeros, not decoded \\(the first from "
                                                  "offset [0-9]+ to [0-9]+\\)\n")))
        << log;
    std::vector<uint8_t> unknown;
    ASSERT_TRUE(readUnknownBytes(report, victim, unknown));
    std::string unzipLog;
    ASSERT_EQ(runCommand("unzip -qo " + shellQuote(output) + " " + victim.name + " -d " +
                             shellQuote(fixture.dir.file("out")),
                         &unzipLog),
              0)
        << unzipLog;
    Bytes kept = readWholeFile(fixture.dir.file("out/" + victim.name));
    ASSERT_EQ(kept.size(), victim.bytes.size());
    for (size_t at = 0; at < kept.size(); ++at) {
        ASSERT_EQ(kept[at], unknown[at] ? 0 : victim.bytes[at]) << at;
    }
    std::string comment;
    ASSERT_EQ(
        runCommand("python3 -c 'import sys, zipfile; "
                   "print(zipfile.ZipFile(sys.argv[1]).getinfo(sys.argv[2]).comment.decode())' " +
                       shellQuote(output) + " " + victim.name,
                   &comment),
        0);
    EXPECT_NE(comment.find("Salvaged: "), std::string::npos) << comment;
    EXPECT_NE(comment.find("zeros, at offsets ["), std::string::npos) << comment;
}

TEST(SalvageDeflate, TruncatedArchiveKeepsTheDecodablePrefixOfItsLastEntry) {
    if (!haveTools()) GTEST_SKIP() << "zip, unzip or python3 is not installed";
    Fixture fixture;
    std::string intact = fixture.dir.file("intact.zip");
    ASSERT_EQ(runCommand("cd " + shellQuote(fixture.dir.file("in")) + " && zip -q -X -6 " +
                         shellQuote(intact) + fixture.names()),
              0);
    Bytes archive = readWholeFile(intact);
    const SourceFile& last = fixture.files.back();
    EntryData data = findEntryData(archive, last.name);
    ASSERT_GT(data.size, 10000u);
    size_t cut = data.offset + data.size / 2 + 17;
    writeWholeFile(fixture.dir.file("cut.zip"),
                   Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(cut)));
    // Every byte of entry data the archive holds arrives: zlib's output on it is kept whole.
    Bytes decodable =
        zlibInflatePrefix(Bytes(archive.begin() + static_cast<std::ptrdiff_t>(data.offset),
                                archive.begin() + static_cast<std::ptrdiff_t>(cut)));

    SalvageResult result = salvage(fixture, fixture.dir.file("cut.zip"));
    EXPECT_EQ(result.status, 1);
    for (const SourceFile& file : fixture.files) {
        if (file.name == last.name) continue;
        EXPECT_TRUE(loggedOk(result.log, file)) << file.name << "\n" << result.log;
        EXPECT_TRUE(result.entries[file.name] == file.bytes) << file.name;
    }
    long salvaged = corruptLineCount(result.log, last);
    ASSERT_EQ(salvaged, static_cast<long>(decodable.size())) << result.log;
    EXPECT_TRUE(result.entries[last.name] == decodable);
    EXPECT_EQ(result.entries[last.name].size(), static_cast<size_t>(salvaged));
}

}  // namespace
}  // namespace zipsalvage::testing
