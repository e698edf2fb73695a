// What an output entry keeps beyond its data: its name's UTF-8 flag, the descriptive extra
// fields of its local header, what the damaged archive's central directory says about it, and
// the data of methods that are copied rather than decoded.
#include <gtest/gtest.h>

#include "core/little_endian.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::ListedEntry;
using testing::RunBench;
using testing::TestEntry;

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

// One extra field: header ID, data size, data (APPNOTE 4.5.1).
Bytes field(uint16_t id, const Bytes& data) {
    Bytes out{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
              static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Info-ZIP Unicode Path: version 1, CRC-32 of the header's name, the UTF-8 name.
Bytes unicodePath(const std::string& headerName, const std::string& utf8Name, uint32_t crcDelta) {
    Bytes data{1, 0, 0, 0, 0};
    storeLE32(data.data() + 1, testing::crc32Of(text(headerName)) + crcDelta);
    data.insert(data.end(), utf8Name.begin(), utf8Name.end());
    return field(0x7075, data);
}

const Bytes kTimestampLocal = field(0x5455, {3, 1, 2, 3, 4, 5, 6, 7, 8});  // mod and access time
const Bytes kTimestampCentral = field(0x5455, {3, 1, 2, 3, 4});
const Bytes kUnixIds = field(0x7875, {1, 4, 0xE8, 3, 0, 0, 4, 0xE8, 3, 0, 0});
const Bytes kNtfs =
    concat({field(0x000A, concat({Bytes(4, 0), Bytes{1, 0, 24, 0}, Bytes(24, 7)}))});

std::vector<ListedEntry> salvaged(RunBench& bench, const Bytes& archive) {
    EXPECT_TRUE(bench.salvage(archive));
    return bench.entries();
}

TEST(KeptExtraFields, DescriptiveAndUnknownFieldsSurviveInBothHeadersZip64IsRebuilt) {
    TestEntry entry{"described.txt", text("with its times and owner")};
    Bytes zip64 = field(0x0001, Bytes(16, 0));
    Bytes secondTimestamp = field(0x5455, {1, 9, 9, 9, 9});
    Bytes unknown = field(0x1234, {1, 2});
    Bytes jarMarker = field(0xCAFE, {});  // Java's jar: an empty field on the first entry
    entry.extra =
        concat({jarMarker, kTimestampLocal, unknown, kUnixIds, zip64, kNtfs, secondTimestamp});
    RunBench bench;
    auto listed = salvaged(bench, testing::localRecord(entry));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].localExtra, concat({jarMarker, kTimestampLocal, unknown, kUnixIds, kNtfs}));
    // The central timestamp carries the mod time only, as Info-ZIP's readers expect.
    EXPECT_EQ(listed[0].centralExtra,
              concat({jarMarker, kTimestampCentral, unknown, kUnixIds, kNtfs}));
    EXPECT_EQ(listed[0].content, entry.data);
}

TEST(KeptExtraFields, MalformedFieldsAreNeverCopied) {
    std::vector<Bytes> malformed{
        field(0x5455, {}),                                 // no flag byte
        field(0x5455, {1, 1, 2, 3, 4, 5, 6, 7, 8}),        // two times, one flagged
        field(0x7875, {2, 4, 1, 0, 0, 0, 4, 1, 0, 0, 0}),  // unknown version
        field(0x7875, {1, 4, 1, 0, 0, 0, 4, 1, 0, 0}),     // GID cut short
        field(0x000A, concat({Bytes(4, 0), Bytes{1, 0, 20, 0}, Bytes(20, 7)})),  // short times
        field(0x9901, {2, 0, 'A', 'E', 3, 8, 0}),  // AES on an entry that is decoded
    };
    std::vector<TestEntry> entries;
    for (size_t index = 0; index < malformed.size(); ++index) {
        TestEntry entry{"bad" + std::to_string(index), text("data")};
        entry.extra = malformed[index];
        entries.push_back(entry);
    }
    // A length running past the list hides the well-formed field behind it.
    TestEntry overrun{"overrun", text("data")};
    overrun.extra = concat({Bytes{0x34, 0x12, 200, 0}, kTimestampLocal});
    entries.push_back(overrun);
    RunBench bench;
    auto listed = salvaged(bench, testing::buildArchive(entries));
    ASSERT_EQ(listed.size(), entries.size());
    for (const ListedEntry& entry : listed) {
        EXPECT_TRUE(entry.localExtra.empty()) << entry.name;
        EXPECT_TRUE(entry.centralExtra.empty()) << entry.name;
        EXPECT_EQ(entry.content, text("data")) << entry.name;
    }
}

