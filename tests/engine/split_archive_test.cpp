// Split archives: given any one part, its siblings are read with it as one archive, in order;
// a missing part costs only what lay in it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/scan/archive_parts.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::RunBench;
using testing::TestEntry;

std::vector<TestEntry> splitEntries() {
    std::vector<TestEntry> entries;
    for (uint32_t index = 0; index < 6; ++index) {
        entries.push_back({"entry" + std::to_string(index) + ".txt",
                           testing::makeText(3000 + 2500 * index, index + 1)});
    }
    entries.push_back({"random.bin", testing::makeRandom(40000, 9)});
    return entries;
}

// Cuts `archive` into parts of `partBytes`, named by `names` in order.
void writeParts(const Bytes& archive, size_t partBytes, const std::vector<std::string>& names) {
    for (size_t index = 0; index < names.size(); ++index) {
        size_t from = std::min(archive.size(), index * partBytes);
        size_t to =
            index + 1 == names.size() ? archive.size() : std::min(archive.size(), from + partBytes);
        testing::writeWholeFile(names[index], Bytes(archive.begin() + static_cast<long>(from),
                                                    archive.begin() + static_cast<long>(to)));
    }
}

void expectEveryEntryWhole(const RunBench& bench, const std::vector<TestEntry>& entries) {
    auto listed = bench.entries();
    ASSERT_EQ(listed.size(), entries.size());
    for (size_t index = 0; index < entries.size(); ++index) {
        EXPECT_EQ(listed[index].name, entries[index].name);
        EXPECT_EQ(listed[index].content, entries[index].data) << entries[index].name;
    }
}

TEST(SplitArchive, AnyPartBringsItsSiblingsInOrder) {
    std::vector<TestEntry> entries = splitEntries();
    Bytes archive = testing::buildArchive(entries);
    ASSERT_GT(archive.size(), 4 * 16384u);
    testing::TempDir dir;
    // 7-Zip's volumes, and Info-ZIP's parts (upper case as well).
    std::vector<std::vector<std::string>> layouts = {
        {"v.zip.001", "v.zip.002", "v.zip.003", "v.zip.004", "v.zip.005", "v.zip.006"},
        {"s.z01", "s.z02", "s.z03", "s.z04", "s.z05", "s.zip"},
        {"U.Z01", "U.Z02", "U.Z03", "U.Z04", "U.Z05", "U.ZIP"}};
    for (const auto& layout : layouts) {
        std::vector<std::string> paths;
        for (const std::string& name : layout) paths.push_back(dir.file(name));
        writeParts(archive, 16384, paths);
        for (const std::string& given : {paths.front(), paths[2], paths.back()}) {
            RunBench bench;
            ASSERT_TRUE(bench.salvageFile(given));
            EXPECT_EQ(bench.result, RunResult::kCompleted);
            std::string names;
            for (const std::string& name : layout) names += (names.empty() ? "" : ", ") + name;
            EXPECT_TRUE(bench.logHas("Reading a split archive of 6 parts: " + names)) << given;
            expectEveryEntryWhole(bench, entries);
            // The output never replaces a part.
            RunBench again;
            EXPECT_TRUE(openArchive(again.run, given.c_str()));
            EXPECT_FALSE(createOutput(again.run, paths[1].c_str()));
        }
    }
    // Alone, a part is read as it is; and a .zip without a first part beside it is one archive.
    EXPECT_TRUE(findArchiveParts(dir.file("lonely.z01")).empty());
    EXPECT_TRUE(findArchiveParts(dir.file("v.zip")).empty());
    EXPECT_TRUE(findArchiveParts(dir.file("v.txt.001")).empty());
}

TEST(SplitArchive, AMissingPartCostsOnlyWhatLayInIt) {
    std::vector<TestEntry> entries = splitEntries();
    Bytes archive = testing::buildArchive(entries);
    testing::TempDir dir;
    std::vector<std::string> paths;
    for (const char* name : {"s.z01", "s.z02", "s.z03", "s.z04", "s.z05", "s.zip"})
        paths.push_back(dir.file(name));
    writeParts(archive, 16384, paths);
    Bytes middle = testing::readWholeFile(paths[2]);
    ASSERT_EQ(std::remove(paths[2].c_str()), 0);
    RunBench bench;
    ASSERT_TRUE(bench.salvageFile(paths.back()));
    EXPECT_TRUE(bench.logHas("WARNING: Part " + paths[2] + " of the split archive is missing"));
    // Every entry that lies wholly outside the missing part comes through whole.
    uint64_t gapFrom = 2 * 16384, gapTo = 3 * 16384;
    uint64_t at = 0;
    size_t expectedWhole = 0;
    std::vector<std::string> wholeNames;
    for (const TestEntry& entry : entries) {
        uint64_t end = at + testing::localRecord(entry).size();
        if (end <= gapFrom || at >= gapTo) wholeNames.push_back(entry.name);
        at = end;
    }
    for (const auto& listed : bench.entries()) {
        for (const std::string& name : wholeNames) {
            if (listed.name != name) continue;
            ++expectedWhole;
            EXPECT_TRUE(bench.logHas(
                "    " + name + ": size = " + std::to_string(listed.content.size()) + ":  OK"));
        }
    }
    EXPECT_EQ(expectedWhole, wholeNames.size());
    EXPECT_GE(wholeNames.size(), 4u);
}

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Split archives as zip and 7z write them, given each of their parts.
TEST(SplitArchive, PartsOfZipAndSevenZipComeBackWhole) {
    if (!have("zip")) GTEST_SKIP() << "zip is not installed";
    testing::TempDir dir;
    std::vector<TestEntry> entries = splitEntries();
    entries.push_back({"big.bin", testing::makeRandom(300000, 10)});  // zip splits at 64 KiB
    std::string files = dir.file("files");
    std::string make = "mkdir -p '" + files + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    for (const TestEntry& entry : entries)
        testing::writeWholeFile(files + "/" + entry.name, entry.data);
    std::string commands =
        "cd '" + files + "' && zip -q -s 64k ../s.zip * && zip -q -fz -s 64k ../z.zip *";
    if (have("7z")) commands += " && 7z a -tzip -v64k -bso0 -bsp0 ../v.zip * >/dev/null";
    ASSERT_EQ(std::system(commands.c_str()), 0);
    std::vector<std::string> given = {"s.z01", "s.z03", "s.zip", "z.z02", "z.zip"};
    if (have("7z")) given.insert(given.end(), {"v.zip.001", "v.zip.004"});
    for (const std::string& part : given) {
        RunBench bench;
        ASSERT_TRUE(bench.salvageFile(dir.file(part))) << part;
        auto listed = bench.entries();
        EXPECT_EQ(listed.size(), entries.size()) << part;
        for (const auto& entry : listed) {
            bool matched = false;
            for (const TestEntry& original : entries)
                matched =
                    matched || (entry.name == original.name && entry.content == original.data);
            EXPECT_TRUE(matched) << part << ": " << entry.name;
            // The directory's records, whose offsets count within their disks, still witness
            // every entry: zip's Unix modes come through.
            if (part[0] != 'v') {
                EXPECT_NE(entry.externalAttributes >> 16, 0u) << part << ": " << entry.name;
            }
        }
    }
}

}  // namespace
}  // namespace zipsalvage
