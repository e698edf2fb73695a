// Archives written by DOS-era and modern encoders of the old methods: every entry must come
// through with the size and CRC-32 its headers record, through the decoders and the program.
#include <gtest/gtest.h>

#include "tests/legacy/legacy_decoding.h"
#include "tests/legacy/zip_listing.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

#define SKIP_WITHOUT_ARCHIVES(paths)                                                         \
    if ((paths).empty()) {                                                                   \
        GTEST_SKIP() << "no shared test data (../shared/testdata/legacy): nothing to check"; \
    }

TEST(RealArchives, EveryEntryDecodesToItsRecordedSizeAndCrc) {
    std::vector<std::string> paths = legacyArchivePaths();
    SKIP_WITHOUT_ARCHIVES(paths);
    int decoded = 0;
    for (const std::string& path : paths) {
        Bytes archive = readWholeFile(path);
        std::vector<DirectoryEntry> entries = listZip(archive);
        ASSERT_FALSE(entries.empty()) << path;
        for (const DirectoryEntry& entry : entries) {
            if (!isLegacyMethod(entry.method)) continue;
            MethodRun run = runEntryMethod(archive, entry);
            EXPECT_EQ(run.result, 1) << path << " " << entry.name;
            EXPECT_EQ(run.output.size(), entry.uncompressedSize) << path << " " << entry.name;
            EXPECT_EQ(crc32Of(run.output), entry.crc) << path << " " << entry.name;
            ++decoded;
        }
    }
    EXPECT_GE(decoded, 28);  // the README lists 5 shrunk, 10 reduced and 13 imploded entries
}

TEST(RealArchives, SalvageKeepsEveryEntryWholeAndLogsItOk) {
    std::vector<std::string> paths = legacyArchivePaths();
    SKIP_WITHOUT_ARCHIVES(paths);
    for (const std::string& path : paths) {
        TempDir dir;
        std::string log;
        int status = runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " +
                                    shellQuote(dir.file("out.zip")) + " " + shellQuote(path),
                                &log);
        EXPECT_EQ(status, 0) << path << "\n" << log;
        std::vector<DirectoryEntry> original = listZip(readWholeFile(path));
        std::vector<DirectoryEntry> salvaged = listZip(readWholeFile(dir.file("out.zip")));
        ASSERT_EQ(salvaged.size(), original.size()) << path;
        for (size_t index = 0; index < original.size(); ++index) {
            const DirectoryEntry& entry = original[index];
            EXPECT_EQ(salvaged[index].name, entry.name) << path;
            EXPECT_EQ(salvaged[index].uncompressedSize, entry.uncompressedSize) << entry.name;
            EXPECT_EQ(salvaged[index].crc, entry.crc) << path << " " << entry.name;
            std::string okLine = "    " + entry.name +
                                 ": size = " + std::to_string(entry.uncompressedSize) + ":  OK";
            EXPECT_NE(log.find(okLine), std::string::npos) << okLine << "\n" << log;
        }
        if (haveCommand("python3")) {
            std::string verdict;
            runCommand(
                "python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).testzip())' " +
                    shellQuote(dir.file("out.zip")),
                &verdict);
            EXPECT_EQ(verdict, "None\n") << path;
        }
    }
}

}  // namespace
}  // namespace zipsalvage::testing