TEST(EntryNames, Utf8FlagFollowsWhatTheNameIs) {
    TestEntry utf8Unflagged{"R\xC3\xA9sum\xC3\xA9.txt", text("1")};
    TestEntry utf8Flagged{"\xE6\x97\xA5\xE6\x9C\xAC.txt", text("2")};
    utf8Flagged.flags = 0x0800;
    TestEntry ascii{"plain.txt", text("3")};
    TestEntry cp437{"\x82t\x82.txt", text("4")};  // CP437 "été": not UTF-8
    TestEntry falselyFlagged{"\x82t\x82-flagged.txt", text("5")};
    falselyFlagged.flags = 0x0800;
    TestEntry asciiFlagged{"flagged.txt", text("6")};
    asciiFlagged.flags = 0x0800;
    RunBench bench;
    auto listed = salvaged(bench, testing::buildArchive({utf8Unflagged, utf8Flagged, ascii, cp437,
                                                         falselyFlagged, asciiFlagged}));
    ASSERT_EQ(listed.size(), 6u);
    uint16_t expectedFlags[6] = {0x0800, 0x0800, 0, 0, 0, 0x0800};
    for (size_t index = 0; index < 6; ++index) {
        EXPECT_EQ(listed[index].flags, expectedFlags[index]) << listed[index].name;
    }
    EXPECT_EQ(listed[0].name, utf8Unflagged.name);
    EXPECT_EQ(listed[3].name, cp437.name);  // bytes unchanged
}

TEST(EntryNames, UnicodePathFieldNamesTheEntryOnlyWhenItsCrcMatches) {
    const std::string utf8 = "R\xC3\xA9sum\xC3\xA9.txt";
    TestEntry matching{"R?sum?.txt", text("one")};
    matching.extra = unicodePath(matching.name, utf8, 0);
    TestEntry stale{"old-name.txt", text("two")};
    stale.extra = unicodePath(stale.name, "new-name.txt", 1);  // the name changed since
    RunBench bench;
    auto listed = salvaged(bench, testing::buildArchive({matching, stale}));
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, utf8);
    EXPECT_EQ(listed[0].flags, 0x0800);
    EXPECT_TRUE(bench.logHas("    " + utf8 + ": size = 3:  OK"));
    EXPECT_EQ(listed[1].name, "old-name.txt");
    EXPECT_EQ(listed[1].flags, 0);
    EXPECT_TRUE(listed[0].localExtra.empty());  // the field itself is not copied
}

TEST(DirectoryWitness, ModeAttributesAndCommentsComeFromTheArchivesDirectory) {
    TestEntry script{"run.sh", text("#!/bin/sh\necho hi\n")};
    script.versionMadeBy = 0x031E;  // Unix, 3.0
    script.externalAttributes = 0100755u << 16;
    script.comment = "the start script";
    TestEntry link{"latest", text("run.sh")};
    link.versionMadeBy = 0x031E;
    link.externalAttributes = 0120777u << 16;
    TestEntry folder{"docs/", {}};
    folder.versionMadeBy = 0x031E;
    folder.externalAttributes = 040755u << 16;  // no MS-DOS folder bit
    RunBench bench;
    Bytes archive = testing::buildArchive({script, link, folder}, "archive comment");
    ASSERT_TRUE(bench.salvage(archive));
    std::vector<ListedEntry> listed;
    std::string problem;
    std::string archiveComment;
    ASSERT_TRUE(testing::readArchive(bench.output(), listed, problem, &archiveComment)) << problem;
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(archiveComment, "archive comment");
    EXPECT_EQ(listed[0].versionMadeBy, 0x031E);
    EXPECT_EQ(listed[0].externalAttributes, 0100755u << 16);
    EXPECT_EQ(listed[0].comment, "the start script");
    EXPECT_EQ(listed[1].externalAttributes, 0120777u << 16);
    EXPECT_EQ(listed[1].content, text("run.sh"));
    EXPECT_EQ(listed[2].externalAttributes, (040755u << 16) | 0x10u);
}

TEST(DirectoryWitness, ASurvivingStretchWitnessesOnlyTheEntriesItNames) {
    std::vector<TestEntry> entries;
    for (int index = 0; index < 4; ++index) {
        TestEntry entry{"file" + std::to_string(index), testing::makeText(300, index)};
        entry.versionMadeBy = 0x031E;
        entry.externalAttributes = (0100600u + static_cast<uint32_t>(index)) << 16;
        entries.push_back(entry);
    }
    Bytes archive = testing::buildArchive(entries, "lost with the end record");
    // Cut inside the third central header: the end record and two records are gone.
    size_t directory = loadLE32(archive.data() + archive.size() - 22 - 24 + 16);
    size_t centralSize = 46 + 5;
    archive.resize(directory + 2 * centralSize + 20);
    // And the first record points at an offset where no entry of its name begins.
    storeLE32(archive.data() + directory + 42, 7);
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    std::vector<ListedEntry> listed;
    std::string problem;
    std::string archiveComment;
    ASSERT_TRUE(testing::readArchive(bench.output(), listed, problem, &archiveComment)) << problem;
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(archiveComment, "");
    EXPECT_EQ(listed[0].versionMadeBy, 20);
    EXPECT_EQ(listed[0].externalAttributes, 0u);
    EXPECT_EQ(listed[1].versionMadeBy, 0x031E);
    EXPECT_EQ(listed[1].externalAttributes, 0100601u << 16);
    EXPECT_EQ(listed[2].externalAttributes, 0u);
    for (size_t index = 0; index < 4; ++index)
        EXPECT_EQ(listed[index].content, entries[index].data);
}

