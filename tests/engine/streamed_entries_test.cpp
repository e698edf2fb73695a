// Streamed entries (general purpose flag bit 3: CRC-32 and sizes in a data descriptor behind
// the data, APPNOTE 4.3.9) from the machine's own writers and from a hand-made one, intact and
// damaged; and the rule that no damaged entry hides the entries behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "tests/engine/run_bench.h"

namespace zipsalvage::testing {
namespace {

void put16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(Bytes& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// A streamed entry as a writer without descriptor signatures makes it: flag bit 3, CRC-32 and
// sizes 0 in the local header, then the data, then CRC-32 and the two sizes.
Bytes streamedRecord(const std::string& name, uint16_t method, const Bytes& data,
                     const Bytes& content, bool signature, bool wideSizes = false) {
    TestEntry entry{name, data};
    entry.method = method;
    entry.flags = 0x0008;
    entry.compressedSize = 0;
    entry.uncompressedSize = 0;
    entry.crc32 = 0;
    Bytes record = localRecord(entry);
    if (signature) put32(record, 0x08074B50);
    put32(record, crc32Of(content));
    put32(record, static_cast<uint32_t>(data.size()));
    if (wideSizes) put32(record, 0);
    put32(record, static_cast<uint32_t>(content.size()));
    if (wideSizes) put32(record, 0);
    return record;
}

// A deflate stream of stored blocks (RFC 1951 3.2.4) holding `content`.
Bytes storedBlocks(const Bytes& content) {
    Bytes stream;
    size_t at = 0;
    do {
        size_t length = std::min<size_t>(content.size() - at, 65535);
        bool last = at + length == content.size();
        stream.push_back(last ? 1 : 0);
        put16(stream, static_cast<uint32_t>(length));
        put16(stream, static_cast<uint32_t>(~length & 0xFFFF));
        stream.insert(stream.end(), content.begin() + static_cast<long>(at),
                      content.begin() + static_cast<long>(at + length));
        at += length;
    } while (at < content.size());
    return stream;
}

Bytes concat2(const Bytes& first, const Bytes& second) {
    Bytes out = first;
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

bool hasDamageLine(const RunBench& bench) {
    for (const std::string& line : bench.log) {
        if (line.rfind("ERROR", 0) == 0 || line.rfind("WARNING", 0) == 0) return true;
    }
    return false;
}

std::map<std::string, Bytes> contents(const RunBench& bench) {
    std::map<std::string, Bytes> byName;
    for (const ListedEntry& entry : bench.entries()) byName[entry.name] = entry.content;
    return byName;
}

TEST(StreamedEntries, HandMadeDescriptorsWithAndWithoutSignatureAndWideSizes) {
    Bytes text = makeText(150000, 1);
    Bytes random = makeRandom(5000, 2);
    Bytes small = makeText(40, 3);
    Bytes archive;
    for (const Bytes& record :
         {streamedRecord("stored-signed", 0, text, text, true),
          streamedRecord("stored-bare", 0, random, random, false),
          streamedRecord("stored-wide", 0, small, small, false, true),
          streamedRecord("deflated-signed", 8, storedBlocks(text), text, true),
          streamedRecord("deflated-bare", 8, storedBlocks(random), random, false),
          streamedRecord("deflated-wide", 8, storedBlocks(small), small, true, true),
          streamedRecord("empty", 0, {}, {}, false),
          // Twelve zero bytes read as an empty entry's descriptor: only what follows tells.
          streamedRecord("zeros", 0, Bytes(5000, 0), Bytes(5000, 0), true)}) {
        archive.insert(archive.end(), record.begin(), record.end());
    }
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_FALSE(hasDamageLine(bench));
    EXPECT_TRUE(bench.logHas("  8 files found"));
    auto byName = contents(bench);
    ASSERT_EQ(byName.size(), 8u);
    EXPECT_EQ(byName["zeros"], Bytes(5000, 0));
    EXPECT_EQ(byName["stored-signed"], text);
    EXPECT_EQ(byName["stored-bare"], random);
    EXPECT_EQ(byName["stored-wide"], small);
    EXPECT_EQ(byName["deflated-signed"], text);
    EXPECT_EQ(byName["deflated-bare"], random);
    EXPECT_EQ(byName["deflated-wide"], small);
    EXPECT_TRUE(byName["empty"].empty());
}

TEST(StreamedEntries, AStoredZipInsideAnIntactEntryStaysOneEntry) {
    Bytes inner = buildArchive({{"inner.txt", makeText(3000, 4)}});
    Bytes archive = concat2(streamedRecord("inner.zip", 0, inner, inner, true),
                            buildArchive({{"after.txt", makeText(100, 5)}}));
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_TRUE(bench.logHas("  2 files found"));
    EXPECT_FALSE(hasDamageLine(bench));
}

TEST(StreamedEntries, DamageInsideOneEntryCostsOnlyThatEntry) {
    Bytes first = makeText(20000, 6);
    Bytes second = makeRandom(9000, 7);
    Bytes third = makeText(7000, 8);
    Bytes one = streamedRecord("first", 8, storedBlocks(first), first, true);
    Bytes two = streamedRecord("second", 0, second, second, false);
    Bytes three = streamedRecord("third", 0, third, third, true);
    Bytes archive = concat2(concat2(one, two), three);
    size_t secondData = one.size() + 30 + 6;
    // Zeroed bytes inside the stored entry: its descriptor no longer agrees with the data.
    Bytes zeroed = archive;
    std::fill(zeroed.begin() + static_cast<long>(secondData + 100),
              zeroed.begin() + static_cast<long>(secondData + 200), 0);
    RunBench bench;
    ASSERT_TRUE(bench.salvage(zeroed));
    auto byName = contents(bench);
    EXPECT_EQ(byName["first"], first);
    EXPECT_EQ(byName["third"], third);
    EXPECT_TRUE(bench.logHas("  1 partially recoverable files")) << bench.log.back();

    // Cut inside the last entry: the two before it come back whole.
    Bytes cut(archive.begin(), archive.end() - 3000);
    RunBench truncated;
    ASSERT_TRUE(truncated.salvage(cut));
    byName = contents(truncated);
    EXPECT_EQ(byName["first"], first);
    EXPECT_EQ(byName["second"], second);
    bool reported = false;
    for (const std::string& line : truncated.log) {
        reported |= line.rfind("ERROR: File third is corrupt.  Salvaged ", 0) == 0 &&
                    line.find("bytes; its size is not recorded") != std::string::npos;
    }
    EXPECT_TRUE(reported);
}

TEST(StreamedEntries, ASizeFieldChangedInAnOrdinaryArchiveHidesNothing) {
    std::vector<TestEntry> entries{{"folder/", {}}};
    for (int index = 0; index < 9; ++index) {
        entries.push_back({"file" + std::to_string(index),
                           makeText(2000 + 100 * index, static_cast<uint32_t>(index))});
    }
    Bytes archive = buildArchive(entries);
    archive[20] = 0x01;  // the folder's compressed size: 0 becomes 64 KiB, past every entry
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    auto byName = contents(bench);
    for (int index = 0; index < 9; ++index) {
        EXPECT_EQ(byName["file" + std::to_string(index)], entries[index + 1].data) << index;
    }
    EXPECT_TRUE(bench.logHas("  10 files found"));
}

// Each header claims the rest of the archive as stored data with a wrong CRC-32, and the next
// header lies right behind it: every entry is damaged and holds all the others. Looking again
// behind each one would take one pass over the rest per entry, in time and in output.
TEST(StreamedEntries, ANestOfDamagedEntriesCostsAFewPassesNotOnePerEntry) {
    constexpr uint32_t kNested = 1500;
    constexpr uint32_t kRecordBytes = 31;  // a 30-byte header and a one-byte name
    Bytes archive;
    for (uint32_t index = 0; index < kNested; ++index) {
        uint32_t rest = (kNested - index) * kRecordBytes - kRecordBytes;
        put32(archive, 0x04034B50);
        put16(archive, 10);          // version needed
        put16(archive, 0);           // flags
        put16(archive, 0);           // stored
        put32(archive, 0);           // time and date
        put32(archive, 0x12345678);  // a CRC-32 no content here has
        put32(archive, rest);        // compressed size: to the archive's end
        put32(archive, rest);        // uncompressed size
        put16(archive, 1);           // name length
        put16(archive, 0);           // extra length
        archive.push_back('n');
    }
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_LT(bench.output().size(), 16 * archive.size());
}

TEST(StreamedEntries, TheSurvivingDirectoryGivesSizesTheLocalDataCannot) {
    Bytes first = makeText(3000, 21);
    Bytes second = makeRandom(5000, 22);
    Bytes third = makeText(800, 23);
    // A stored entry whose local sizes were changed: the directory's record is right.
    std::vector<TestEntry> entries{{"first", first}, {"second", second}, {"third", third}};
    Bytes archive = buildArchive(entries);
    size_t secondHeader = localRecord(entries[0]).size();
    archive[secondHeader + 19] ^= 0x04;  // compressed size
    archive[secondHeader + 23] ^= 0x04;  // uncompressed size
    RunBench bench;
    ASSERT_TRUE(bench.salvage(archive));
    EXPECT_FALSE(hasDamageLine(bench)) << bench.log[2];
    auto byName = contents(bench);
    EXPECT_EQ(byName["second"], second);
    EXPECT_EQ(byName["third"], third);
    EXPECT_TRUE(bench.logHas("  3 files found"));

    // A streamed stored entry whose signature-less descriptor was zeroed: only the directory
    // still knows where it ends.
    Bytes streamed = streamedRecord("streamed", 0, second, second, false);
    std::fill(streamed.end() - 12, streamed.end(), 0);
    TestEntry inDirectory{"streamed", second};
    inDirectory.flags = 0x0008;
    Bytes after = localRecord(TestEntry{"after", third});
    Bytes withDirectory = concat2(streamed, after);
    // The directory of an archive of the same entries, its offsets pointing at these records.
    Bytes reference = buildArchive({inDirectory, TestEntry{"after", third}});
    size_t referenceRecords = localRecord(inDirectory).size() + after.size();
    Bytes directory(reference.begin() + static_cast<long>(referenceRecords), reference.end());
    // (Everything behind the first record lies 12 bytes later here, for the descriptor: the
    // first record's offset, 0, is the one that matters.)
    withDirectory.insert(withDirectory.end(), directory.begin(), directory.end());
    RunBench witnessed;
    ASSERT_TRUE(witnessed.salvage(withDirectory));
    EXPECT_FALSE(hasDamageLine(witnessed)) << witnessed.log[1];
    byName = contents(witnessed);
    EXPECT_EQ(byName["streamed"], second);
    EXPECT_EQ(byName["after"], third);
}

// The machine's own streaming writers, end to end through the program.
//
// The judge, in Python: the intact archive's central directory gives each entry's span (its
// local header to the next one); an entry whose span misses the damaged bytes must come out of
// the salvage exactly as it went in. Prints what is wrong, one line each, or nothing.
constexpr const char* kJudgeScript = R"(
import sys, zipfile
intact, salvaged, first, last = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
with zipfile.ZipFile(intact) as archive:
    archive.setpassword(b'secret')
    infos = sorted(archive.infolist(), key=lambda info: info.header_offset)
    ends = [info.header_offset for info in infos[1:]] + [archive.start_dir]
    wanted = {info.filename: archive.read(info) for info, end in zip(infos, ends)
              if end <= first or info.header_offset >= last}
with zipfile.ZipFile(salvaged) as archive:
    for name, data in wanted.items():
        try:
            if archive.read(name) != data:
                print('differs: ' + name)
        except KeyError:
            print('missing: ' + name)
)";

struct Workshop {
    TempDir dir;
    std::string log;
    int run(const std::string& command, std::string* output = nullptr) const {
        return runCommand("cd " + shellQuote(dir.path) + " && " + command, output);
    }
    int salvage(const std::string& archive, const std::string& options = "") {
        log.clear();
        return runCommand(std::string(ZIPSALVAGE_BINARY) + " -y " + options + " -o " +
                              shellQuote(dir.file("out.zip")) + " " + shellQuote(dir.file(archive)),
                          &log, false);
    }
    void makeTree() const {
        ASSERT_EQ(run("mkdir -p tree/sub tree/empty"), 0);
        writeWholeFile(dir.file("tree/text.txt"), makeText(300000, 11));
        writeWholeFile(dir.file("tree/sub/random.bin"), makeRandom(70000, 12));
        writeWholeFile(dir.file("tree/sub/small.txt"), makeText(60, 13));
        writeWholeFile(dir.file("tree/sub/more.txt"), makeText(20000, 14));
        writeWholeFile(dir.file("tree/zero"), Bytes{});
    }
    // Salvages `archive` with bytes [first, last) damaged (zeroed, or cut off with `truncate`)
    // and says what the judge found wrong with the entries outside them.
    std::string judgeDamaged(const std::string& archive, size_t first, size_t last, bool truncate,
                             const std::string& options) {
        Bytes bytes = readWholeFile(dir.file(archive));
        if (truncate) {
            bytes.resize(first);
            last = SIZE_MAX / 2;
        } else {
            std::fill(bytes.begin() + static_cast<long>(first),
                      bytes.begin() + static_cast<long>(last), 0);
        }
        writeWholeFile(dir.file("damaged.zip"), bytes);
        salvage("damaged.zip", options);
        writeWholeFile(dir.file("judge.py"), std::string(kJudgeScript));
        std::string output;
        int status = run("python3 judge.py " + shellQuote(archive) + " out.zip " +
                             std::to_string(first) + " " + std::to_string(last),
                         &output);
        return status == 0 ? output : "judge failed: " + output;
    }
};

bool haveZipTools() { return haveCommand("zip") && haveCommand("unzip") && haveCommand("python3"); }

// The offset of the first local header at or after `from` (the archive's size when none).
size_t nextLocalHeader(const Bytes& archive, size_t from) {
    for (size_t at = from; at + 4 <= archive.size(); ++at) {
        if (archive[at] == 'P' && archive[at + 1] == 'K' && archive[at + 2] == 3 &&
            archive[at + 3] == 4) {
            return at;
        }
    }
    return archive.size();
}

// Intact: exit 0, no warning, every file as it was. Then three kinds of damage, each of which
// must leave every entry it did not touch byte-identical.
void checkWriter(Workshop& shop, const std::string& options) {
    EXPECT_EQ(shop.salvage("in.zip", options), 0) << shop.log;
    EXPECT_EQ(shop.log.find("ERROR"), std::string::npos) << shop.log;
    EXPECT_EQ(shop.log.find("WARNING"), std::string::npos) << shop.log;
    std::string output;
    EXPECT_EQ(shop.run("rm -rf check && mkdir check && cd check && unzip -q ../out.zip && cd .. "
                       "&& diff -r tree check/tree",
                       &output),
              0)
        << output;

    Bytes archive = readWholeFile(shop.dir.file("in.zip"));
    size_t second = nextLocalHeader(archive, 1);
    size_t third = nextLocalHeader(archive, second + 1);
    size_t fourth = nextLocalHeader(archive, third + 1);
    ASSERT_LT(fourth, archive.size());
    // Bytes zeroed inside the third entry's data, its local header destroyed, the archive cut.
    EXPECT_EQ(shop.judgeDamaged("in.zip", third + 100, third + 164, false, options), "");
    EXPECT_EQ(shop.judgeDamaged("in.zip", third, third + 30, false, options), "");
    EXPECT_EQ(shop.judgeDamaged("in.zip", fourth + 40, 0, true, options), "");
}

TEST(StreamedWriters, ZipWritingToAPipeDeflatedStoredAndEncrypted) {
    if (!haveZipTools()) GTEST_SKIP() << "zip, unzip or python3 is missing";
    for (const std::string options : {"", "-0", "-P secret", "-0 -P secret"}) {
        SCOPED_TRACE(options);
        Workshop shop;
        shop.makeTree();
        ASSERT_EQ(shop.run("zip -q " + options + " -r - tree | cat > in.zip"), 0);
        checkWriter(shop, options.find("-P") != std::string::npos ? "-p secret" : "");
    }
}

TEST(StreamedWriters, PythonOnAnUnseekableStream) {
    if (!haveZipTools()) GTEST_SKIP() << "zip, unzip or python3 is missing";
    Workshop shop;
    shop.makeTree();
    // Binary files stored, the rest deflated: both kinds with descriptors.
    writeWholeFile(shop.dir.file("make.py"), std::string(R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.stdout.buffer, 'w') as archive:
    for folder, _, files in sorted(os.walk('tree')):
        for name in sorted(files):
            path = os.path.join(folder, name)
            info = zipfile.ZipInfo(path)
            info.compress_type = zipfile.ZIP_STORED if name.endswith('.bin') or name == 'zero' else zipfile.ZIP_DEFLATED
            with open(path, 'rb') as source, archive.open(info, 'w') as target:
                target.write(source.read())
)"));
    // zipfile writes no folder entries: the empty folder would not come back.
    ASSERT_EQ(shop.run("rmdir tree/empty && python3 make.py | cat > in.zip"), 0);
    checkWriter(shop, "");
}

TEST(StreamedWriters, BsdtarZipFormat) {
    if (!haveZipTools() || !haveCommand("bsdtar")) {
        GTEST_SKIP() << "bsdtar is missing (package libarchive-tools)";
    }
    Workshop shop;
    shop.makeTree();
    ASSERT_EQ(shop.run("bsdtar --format zip -cf - tree | cat > in.zip"), 0);
    checkWriter(shop, "");
}

}  // namespace
}  // namespace zipsalvage::testing