TEST(DirectoryWitness, OffsetsCountedFromBehindAPrefixStillMatch) {
    // A self-extractor's program before the archive, whose offsets count from its own start.
    TestEntry entry{"tool", testing::makeText(400, 20)};
    entry.versionMadeBy = 0x031E;
    entry.externalAttributes = 0100755u << 16;
    Bytes archive = concat({testing::makeRandom(1500, 21), testing::buildArchive({entry})});
    RunBench bench;
    auto listed = salvaged(bench, archive);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].externalAttributes, 0100755u << 16);
}

// AES around a method not decoded here (PPMd) is copied; so is every AES entry where the build
// has no AES.
TEST(KeptAsItWas, AesEntryKeepsItsFlagsAndFieldAndAsksForNoPassword) {
    TestEntry aes{"secret.bin", testing::makeRandom(500, 11)};
    aes.method = 99;
    aes.flags = 0x0001;
    aes.crc32 = 0;  // AE-2 records no CRC-32
    aes.uncompressedSize = 480;
    Bytes aesField = field(0x9901, {2, 0, 'A', 'E', 3, 98, 0});
    aes.extra = concat({aesField, kTimestampLocal});
    RunBench bench;  // a password prompt here would be a skip, and the entry lost
    auto listed = salvaged(bench, testing::buildArchive({aes}));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(ZIPSALVAGE_HAVE_AES == 0 ||
                bench.logHas("WARNING: secret.bin was kept as it was (compression method 99): "
                             "its data could not be checked"));
    EXPECT_TRUE(ZIPSALVAGE_HAVE_AES != 0 ||
                bench.logHas("WARNING: secret.bin: kept as it was, not checked (compression "
                             "method 99 is not decoded by this build)"));
    EXPECT_EQ(listed[0].method, 99);
    EXPECT_EQ(listed[0].flags, 0x0001);
    EXPECT_EQ(listed[0].data, aes.data);
    EXPECT_EQ(listed[0].uncompressedSize, 480u);
    EXPECT_EQ(listed[0].localExtra, concat({aesField, kTimestampLocal}));
    EXPECT_EQ(listed[0].centralExtra, concat({aesField, kTimestampCentral}));
}

TEST(KeptAsItWas, CutOrUnsizedDataIsLeftOutAndEntriesBehindAreStillFound) {
    TestEntry after{"after.txt", text("found behind the damaged entry")};
    Bytes afterRecord = testing::localRecord(after);

    TestEntry cut{"cut.wv", testing::makeRandom(300, 12)};
    cut.method = 97;              // WavPack
    cut.compressedSize = 100000;  // more than the archive holds
    RunBench cutBench;
    auto cutListed = salvaged(cutBench, concat({testing::localRecord(cut), afterRecord}));
    EXPECT_TRUE(
        cutBench.logHas("ERROR (SKIPPING FILE): cut.wv (compression method 97) is cut short"));
    EXPECT_TRUE(cutBench.logHas("  1 unrecoverable files"));
    ASSERT_EQ(cutListed.size(), 1u);
    EXPECT_EQ(cutListed[0].name, "after.txt");

    TestEntry streamed{"streamed.jpg", testing::makeRandom(300, 13)};
    streamed.method = 96;  // JPEG
    streamed.flags = 0x0008;
    streamed.compressedSize = 0;
    streamed.uncompressedSize = 0;
    streamed.crc32 = 0;
    RunBench streamedBench;
    auto streamedListed =
        salvaged(streamedBench, concat({testing::localRecord(streamed), afterRecord}));
    EXPECT_TRUE(streamedBench.logHas(
        "ERROR (SKIPPING FILE): streamed.jpg (compression method 96) has no known size"));
    ASSERT_EQ(streamedListed.size(), 1u);
    EXPECT_EQ(streamedListed[0].name, "after.txt");
}

TEST(KeptAsItWas, ASizeTooLargeStillLetsTheScanFindTheEntriesItCovers) {
    TestEntry swallowing{"big.wv", testing::makeRandom(300, 14)};
    swallowing.method = 97;
    swallowing.compressedSize = 300 + 40;  // reaches into the next local header
    TestEntry after{"after.txt", testing::makeText(2000, 15)};
    RunBench bench;
    auto listed = salvaged(bench, concat({testing::localRecord(swallowing),
                                          testing::localRecord(after), Bytes(64, 0x20)}));
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "big.wv");
    EXPECT_EQ(listed[0].compressedSize, 340u);
    EXPECT_EQ(listed[1].name, "after.txt");
    EXPECT_EQ(listed[1].content, after.data);
}

}  // namespace
}  // namespace zipsalvage
